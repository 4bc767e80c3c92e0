// The reference receiving server (scripts/receiver.py) run as a child process on
// loopback for end-to-end tests; stopped when the object goes.
#pragma once

#include <string>
#include <vector>

namespace qb::test {

struct ReceiverOptions {
  bool tls = false;
  const char* user = nullptr;  // Basic credentials the receiver requires, if any
  const char* password = nullptr;
};

class ReferenceReceiver {
 public:
  explicit ReferenceReceiver(const std::string& outputFolder, ReceiverOptions options = {});
  ~ReferenceReceiver();
  ReferenceReceiver(const ReferenceReceiver&) = delete;
  ReferenceReceiver& operator=(const ReferenceReceiver&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by `path`.
  std::string Url(const std::string& path = "/") const;
  // Where a received file of that name is stored.
  std::string StoredFile(const std::string& name) const;
  // One JSON object per request, in arrival order.
  std::vector<std::string> Requests() const;

 private:
  std::string output_;
  bool tls_;
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace qb::test
