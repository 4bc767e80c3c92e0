// The reference receiving server (scripts/receiver.py) for end-to-end tests, on loopback.
// On POSIX each receiver is a child process of the test, stopped when the object goes.
// Under Wine a test cannot start one: there the receivers are the ones scripts/test-windows
// runs, storing into one folder (QUOBRINA_WINDOWS_RECEIVER_OUTPUT): plain http
// (QUOBRINA_WINDOWS_RECEIVER), https (QUOBRINA_WINDOWS_TLS_RECEIVER) and https of TLS 1.2 at
// the most (QUOBRINA_WINDOWS_TLS12_RECEIVER), each requiring the credentials that the path
// of Url() names. They serve one test at a time (a ctest resource lock) and are emptied of
// stored files first.
#pragma once

#include <string>
#include <vector>

namespace qb::test {

struct ReceiverOptions {
  bool tls = false;
  const char* user = nullptr;  // Basic credentials the receiver requires, if any
  const char* password = nullptr;
  bool tls12 = false;  // with `tls`: TLS 1.2 at the most
};

class ReferenceReceiver {
 public:
  // Stores into `outputFolder` (the shared receiver under Wine keeps its own folder).
  explicit ReferenceReceiver(const std::string& outputFolder, ReceiverOptions options = {});
  ~ReferenceReceiver();
  ReferenceReceiver(const ReferenceReceiver&) = delete;
  ReferenceReceiver& operator=(const ReferenceReceiver&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by `path`; under Wine also a query
  // parameter that marks the requests as this object's.
  std::string Url(const std::string& path = "/") const;
  // Where a received file of that name is stored.
  std::string StoredFile(const std::string& name) const;
  // One JSON object per request made through Url(), in arrival order.
  std::vector<std::string> Requests() const;

 private:
  std::string output_;
  bool tls_ = false;
  int port_ = 0;
  long long process_ = 0;  // the receiver's process id, where the test started it
  std::string mark_;       // the query parameter of Url(), where the receiver is shared
  std::string auth_;       // the path prefix that requires the credentials, there too
};

}  // namespace qb::test
