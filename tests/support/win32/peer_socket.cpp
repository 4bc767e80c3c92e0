// Implementation details: Winsock, started once for the test process. Every socket is
// made non-inheritable, so that a program the test starts meanwhile holds no copy that
// would keep a connection open after the peer has closed it.
#include "support/peer_socket.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

namespace qb::test::peer_socket {
namespace {

SOCKET Native(PeerSocket socket) { return static_cast<SOCKET>(socket); }

PeerSocket Owned(SOCKET socket) {
  if (socket == INVALID_SOCKET) return kNoPeerSocket;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return static_cast<PeerSocket>(socket);
}

void StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("peer: WSAStartup failed");
}

}  // namespace

PeerSocket Listen(const PeerOptions& options, std::uint16_t& port) {
  StartWinsock();
  const int family = options.ipv6 ? AF_INET6 : AF_INET;
  const PeerSocket socket = Owned(::socket(family, SOCK_STREAM, IPPROTO_TCP));
  if (socket == kNoPeerSocket) throw std::runtime_error("peer: socket failed");
  sockaddr_storage storage{};
  int length;
  if (options.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr.s6_addr[15] = 1;  // ::1
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (options.address) ::inet_pton(AF_INET, options.address, &in4->sin_addr);
    in4->sin_port = htons(options.port);
    length = sizeof(sockaddr_in);
  }
  if (options.port != 0) {
    const BOOL on = TRUE;
    ::setsockopt(Native(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  }
  // Set before listening, so that the connections inherit it with their window scale.
  if (options.receiveBuffer > 0) {
    ::setsockopt(Native(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&options.receiveBuffer),
                 sizeof options.receiveBuffer);
  }
  if (::bind(Native(socket), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(Native(socket), options.backlog) != 0) {
    Close(socket);
    throw std::runtime_error("peer: bind/listen failed");
  }
  length = sizeof storage;
  ::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&storage), &length);
  port = ntohs(options.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                            : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return socket;
}

PeerSocket Accept(PeerSocket listener) { return Owned(::accept(Native(listener), nullptr, nullptr)); }

bool WaitReadable(PeerSocket socket, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::select(0, &readable, nullptr, nullptr, &limit) > 0;
}

long Read(PeerSocket socket, char* buffer, std::size_t size) {
  const int n = ::recv(Native(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long Write(PeerSocket socket, const char* data, std::size_t size) {
  const int n = ::send(Native(socket), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void ShutdownWrite(PeerSocket socket) { ::shutdown(Native(socket), SD_SEND); }

void Reset(PeerSocket socket) {
  const linger option{1, 0};
  ::setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
  Close(socket);
}

void Close(PeerSocket socket) {
  if (socket != kNoPeerSocket) ::closesocket(Native(socket));
}

}  // namespace qb::test::peer_socket
