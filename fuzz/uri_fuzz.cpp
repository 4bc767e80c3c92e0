// Parsing any URL succeeds; composing it either succeeds or raises ENetURIException, and
// a composed URL parses back into the same parts (a default port may be left out).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/uri.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qb::TNetURI uri(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string merged = qb::TNetURI::MergePaths("/base/dir/", uri.Path());
  if (merged.empty() || merged.front() != '/' || merged.back() != '/') __builtin_trap();
  try {
    const qb::TNetURI again(uri.Compose(true, true));
    const bool same = again.Protocol() == uri.Protocol() && again.Host() == uri.Host() &&
                      again.IPVersion() == uri.IPVersion() && again.Username() == uri.Username() &&
                      again.Password() == uri.Password() && again.Path() == uri.Path() &&
                      again.Document() == uri.Document() && again.Params() == uri.Params() &&
                      again.Bookmark() == uri.Bookmark() && (again.Port() == uri.Port() || again.Port().empty());
    if (!same) __builtin_trap();
  } catch (const qb::ENetURIException&) {
  }
  return 0;
}
