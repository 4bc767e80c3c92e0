// Implementation details: what does not depend on who started the proxy. Its access log
// is read whole each time and the lines handed out before are left out; under Wine one
// proxy serves the tests one after another, so the lines from before the object are too.
#include "support/reference_proxy.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <thread>

namespace qb::test {

std::string ReferenceProxy::Address(bool credentials) const {
  return "127.0.0.1:" + std::to_string(credentials ? authPort_ : openPort_);
}

std::vector<std::string> ReferenceProxy::AllLogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(log_);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> ReferenceProxy::Log(std::size_t atLeast) {
  std::vector<std::string> lines = AllLogLines();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines.size() < logged_ + atLeast && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lines = AllLogLines();
  }
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(logged_, lines.size())));
  logged_ += lines.size();
  return lines;
}

}  // namespace qb::test
