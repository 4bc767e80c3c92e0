// Stream sockets as the transport needs them, in the shape of the Winsock calls so that
// both platforms implement one interface: calls report failure by their result (false or
// -1) and LastSocketError() then gives the error, always as a Winsock error number
// (POSIX errno values are mapped onto them; see SocketErrorFallbackText for the rest).
// Addresses cross this interface as text ("127.0.0.1", "::1"), never as sockaddr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qb::platform {

// An OS socket handle; kInvalidSocket when none is held. Wide enough for a Winsock SOCKET.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

enum class SocketFamily { IPv4, IPv6 };

// Winsock error numbers the transport looks at by value.
inline constexpr int kSocketErrorInterrupted = 10004;
inline constexpr int kSocketErrorWouldBlock = 10035;
inline constexpr int kSocketErrorNotSocket = 10038;
inline constexpr int kSocketErrorConnectionAborted = 10053;
inline constexpr int kSocketErrorConnectionReset = 10054;
inline constexpr int kSocketErrorShutdown = 10058;
inline constexpr int kSocketErrorTimedOut = 10060;
inline constexpr int kSocketErrorHostNotFound = 11001;

// Prepares the socket interface once per process (Winsock start-up; on POSIX, SIGPIPE is
// ignored so that a write to a closed connection inside a library reports EPIPE instead
// of ending the process). Returns nothing, or why the sockets cannot be used, as the
// message of the error that reports it ("Error on loading Winsock2 library (WS2_32.DLL): ...").
std::string InitializeSockets();

// The error of the calling thread's last failed socket call, as a Winsock number.
int LastSocketError();
void SetLastSocketError(int error);

// The text for an error number that is not one of the Winsock numbers the transport
// knows: strerror on POSIX (an errno without a Winsock counterpart keeps its number),
// empty on Windows.
std::string SocketErrorFallbackText(int error);

// For sockets that a library drives itself (the TLS layer): ClearSystemSocketError
// before its call, TakeSystemSocketError after a failed one to make the system's error
// of that call (errno, WSAGetLastError) the last socket error, which it also returns.
void ClearSystemSocketError();
int TakeSystemSocketError();

SocketHandle OpenStreamSocket(SocketFamily family);
// Shuts the socket down for sending, then closes it. Errors are ignored: the handle is
// gone afterwards either way.
void ShutdownAndCloseSocket(SocketHandle socket);

// Ends both directions of the socket without closing it: a call that another thread is
// blocked in on it (a receive, a send, a wait, a connect) returns, failing, and the handle
// stays the socket's until its owner closes it. Errors are ignored.
void ShutdownSocketBoth(SocketHandle socket);

bool SetReuseAddress(SocketHandle socket, bool on);
bool SetNoDelay(SocketHandle socket, bool on);
// Blocking (the default) or non-blocking. A connected socket of the transport is
// non-blocking, so that every wait is one of the waits below, bounded as its caller says.
bool SetSocketBlocking(SocketHandle socket, bool blocking);

// Binds to `address` (empty: the wildcard address of the family) and `port` (0: any).
bool BindSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port);

enum class ConnectResult { Connected, Failed, TimedOut };
// Connects to the numeric `address`. With `timeoutMs` above 0 the connect is made
// non-blocking and waited for at most that long; the socket is blocking again afterwards.
ConnectResult ConnectSocket(SocketHandle socket, SocketFamily family, const std::string& address, std::uint16_t port,
                            int timeoutMs);

// The local or peer address of a connected socket.
bool LocalAddress(SocketHandle socket, std::string& address, std::uint16_t& port);
bool PeerAddress(SocketHandle socket, std::string& address, std::uint16_t& port);

// What a wait waits for, and what it found: a set of these bits.
inline constexpr int kSocketReadable = 1;  // data, end of stream or an error pending
inline constexpr int kSocketWritable = 2;  // room to send, or an error pending
// Waits until the socket is ready for one of `events`; `timeoutMs` below 0 waits without
// limit. Returns the events found (an error pending counts as every one asked for), 0
// when the time ran out, -1 when the wait failed.
int WaitForSocket(SocketHandle socket, int events, int timeoutMs);
// Waits for readability alone: 1 readable, 0 timed out, -1 failed.
inline int WaitForReadable(SocketHandle socket, int timeoutMs) {
  const int ready = WaitForSocket(socket, kSocketReadable, timeoutMs);
  return ready > 0 ? 1 : ready;
}
// The same for writability.
inline int WaitForWritable(SocketHandle socket, int timeoutMs) {
  const int ready = WaitForSocket(socket, kSocketWritable, timeoutMs);
  return ready > 0 ? 1 : ready;
}

// Bytes written to the socket that the peer has not yet acknowledged (still queued on
// this machine or in flight); nothing where the system cannot tell (Windows).
std::optional<std::size_t> UnsentBytes(SocketHandle socket);

// One receive / one send: the byte count, 0 for an orderly close (receive only), -1 on
// failure; on a non-blocking socket that has nothing to give or no room, -1 with the
// error 10035 (would block). Sends never raise SIGPIPE.
long ReceiveSome(SocketHandle socket, void* buffer, std::size_t size);
long SendSome(SocketHandle socket, const void* data, std::size_t size);

// The canonical text of an IPv6 literal ("0:0::1" gives "::1"); nothing if `text` is not one.
std::optional<std::string> CanonicalIPv6(std::string_view text);

// Resolves a host name to the first address of the family, as numeric text. Failure sets
// the last socket error (11001 for a name that does not resolve) and returns nothing.
std::optional<std::string> ResolveHostAddress(const std::string& name, SocketFamily family);

}  // namespace qb::platform
