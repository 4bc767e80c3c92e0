// Implementation details: the proxy is the squid that scripts/test-windows runs outside
// Wine, where it is installed; the ctest resource lock gives it to one test at a time.
#include "support/reference_proxy.h"

#include <cstdlib>
#include <string_view>

namespace qb::test {
namespace {

// The port of "127.0.0.1:<port>"; 0 for anything else.
int PortOf(const char* address) {
  constexpr std::string_view kPrefix = "127.0.0.1:";
  if (!address || std::string_view(address).substr(0, kPrefix.size()) != kPrefix) return 0;
  return std::atoi(address + kPrefix.size());
}

}  // namespace

ReferenceProxy::ReferenceProxy(const std::string&) {
  openPort_ = PortOf(std::getenv("QUOBRINA_WINDOWS_PROXY_OPEN"));
  authPort_ = PortOf(std::getenv("QUOBRINA_WINDOWS_PROXY_AUTH"));
  const char* log = std::getenv("QUOBRINA_WINDOWS_PROXY_LOG");
  if (openPort_ <= 0 || authPort_ <= 0 || !log) {
    missing_ = "no proxy in QUOBRINA_WINDOWS_PROXY_OPEN: scripts/test-windows runs squid where it is installed";
    return;
  }
  log_ = log;
  logged_ = AllLogLines().size();
}

ReferenceProxy::~ReferenceProxy() = default;

}  // namespace qb::test
