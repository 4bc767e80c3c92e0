// Implementation details: the receiver is the one that scripts/test-windows runs outside
// Wine. The ctest resource lock gives it to one test at a time, and each object empties
// its folder of stored files, so a file an earlier test sent cannot pass for one this
// test sends. Requests are told apart by a query parameter of the object's own, since a
// request of an earlier test can still end late (a program that was ended mid-upload).
#include "support/reference_receiver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qb::test {

const bool kOwnReceivers = false;

ReferenceReceiver::ReferenceReceiver(const std::string&, ReceiverOptions options) {
  if (options.tls || options.user || options.password) {
    throw std::runtime_error("the receiver under Wine speaks plain http and requires no credentials");
  }
  const char* url = std::getenv("QUOBRINA_WINDOWS_RECEIVER");
  const char* output = std::getenv("QUOBRINA_WINDOWS_RECEIVER_OUTPUT");
  const std::string prefix = "http://127.0.0.1:";
  if (!url || !output || std::string(url).rfind(prefix, 0) != 0) {
    throw std::runtime_error("no reference receiver: scripts/test-windows runs one for the Windows tests");
  }
  port_ = std::atoi(url + prefix.size());
  output_ = output;
  mark_ = "quobrina-test=" + std::to_string(std::random_device()() % 1000000000);
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(output_ + "\\files", ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

ReferenceReceiver::~ReferenceReceiver() = default;

std::string ReferenceReceiver::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path + (path.find('?') == std::string::npos ? "?" : "&") +
         mark_;
}

std::string ReferenceReceiver::StoredFile(const std::string& name) const { return output_ + "\\files\\" + name; }

std::vector<std::string> ReferenceReceiver::Requests() const {
  // The mark ends the request's "path" value.
  const std::string marked = mark_ + "\"";
  std::vector<std::string> lines;
  std::ifstream in(output_ + "\\requests.jsonl");
  for (std::string line; std::getline(in, line);) {
    if (line.find(marked) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

}  // namespace qb::test
