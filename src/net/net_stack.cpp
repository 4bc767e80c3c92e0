// Implementation details: the error texts are the Winsock ones on every platform, so a
// log line reads the same wherever the program runs; the platform maps its own error
// codes onto these numbers before they get here.
#include "net/net_stack.h"

#include <string>
#include <utility>

#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

struct ErrorText {
  int number;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Buffer fault."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block."},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

}  // namespace

TNetStack& TNetStack::Instance() {
  static const std::string startFailure = platform::InitializeSockets();
  if (!startFailure.empty()) throw ENetStackInitializationFailed(startFailure);
  static TNetStack stack;
  return stack;
}

std::string TNetStack::SocketErrorText(int error) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.number == error) return entry.text;
  }
  return platform::SocketErrorFallbackText(error);
}

std::string TNetStack::SocketErrorMessage(int error) {
  return Format("Socket Error # %d\r\n%s", error, SocketErrorText(error));
}

void TNetStack::RaiseSocketError(int error) {
  if (error == platform::kSocketErrorNotSocket) throw ENetNotASocket(error, SocketErrorMessage(error));
  throw ENetSocketError(error, SocketErrorMessage(error));
}

bool TNetStack::IsResultError(int error) {
  return error == platform::kSocketErrorWouldBlock || error == platform::kSocketErrorShutdown ||
         error == platform::kSocketErrorConnectionAborted || error == platform::kSocketErrorConnectionReset ||
         error == platform::kSocketErrorTimedOut;
}

int TNetStack::CheckForSocketError() {
  const int error = platform::LastSocketError();
  if (!IsResultError(error)) RaiseSocketError(error);
  return error;
}

bool TNetStack::IsIPv4Literal(const std::string& text) {
  int parts = 0;
  std::size_t i = 0;
  while (i <= text.size()) {
    std::size_t end = text.find('.', i);
    if (end == std::string::npos) end = text.size();
    const std::string_view part(text.data() + i, end - i);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    ++parts;
    i = end + 1;
  }
  return parts == 4;
}

namespace {

// The dotted quad with each part written as its decimal number: "127.0.0.01" is
// 127.0.0.1, where the platform's address parser would refuse the leading zero.
std::string DecimalIPv4(const std::string& literal) {
  std::string out;
  int value = 0;
  for (char c : literal) {
    if (c == '.') {
      out += std::to_string(value) + '.';
      value = 0;
    } else {
      value = value * 10 + (c - '0');
    }
  }
  return out + std::to_string(value);
}

}  // namespace

std::string TNetStack::ResolveHost(const std::string& host, TNetIPVersion version) const {
  const bool v6 = version == TNetIPVersion::Net_IPv6;
  if (SameTextAscii(host, "LOCALHOST")) return v6 ? "::1" : "127.0.0.1";
  if (!v6 && IsIPv4Literal(host)) return DecimalIPv4(host);
  if (v6) {
    if (auto canonical = platform::CanonicalIPv6(host)) return *canonical;
  }
  // Names that are already ASCII reach the resolver unchanged.
  auto address = platform::ResolveHostAddress(host, SocketFamilyOf(version));
  if (!address) RaiseLastSocketError();
  return *address;
}

}  // namespace qb
