// The reference proxy (Debian's squid, tests/e2e/servers/squid.conf) for end-to-end tests,
// on loopback: one port for anyone, one that asks for the Basic credentials kProxyUser and
// kProxyPassword (tests/e2e/servers/squid-passwd holds their hash, and whoever starts the
// proxy copies it into the proxy's folder), and a CONNECT to port 9 refused with 403 on
// both. On POSIX the test
// starts it in a folder of its own and stops it by its process id. Under Wine a test
// cannot start one: there it is the one scripts/test-windows runs
// (QUOBRINA_WINDOWS_PROXY_OPEN, QUOBRINA_WINDOWS_PROXY_AUTH, QUOBRINA_WINDOWS_PROXY_LOG),
// shared by the tests one at a time, like the reference receivers.
#pragma once

#include <string>
#include <vector>

namespace qb::test {

inline constexpr const char* kProxyUser = "proxyuser";
inline constexpr const char* kProxyPassword = "proxy secret";

class ReferenceProxy {
 public:
  // Keeps its files in `folder` (the shared proxy under Wine keeps its own).
  explicit ReferenceProxy(const std::string& folder);
  ~ReferenceProxy();
  ReferenceProxy(const ReferenceProxy&) = delete;
  ReferenceProxy& operator=(const ReferenceProxy&) = delete;

  // Why there is no proxy: squid is not installed (a reason to skip), or it did not start
  // (a failure). Both empty when it runs.
  const std::string& missing() const { return missing_; }
  const std::string& failure() const { return failure_; }
  // "127.0.0.1:<port>" of the port that asks for credentials, or of the open one.
  std::string Address(bool credentials) const;
  // The requests it logged since the last call (the first: since this object was made),
  // one line each: status, method,
  // URL (for CONNECT "host:port"), user name ("-": none) and the client's port, as in
  // "200 POST http://127.0.0.1:8080/x proxyuser 40122". The proxy logs a request when its
  // connection or tunnel ends, which may be just after the program has exited: waits, ten
  // seconds at the most, until there are at least `atLeast` lines.
  std::vector<std::string> Log(std::size_t atLeast);

 private:
  std::vector<std::string> AllLogLines() const;

  std::string missing_;
  std::string failure_;
  std::string log_;
  int openPort_ = 0;
  int authPort_ = 0;
  long long process_ = 0;   // squid's process id, where the test started it
  std::size_t logged_ = 0;  // log lines already handed out, or from before this object
};

}  // namespace qb::test
