// The reference receiving server (scripts/receiver.py) for end-to-end tests, on loopback.
// On POSIX each receiver is a child process of the test, stopped when the object goes.
// Under Wine a test cannot start one: there every receiver is the plain http one that
// scripts/test-windows runs (QUOBRINA_WINDOWS_RECEIVER, QUOBRINA_WINDOWS_RECEIVER_OUTPUT),
// used by one test at a time (a ctest resource lock) and emptied of stored files first.
#pragma once

#include <string>
#include <vector>

namespace qb::test {

struct ReceiverOptions {
  bool tls = false;
  const char* user = nullptr;  // Basic credentials the receiver requires, if any
  const char* password = nullptr;
};

// Whether a test gets a receiver of its own, with any options; where it does not, a
// receiver with options other than the defaults cannot be made.
extern const bool kOwnReceivers;

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
};

}  // namespace qb::test
