// The operating system's sockets as the scripted peers use them: BSD sockets on POSIX
// (posix/peer_socket.cpp), Winsock on Windows (win32/peer_socket.cpp). Blocking sockets,
// made and kept by the peers only; every wait is a readiness wait with a time-out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/scripted_peer.h"

namespace qb::test::peer_socket {

// A listening socket on the loopback address the options name (127.0.0.1 or ::1 by
// default) and their port (0: the system picks one, returned in `port`). Throws
// std::runtime_error when the address or port cannot be bound.
PeerSocket Listen(const PeerOptions& options, std::uint16_t& port);
// The next connection of a listener that WaitReadable found ready; kNoPeerSocket on failure.
PeerSocket Accept(PeerSocket listener);

// Whether the socket can be read (data, the end of the stream, an error, a connection to
// accept) within `timeoutMs`.
bool WaitReadable(PeerSocket socket, int timeoutMs);
// One receive or send: a count, 0 at the end of the stream, -1 on failure. A send to a
// closed connection fails; it never ends the process.
long Read(PeerSocket socket, char* buffer, std::size_t size);
long Write(PeerSocket socket, const char* data, std::size_t size);

void ShutdownWrite(PeerSocket socket);
// Closes abortively (linger with no time): the client sees a reset.
void Reset(PeerSocket socket);
void Close(PeerSocket socket);

}  // namespace qb::test::peer_socket
