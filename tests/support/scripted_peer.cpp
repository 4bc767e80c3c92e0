#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace qb::test {

PeerConnection::~PeerConnection() { CloseFd(); }

void PeerConnection::CloseFd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool PeerConnection::WaitReadable(int timeoutMs) {
  pollfd entry{fd_, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

long PeerConnection::ReadSome(char* buffer, std::size_t size) {
  const ssize_t n = ::recv(fd_, buffer, size, 0);
  return n < 0 ? -1 : static_cast<long>(n);
}

long PeerConnection::WriteSome(const char* data, std::size_t size) {
  const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<long>(n);
}

bool PeerConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const long n = WriteSome(bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string PeerConnection::Receive(std::size_t count) {
  std::string out = pending_.substr(0, count);
  pending_.erase(0, out.size());
  char buffer[65536];
  while (out.size() < count && fd_ >= 0 && WaitReadable(kPeerTimeoutMs)) {
    const long n = ReadSome(buffer, std::min(sizeof buffer, count - out.size()));
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string PeerConnection::ReceiveUntil(std::string_view sequence) {
  std::string out;
  std::swap(out, pending_);
  char buffer[65536];
  for (;;) {
    const std::size_t found = out.find(sequence);
    if (found != std::string::npos) {
      pending_ = out.substr(found + sequence.size());
      out.resize(found + sequence.size());
      return out;
    }
    if (fd_ < 0 || !WaitReadable(kPeerTimeoutMs)) return out;
    const long n = ReadSome(buffer, sizeof buffer);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string PeerConnection::ReceiveAll() {
  std::string out;
  std::swap(out, pending_);
  char buffer[65536];
  while (fd_ >= 0 && WaitReadable(kPeerTimeoutMs)) {
    const long n = ReadSome(buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::size_t PeerConnection::Discard(std::size_t count) {
  std::size_t done = std::min(count, pending_.size());
  pending_.erase(0, done);
  std::vector<char> buffer(1 << 18);
  while (done < count && fd_ >= 0 && WaitReadable(kPeerTimeoutMs)) {
    const long n = ReadSome(buffer.data(), std::min(buffer.size(), count - done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool PeerConnection::WaitForClose() {
  char buffer[4096];
  while (fd_ >= 0 && WaitReadable(kPeerTimeoutMs)) {
    if (ReadSome(buffer, sizeof buffer) <= 0) return true;
  }
  return false;
}

void PeerConnection::Close() { CloseFd(); }

void PeerConnection::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  CloseFd();
}

ScriptedPeer::ScriptedPeer(PeerScript script, PeerOptions options) : ScriptedPeer(std::move(script), options, DeferStart{}) {
  Start();
}

ScriptedPeer::ScriptedPeer(PeerScript script, PeerOptions options, DeferStart)
    : script_(std::move(script)), options_(options) {
  const int family = options_.ipv6 ? AF_INET6 : AF_INET;
  listenFd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("peer: socket failed");
  sockaddr_storage storage{};
  socklen_t length;
  if (options_.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (options_.address) ::inet_pton(AF_INET, options_.address, &in4->sin_addr);
    in4->sin_port = htons(options_.port);
    length = sizeof(sockaddr_in);
  }
  if (options_.port != 0) {
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(listenFd_, 8) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("peer: bind/listen failed");
  }
  length = sizeof storage;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&storage), &length);
  port_ = ntohs(options_.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                              : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

ScriptedPeer::~ScriptedPeer() {
  Finish();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void ScriptedPeer::Start() { thread_ = std::thread([this] { Run(); }); }

void ScriptedPeer::Fail(const std::string& text) {
  std::lock_guard guard(lock_);
  if (failure_.empty()) failure_ = text;
}

std::string ScriptedPeer::Finish() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  return failure_;
}

std::unique_ptr<PeerConnection> ScriptedPeer::Accept(int fd) { return std::make_unique<PeerConnection>(fd); }

void ScriptedPeer::Run() {
  for (int i = 0; i < options_.connections; ++i) {
    pollfd entry{listenFd_, POLLIN, 0};
    if (::poll(&entry, 1, kPeerTimeoutMs) <= 0) {
      Fail("peer: no connection arrived");
      return;
    }
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      Fail("peer: accept failed");
      return;
    }
    try {
      std::unique_ptr<PeerConnection> connection = Accept(fd);
      if (connection && script_) script_(*connection);
    } catch (const std::exception& e) {
      Fail(std::string("peer script: ") + e.what());
    }
  }
}

}  // namespace qb::test
