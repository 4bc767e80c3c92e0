// Implementation details: the scripts' reads and writes, and the accepting thread, are
// the same on every platform; the sockets under them are peer_socket.h's.
#include "support/scripted_peer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "support/peer_socket.h"

namespace qb::test {

PeerConnection::~PeerConnection() { CloseSocket(); }

PeerSocket PeerConnection::Release() {
  const PeerSocket socket = socket_;
  socket_ = kNoPeerSocket;
  return socket;
}

void PeerConnection::CloseSocket() {
  if (socket_ != kNoPeerSocket) peer_socket::Close(socket_);
  socket_ = kNoPeerSocket;
}

bool PeerConnection::WaitReadable(int timeoutMs) { return peer_socket::WaitReadable(socket_, timeoutMs); }

long PeerConnection::ReadSome(char* buffer, std::size_t size) { return peer_socket::Read(socket_, buffer, size); }

long PeerConnection::WriteSome(const char* data, std::size_t size) { return peer_socket::Write(socket_, data, size); }

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
  while (out.size() < count && socket_ != kNoPeerSocket && WaitReadable(kPeerTimeoutMs)) {
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
    if (socket_ == kNoPeerSocket || !WaitReadable(kPeerTimeoutMs)) return out;
    const long n = ReadSome(buffer, sizeof buffer);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string PeerConnection::ReceiveAll() {
  std::string out;
  std::swap(out, pending_);
  char buffer[65536];
  while (socket_ != kNoPeerSocket && WaitReadable(kPeerTimeoutMs)) {
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
  while (done < count && socket_ != kNoPeerSocket && WaitReadable(kPeerTimeoutMs)) {
    const long n = ReadSome(buffer.data(), std::min(buffer.size(), count - done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool PeerConnection::WaitForClose() {
  char buffer[4096];
  while (socket_ != kNoPeerSocket && WaitReadable(kPeerTimeoutMs)) {
    if (ReadSome(buffer, sizeof buffer) <= 0) return true;
  }
  return false;
}

void PeerConnection::Close() { CloseSocket(); }

void PeerConnection::ShutdownWrite() {
  if (socket_ != kNoPeerSocket) peer_socket::ShutdownWrite(socket_);
}

void PeerConnection::Reset() {
  if (socket_ == kNoPeerSocket) return;
  peer_socket::Reset(socket_);
  socket_ = kNoPeerSocket;
}

ScriptedPeer::ScriptedPeer(PeerScript script, PeerOptions options)
    : ScriptedPeer(std::move(script), options, DeferStart{}) {
  Start();
}

ScriptedPeer::ScriptedPeer(PeerScript script, PeerOptions options, DeferStart)
    : script_(std::move(script)), options_(options), listener_(peer_socket::Listen(options_, port_)) {}

ScriptedPeer::~ScriptedPeer() {
  Finish();
  peer_socket::Close(listener_);
}

void ScriptedPeer::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ScriptedPeer::Fail(const std::string& text) {
  std::lock_guard guard(lock_);
  if (failure_.empty()) failure_ = text;
}

std::string ScriptedPeer::Finish() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  return failure_;
}

std::unique_ptr<PeerConnection> ScriptedPeer::Accept(PeerSocket socket) {
  return std::make_unique<PeerConnection>(socket);
}

void ScriptedPeer::Run() {
  std::vector<std::thread> scripts;  // with `concurrent`, one a connection
  const auto runScript = [this](std::unique_ptr<PeerConnection> connection) {
    try {
      if (connection && script_) script_(*connection);
    } catch (const std::exception& e) {
      Fail(std::string("peer script: ") + e.what());
    }
  };
  for (int i = 0; i < options_.connections; ++i) {
    if (!peer_socket::WaitReadable(listener_, kPeerTimeoutMs)) {
      Fail("peer: no connection arrived");
      break;
    }
    const PeerSocket socket = peer_socket::Accept(listener_);
    if (socket == kNoPeerSocket) {
      Fail("peer: accept failed");
      break;
    }
    std::unique_ptr<PeerConnection> connection;
    try {
      connection = Accept(socket);
    } catch (const std::exception& e) {
      Fail(std::string("peer script: ") + e.what());
      continue;
    }
    if (options_.concurrent) {
      scripts.emplace_back(runScript, std::move(connection));
    } else {
      runScript(std::move(connection));
    }
  }
  for (std::thread& script : scripts) script.join();
}

}  // namespace qb::test
