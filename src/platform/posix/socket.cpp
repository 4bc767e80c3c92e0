// Implementation details: BSD sockets behind the Winsock-shaped interface. Each failure
// maps errno (or the resolver's code) onto the Winsock number at once and keeps it per
// thread, so that later calls cannot overwrite it before the transport looks. A connect
// with a time-out is a non-blocking connect followed by a poll, which gives the same
// results as a blocking connect on a thread that is abandoned after the time-out.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/process.h"
#include "support/strings.h"

namespace qb::platform {
namespace {

thread_local int lastError = 0;

int MapErrno(int code) {
  switch (code) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return kSocketErrorWouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return kSocketErrorWouldBlock;
#endif
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return kSocketErrorNotSocket;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return kSocketErrorConnectionAborted;
    case ECONNRESET: return kSocketErrorConnectionReset;
    // A send to a connection that the peer has already reset: what Winsock reports as a reset.
    case EPIPE: return kSocketErrorConnectionReset;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return kSocketErrorShutdown;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return kSocketErrorTimedOut;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return code;
  }
}

// Records the current errno; always returns the failure value given.
template <typename T>
T Fail(T result) {
  lastError = MapErrno(errno);
  return result;
}

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

int FamilyOf(SocketFamily family) { return family == SocketFamily::IPv6 ? AF_INET6 : AF_INET; }

// Fills `storage` from a numeric address; false (with 10022) when it is not one.
bool MakeAddress(SocketFamily family, const std::string& address, std::uint16_t port, sockaddr_storage& storage,
                 socklen_t& length) {
  storage = {};
  if (family == SocketFamily::IPv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (!address.empty() && ::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) != 1) {
      lastError = 10022;
      return false;
    }
    if (address.empty()) in6->sin6_addr = in6addr_any;
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &in4->sin_addr) != 1) {
      lastError = 10022;
      return false;
    }
    if (address.empty()) in4->sin_addr.s_addr = htonl(INADDR_ANY);
    length = sizeof(sockaddr_in);
  }
  return true;
}

bool AddressText(const sockaddr_storage& storage, std::string& address, std::uint16_t& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (!::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return Fail(false);
    port = ntohs(in6->sin6_port);
  } else {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
    if (!::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text)) return Fail(false);
    port = ntohs(in4->sin_port);
  }
  address = text;
  return true;
}

int WaitFor(SocketHandle socket, int events, int timeoutMs) {
  const short asked =
      static_cast<short>(((events & kSocketReadable) ? POLLIN : 0) | ((events & kSocketWritable) ? POLLOUT : 0));
  pollfd entry{Fd(socket), asked, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      // Rounded up: a wait cut to 0 would return at once, and its caller would poll on.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    const int n = ::poll(&entry, 1, wait);
    if (n > 0) {
      if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) return events;
      return ((entry.revents & POLLIN) ? kSocketReadable : 0) | ((entry.revents & POLLOUT) ? kSocketWritable : 0);
    }
    if (n == 0) return 0;
    if (errno != EINTR) return Fail(-1);
  }
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
  if (::setsockopt(Fd(socket), level, name, &value, sizeof value) != 0) return Fail(false);
  return true;
}

bool SetBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(Fd(socket), F_GETFL, 0);
  if (flags < 0) return Fail(false);
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(Fd(socket), F_SETFL, wanted) < 0) return Fail(false);
  return true;
}

// RFC 6761 section 6.4: names under "invalid." never resolve, and resolver libraries
// should say so at once instead of asking a name server.
bool IsReservedInvalidName(std::string_view name) {
  while (!name.empty() && name.back() == '.') name.remove_suffix(1);
  constexpr std::string_view kInvalid = "invalid";
  if (name.size() < kInvalid.size()) return false;
  const std::string_view tail = name.substr(name.size() - kInvalid.size());
  if (!SameTextAscii(tail, kInvalid)) return false;
  return name.size() == kInvalid.size() || name[name.size() - kInvalid.size() - 1] == '.';
}

}  // namespace

std::string InitializeSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
  });
  return {};
}

int LastSocketError() { return lastError; }
void SetLastSocketError(int error) { lastError = error; }

std::string SocketErrorFallbackText(int error) { return SystemErrorText(error); }

void ClearSystemSocketError() { errno = 0; }

int TakeSystemSocketError() {
  lastError = MapErrno(errno);
  return lastError;
}

SocketHandle OpenStreamSocket(SocketFamily family) {
  const int fd = ::socket(FamilyOf(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return Fail(kInvalidSocket);
  return fd;
}

void ShutdownAndCloseSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  ::shutdown(Fd(socket), SHUT_WR);
  ::close(Fd(socket));
}

void ShutdownSocketBoth(SocketHandle socket) {
  if (socket != kInvalidSocket) ::shutdown(Fd(socket), SHUT_RDWR);
}

bool SetReuseAddress(SocketHandle socket, bool on) {
  return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool SetNoDelay(SocketHandle socket, bool on) { return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

bool SetSocketBlocking(SocketHandle socket, bool blocking) { return SetBlocking(socket, blocking); }

bool BindSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port) {
  sockaddr_storage storage;
  socklen_t length = 0;
  if (!MakeAddress(family, address, port, storage, length)) return false;
  if (::bind(Fd(socket), reinterpret_cast<sockaddr*>(&storage), length) != 0) return Fail(false);
  return true;
}

ConnectResult ConnectSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port,
                            int timeoutMs) {
  sockaddr_storage storage;
  socklen_t length = 0;
  if (!MakeAddress(family, address, port, storage, length)) return ConnectResult::Failed;
  const auto* target = reinterpret_cast<const sockaddr*>(&storage);
  if (timeoutMs <= 0) {
    while (::connect(Fd(socket), target, length) != 0) {
      if (errno != EINTR) return Fail(ConnectResult::Failed);
    }
    return ConnectResult::Connected;
  }
  if (!SetBlocking(socket, false)) return ConnectResult::Failed;
  if (::connect(Fd(socket), target, length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      const ConnectResult failed = Fail(ConnectResult::Failed);
      SetBlocking(socket, true);
      return failed;
    }
    const int ready = WaitFor(socket, kSocketWritable, timeoutMs);
    if (ready == 0) return ConnectResult::TimedOut;
    if (ready < 0) return ConnectResult::Failed;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return Fail(ConnectResult::Failed);
    if (error != 0) {
      lastError = MapErrno(error);
      return ConnectResult::Failed;
    }
  }
  if (!SetBlocking(socket, true)) return ConnectResult::Failed;
  return ConnectResult::Connected;
}

bool LocalAddress(SocketHandle socket, std::string& address, std::uint16_t& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail(false);
  return AddressText(storage, address, port);
}

bool PeerAddress(SocketHandle socket, std::string& address, std::uint16_t& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(Fd(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail(false);
  return AddressText(storage, address, port);
}

int WaitForSocket(SocketHandle socket, int events, int timeoutMs) { return WaitFor(socket, events, timeoutMs); }

std::optional<std::size_t> UnsentBytes(SocketHandle socket) {
#ifdef SIOCOUTQ
  int count = 0;
  if (::ioctl(Fd(socket), SIOCOUTQ, &count) != 0) return Fail(std::optional<std::size_t>());
  return static_cast<std::size_t>(std::max(count, 0));
#else
  (void)socket;
  return std::nullopt;
#endif
}

long ReceiveSome(SocketHandle socket, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(Fd(socket), buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail(-1L);
  }
}

long SendSome(SocketHandle socket, const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(Fd(socket), data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail(-1L);
  }
}

std::optional<std::string> CanonicalIPv6(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN + 8) return std::nullopt;
  const std::string copy(text);
  in6_addr binary{};
  if (::inet_pton(AF_INET6, copy.c_str(), &binary) != 1) return std::nullopt;
  char out[INET6_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET6, &binary, out, sizeof out)) return std::nullopt;
  return std::string(out);
}

std::optional<std::string> ResolveHostAddress(const std::string& name, SocketFamily family) {
  if (name.empty() || IsReservedInvalidName(name) || name.find('\0') != std::string::npos) {
    lastError = kSocketErrorHostNotFound;
    return std::nullopt;
  }
  addrinfo hints{};
  hints.ai_family = FamilyOf(family);
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int code = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (code != 0) {
    lastError = code == EAI_SYSTEM ? MapErrno(errno) : kSocketErrorHostNotFound;
    return std::nullopt;
  }
  std::optional<std::string> address;
  if (result && result->ai_addr) {
    sockaddr_storage storage{};
    memcpy(&storage, result->ai_addr, std::min<std::size_t>(result->ai_addrlen, sizeof storage));
    std::string text;
    std::uint16_t port = 0;
    if (AddressText(storage, text, port)) address = text;
  }
  ::freeaddrinfo(result);
  if (!address) lastError = kSocketErrorHostNotFound;
  return address;
}

}  // namespace qb::platform
