// Implementation details: Winsock 2 is loaded at run time ("ws2_32.dll"), once, into one
// table of the functions the transport calls; the program has no import of it, so it
// starts on a machine without a working socket layer and reports that as an error of the
// first connection. Winsock's own error numbers are the interface's numbers; each failure
// takes WSAGetLastError at once and keeps it per thread.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <bit>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/process.h"
#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

constexpr int kNotReady = WSASYSNOTREADY;  // the table could not be loaded

struct Winsock {
  decltype(&::WSAStartup) startup = nullptr;
  decltype(&::WSAGetLastError) getLastError = nullptr;
  decltype(&::WSASetLastError) setLastError = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::setsockopt) setsockopt = nullptr;
  decltype(&::getsockopt) getsockopt = nullptr;
  decltype(&::ioctlsocket) ioctlsocket = nullptr;
  decltype(&::bind) bind = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::getsockname) getsockname = nullptr;
  decltype(&::getpeername) getpeername = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::getaddrinfo) getaddrinfo = nullptr;
  decltype(&::freeaddrinfo) freeaddrinfo = nullptr;
  decltype(&::inet_pton) inetPton = nullptr;
  decltype(&::inet_ntop) inetNtop = nullptr;
  bool complete = false;
  std::string failure;  // why the table is not complete, as the start-up error reports it
};

constexpr const char* kLibraryName = "WS2_32.DLL";

std::string LoadFailure(DWORD error) {
  return std::string("Error on loading Winsock2 library (") + kLibraryName +
         "): " + SystemErrorText(static_cast<int>(error));
}

template <typename Function>
void Bind(HMODULE module, const char* name, Function& target, std::string& failure) {
  target = std::bit_cast<Function>(::GetProcAddress(module, name));
  if (target || !failure.empty()) return;  // the first missing function names the failure
  failure = std::string("Error on call to Winsock2 library function ") + name + ": " + SystemErrorText(WSAEINVAL);
}

const Winsock& Table() {
  static const Winsock table = [] {
    Winsock w;
    const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const HMODULE module = ::LoadLibraryA(kLibraryName);
    const DWORD loadError = ::GetLastError();
    ::SetErrorMode(previous);
    if (!module) {
      w.failure = LoadFailure(loadError);
      return w;
    }
    Bind(module, "WSAStartup", w.startup, w.failure);
    Bind(module, "WSAGetLastError", w.getLastError, w.failure);
    Bind(module, "WSASetLastError", w.setLastError, w.failure);
    Bind(module, "socket", w.socket, w.failure);
    Bind(module, "closesocket", w.closesocket, w.failure);
    Bind(module, "shutdown", w.shutdown, w.failure);
    Bind(module, "setsockopt", w.setsockopt, w.failure);
    Bind(module, "getsockopt", w.getsockopt, w.failure);
    Bind(module, "ioctlsocket", w.ioctlsocket, w.failure);
    Bind(module, "bind", w.bind, w.failure);
    Bind(module, "connect", w.connect, w.failure);
    Bind(module, "getsockname", w.getsockname, w.failure);
    Bind(module, "getpeername", w.getpeername, w.failure);
    Bind(module, "select", w.select, w.failure);
    Bind(module, "recv", w.recv, w.failure);
    Bind(module, "send", w.send, w.failure);
    Bind(module, "getaddrinfo", w.getaddrinfo, w.failure);
    Bind(module, "freeaddrinfo", w.freeaddrinfo, w.failure);
    Bind(module, "inet_pton", w.inetPton, w.failure);
    Bind(module, "inet_ntop", w.inetNtop, w.failure);
    w.complete = w.failure.empty();  // the library stays loaded for the process
    return w;
  }();
  return table;
}

thread_local int lastError = 0;

// Records Winsock's error of the call that just failed; returns the failure value given.
template <typename T>
T Fail(T result) {
  const Winsock& w = Table();
  lastError = w.complete ? w.getLastError() : kNotReady;
  return result;
}

// The table, or nothing (with the error recorded) where Winsock is missing.
const Winsock* Ready() {
  const Winsock& w = Table();
  if (w.complete) return &w;
  lastError = kNotReady;
  return nullptr;
}

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

int FamilyOf(SocketFamily family) { return family == SocketFamily::IPv6 ? AF_INET6 : AF_INET; }

bool MakeAddress(const Winsock& w, SocketFamily family, const std::string& address, std::uint16_t port,
                 sockaddr_storage& storage, int& length) {
  storage = {};
  const u_short networkPort = static_cast<u_short>((port >> 8) | ((port & 0xFF) << 8));
  if (family == SocketFamily::IPv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = networkPort;
    if (!address.empty() && w.inetPton(AF_INET6, address.c_str(), &in6->sin6_addr) != 1) {
      lastError = WSAEINVAL;
      return false;
    }
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = networkPort;
    if (!address.empty() && w.inetPton(AF_INET, address.c_str(), &in4->sin_addr) != 1) {
      lastError = WSAEINVAL;
      return false;
    }
    length = sizeof(sockaddr_in);
  }
  return true;
}

bool AddressText(const Winsock& w, const sockaddr_storage& storage, std::string& address, std::uint16_t& port) {
  char text[INET6_ADDRSTRLEN] = {};
  u_short networkPort = 0;
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (!w.inetNtop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return Fail(false);
    networkPort = in6->sin6_port;
  } else {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
    if (!w.inetNtop(AF_INET, &in4->sin_addr, text, sizeof text)) return Fail(false);
    networkPort = in4->sin_port;
  }
  port = static_cast<std::uint16_t>((networkPort >> 8) | ((networkPort & 0xFF) << 8));
  address = text;
  return true;
}

// The events found, 0 timed out, -1 failed.
int WaitFor(SocketHandle socket, int events, int timeoutMs) {
  const Winsock* w = Ready();
  if (!w) return -1;
  fd_set reads;
  FD_ZERO(&reads);
  if (events & kSocketReadable) FD_SET(Native(socket), &reads);
  fd_set writes;
  FD_ZERO(&writes);
  if (events & kSocketWritable) FD_SET(Native(socket), &writes);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(Native(socket), &errors);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int n = w->select(0, &reads, &writes, &errors, timeoutMs < 0 ? nullptr : &limit);
  if (n < 0) return Fail(-1);
  if (n == 0) return 0;
  // A set of one socket holds it afterwards exactly when it is ready (FD_ISSET would need
  // a function of the library that is loaded at run time).
  if (errors.fd_count > 0) return events;
  return (reads.fd_count > 0 ? kSocketReadable : 0) | (writes.fd_count > 0 ? kSocketWritable : 0);
}

bool SetBlocking(const Winsock& w, SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  if (w.ioctlsocket(Native(socket), FIONBIO, &nonBlocking) != 0) return Fail(false);
  return true;
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
  const Winsock* w = Ready();
  if (!w) return false;
  if (w->setsockopt(Native(socket), level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
    return Fail(false);
  }
  return true;
}

}  // namespace

std::string InitializeSockets() {
  static const std::string failure = []() -> std::string {
    const Winsock& w = Table();
    if (!w.complete) return w.failure;
    WSADATA data{};
    const int error = w.startup(MAKEWORD(2, 2), &data);
    return error == 0 ? std::string() : LoadFailure(static_cast<DWORD>(error));
  }();
  return failure;
}

int LastSocketError() { return lastError; }
void SetLastSocketError(int error) { lastError = error; }

std::string SocketErrorFallbackText(int) { return {}; }

void ClearSystemSocketError() {
  if (const Winsock* w = Ready()) w->setLastError(0);
}

int TakeSystemSocketError() {
  Fail(0);
  return lastError;
}

SocketHandle OpenStreamSocket(SocketFamily family) {
  const Winsock* w = Ready();
  if (!w) return kInvalidSocket;
  const SOCKET s = w->socket(FamilyOf(family), SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Fail(kInvalidSocket);
  return static_cast<SocketHandle>(s);
}

void ShutdownAndCloseSocket(SocketHandle socket) {
  const Winsock* w = Ready();
  if (socket == kInvalidSocket || !w) return;
  w->shutdown(Native(socket), SD_SEND);
  w->closesocket(Native(socket));
}

void ShutdownSocketBoth(SocketHandle socket) {
  const Winsock* w = Ready();
  if (socket != kInvalidSocket && w) w->shutdown(Native(socket), SD_BOTH);
}

bool SetReuseAddress(SocketHandle socket, bool on) {
  return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool SetNoDelay(SocketHandle socket, bool on) { return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

bool SetSocketBlocking(SocketHandle socket, bool blocking) {
  const Winsock* w = Ready();
  return w && SetBlocking(*w, socket, blocking);
}

bool BindSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port) {
  const Winsock* w = Ready();
  if (!w) return false;
  sockaddr_storage storage;
  int length = 0;
  if (!MakeAddress(*w, family, address, port, storage, length)) return false;
  if (w->bind(Native(socket), reinterpret_cast<sockaddr*>(&storage), length) != 0) return Fail(false);
  return true;
}

ConnectResult ConnectSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port,
                            int timeoutMs) {
  const Winsock* w = Ready();
  if (!w) return ConnectResult::Failed;
  sockaddr_storage storage;
  int length = 0;
  if (!MakeAddress(*w, family, address, port, storage, length)) return ConnectResult::Failed;
  const auto* target = reinterpret_cast<const sockaddr*>(&storage);
  if (timeoutMs <= 0) {
    if (w->connect(Native(socket), target, length) != 0) return Fail(ConnectResult::Failed);
    return ConnectResult::Connected;
  }
  if (!SetBlocking(*w, socket, false)) return ConnectResult::Failed;
  if (w->connect(Native(socket), target, length) != 0) {
    if (w->getLastError() != WSAEWOULDBLOCK) {
      const ConnectResult failed = Fail(ConnectResult::Failed);
      SetBlocking(*w, socket, true);
      return failed;
    }
    const int ready = WaitFor(socket, kSocketWritable, timeoutMs);
    if (ready == 0) return ConnectResult::TimedOut;
    if (ready < 0) return ConnectResult::Failed;
    int error = 0;
    int size = sizeof error;
    if (w->getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
      return Fail(ConnectResult::Failed);
    }
    if (error != 0) {
      lastError = error;
      return ConnectResult::Failed;
    }
  }
  if (!SetBlocking(*w, socket, true)) return ConnectResult::Failed;
  return ConnectResult::Connected;
}

bool LocalAddress(SocketHandle socket, std::string& address, std::uint16_t& port) {
  const Winsock* w = Ready();
  if (!w) return false;
  sockaddr_storage storage{};
  int length = sizeof storage;
  if (w->getsockname(Native(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail(false);
  return AddressText(*w, storage, address, port);
}

bool PeerAddress(SocketHandle socket, std::string& address, std::uint16_t& port) {
  const Winsock* w = Ready();
  if (!w) return false;
  sockaddr_storage storage{};
  int length = sizeof storage;
  if (w->getpeername(Native(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail(false);
  return AddressText(*w, storage, address, port);
}

// SIO_TCP_INFO would tell from Windows 10 1703 on; the program also runs where it is
// missing, and keeps to what every version does: it cannot tell.
std::optional<std::size_t> UnsentBytes(SocketHandle) { return std::nullopt; }

int WaitForSocket(SocketHandle socket, int events, int timeoutMs) { return WaitFor(socket, events, timeoutMs); }

long ReceiveSome(SocketHandle socket, void* buffer, std::size_t size) {
  const Winsock* w = Ready();
  if (!w) return -1;
  const int n =
      w->recv(Native(socket), static_cast<char*>(buffer), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  if (n == SOCKET_ERROR) return Fail(-1L);
  return n;
}

long SendSome(SocketHandle socket, const void* data, std::size_t size) {
  const Winsock* w = Ready();
  if (!w) return -1;
  const int n = w->send(Native(socket), static_cast<const char*>(data),
                        static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  if (n == SOCKET_ERROR) return Fail(-1L);
  return n;
}

std::optional<std::string> CanonicalIPv6(std::string_view text) {
  const Winsock* w = Ready();
  if (!w || text.empty() || text.size() >= INET6_ADDRSTRLEN + 8) return std::nullopt;
  const std::string copy(text);
  if (copy.find('\0') != std::string::npos) return std::nullopt;
  in6_addr binary{};
  if (w->inetPton(AF_INET6, copy.c_str(), &binary) != 1) return std::nullopt;
  char out[INET6_ADDRSTRLEN] = {};
  if (!w->inetNtop(AF_INET6, &binary, out, sizeof out)) return std::nullopt;
  return std::string(out);
}

std::optional<std::string> ResolveHostAddress(const std::string& name, SocketFamily family) {
  const Winsock* w = Ready();
  if (!w) return std::nullopt;
  if (name.empty() || name.find('\0') != std::string::npos) {
    lastError = kSocketErrorHostNotFound;
    return std::nullopt;
  }
  addrinfo hints{};
  hints.ai_family = FamilyOf(family);
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (w->getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) {
    lastError = kSocketErrorHostNotFound;
    return std::nullopt;
  }
  std::optional<std::string> address;
  if (result && result->ai_addr) {
    sockaddr_storage storage{};
    std::memcpy(&storage, result->ai_addr, std::min<std::size_t>(result->ai_addrlen, sizeof storage));
    std::string text;
    std::uint16_t port = 0;
    if (AddressText(*w, storage, text, port)) address = text;
  }
  w->freeaddrinfo(result);
  if (!address) lastError = kSocketErrorHostNotFound;
  return address;
}

}  // namespace qb::platform
