// Implementation details: the receivers are the ones that scripts/test-windows runs
// outside Wine. The ctest resource lock gives them to one test at a time, and each object
// empties their folder of stored files, so a file an earlier test sent cannot pass for one
// this test sends. Requests are told apart by a query parameter of the object's own, since
// a request of an earlier test can still end late (a program that was ended mid-upload).
// Credentials are required through the path ("/auth/<user>/<password>"), which the
// receivers understand, so one receiver serves every set of credentials.
#include "support/reference_receiver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qb::test {

ReferenceReceiver::ReferenceReceiver(const std::string&, ReceiverOptions options) : tls_(options.tls) {
  const char* variable = !options.tls    ? "QUOBRINA_WINDOWS_RECEIVER"
                         : options.tls12 ? "QUOBRINA_WINDOWS_TLS12_RECEIVER"
                                         : "QUOBRINA_WINDOWS_TLS_RECEIVER";
  const char* url = std::getenv(variable);
  const char* output = std::getenv("QUOBRINA_WINDOWS_RECEIVER_OUTPUT");
  const std::string prefix = std::string(options.tls ? "https" : "http") + "://127.0.0.1:";
  if (!url || !output || std::string(url).rfind(prefix, 0) != 0) {
    throw std::runtime_error(std::string("no reference receiver in ") + variable +
                             ": scripts/test-windows runs them for the Windows tests");
  }
  port_ = std::atoi(url + prefix.size());
  output_ = output;
  if (options.user || options.password) {
    auth_ =
        std::string("/auth/") + (options.user ? options.user : "") + "/" + (options.password ? options.password : "");
  }
  mark_ = "quobrina-test=" + std::to_string(std::random_device()() % 1000000000);
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(output_ + "\\files", ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

ReferenceReceiver::~ReferenceReceiver() = default;

std::string ReferenceReceiver::Url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + auth_ + path +
         (path.find('?') == std::string::npos ? "?" : "&") + mark_;
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
