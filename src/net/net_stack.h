// TNetStack: the process-wide socket interface of the transport over the platform
// sockets: name resolution with the address-literal rules, and socket errors raised with
// their Winsock numbers and texts ("Socket Error # %d\r\n%s").
#pragma once

#include <string>

#include "net/ip_version.h"
#include "net/net_exception.h"
#include "platform/socket.h"

namespace qb {

// A socket error; LastError() is the Winsock error number.
class ENetSocketError : public ENetException {
 public:
  ENetSocketError(int error, std::string message) : ENetException(std::move(message)), lastError_(error) {}
  const char* ClassName() const noexcept override { return "ENetSocketError"; }
  int LastError() const noexcept { return lastError_; }

 private:
  int lastError_;
};
QB_DECLARE_EXCEPTION(ENetNotASocket, ENetSocketError);

QB_DECLARE_EXCEPTION(ENetWinsockStubError, ENetException);
QB_DECLARE_EXCEPTION(ENetStackInitializationFailed, ENetException);

class TNetStack {
 public:
  // The one stack of the process, made (and the platform sockets started) on first use.
  // Raises ENetStackInitializationFailed when the platform cannot start its sockets.
  static TNetStack& Instance();

  // The text for a socket error number: the Winsock text, or the platform's own text for
  // a number without one.
  static std::string SocketErrorText(int error);
  // "Socket Error # %d\r\n%s" for the number.
  static std::string SocketErrorMessage(int error);
  // Raises ENetSocketError (ENetNotASocket for 10038) for the number.
  [[noreturn]] static void RaiseSocketError(int error);
  [[noreturn]] static void RaiseLastSocketError() { RaiseSocketError(platform::LastSocketError()); }
  // Raises the last socket error unless it is one of the errors the receive and send
  // steps take as results (10035 on the non-blocking sockets, 10053, 10054, 10058, 10060),
  // which it returns.
  static int CheckForSocketError();
  static bool IsResultError(int error);

  // A dotted quad of four numbers 0..255.
  static bool IsIPv4Literal(const std::string& text);
  // The numeric address to connect to: "localhost" (any case) and address literals
  // without asking the resolver, anything else through it; raises the socket error
  // (11001 for a name that does not resolve).
  std::string ResolveHost(const std::string& host, TNetIPVersion version) const;

 private:
  TNetStack() = default;
};

inline platform::SocketFamily SocketFamilyOf(TNetIPVersion version) {
  return version == TNetIPVersion::Net_IPv6 ? platform::SocketFamily::IPv6 : platform::SocketFamily::IPv4;
}

}  // namespace qb
