#include "support/peer_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qb::test::peer_socket {

PeerSocket Listen(const PeerOptions& options, std::uint16_t& port) {
  const int family = options.ipv6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("peer: socket failed");
  sockaddr_storage storage{};
  socklen_t length;
  if (options.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
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
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  // Set before listening, so that the connections inherit it with their window scale.
  if (options.receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, options.backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("peer: bind/listen failed");
  }
  length = sizeof storage;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  port = ntohs(options.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                            : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return fd;
}

PeerSocket Accept(PeerSocket listener) {
  const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kNoPeerSocket : fd;
}

bool WaitReadable(PeerSocket socket, int timeoutMs) {
  pollfd entry{static_cast<int>(socket), POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

long Read(PeerSocket socket, char* buffer, std::size_t size) {
  const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
  return n < 0 ? -1 : static_cast<long>(n);
}

long Write(PeerSocket socket, const char* data, std::size_t size) {
  const ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<long>(n);
}

void ShutdownWrite(PeerSocket socket) { ::shutdown(static_cast<int>(socket), SHUT_WR); }

void Reset(PeerSocket socket) {
  linger option{1, 0};
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  Close(socket);
}

void Close(PeerSocket socket) {
  if (socket != kNoPeerSocket) ::close(static_cast<int>(socket));
}

}  // namespace qb::test::peer_socket
