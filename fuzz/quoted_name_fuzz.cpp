// Any name goes inside the quotes of a part header without ending or cutting them: the
// quoted form holds no quote, backslash or control byte but the tab, and its extended
// form only attribute characters and "%XX".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/quoted_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string quoted = qb::EncodeQuotedName(text);
  for (const char c : quoted) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || (b < 32 && c != '\t') || b == 127) std::abort();
  }
  for (const char c : qb::ExtendedNameValue(quoted)) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 32 || b >= 127 || c == '"' || c == '\\' || c == ';') std::abort();
  }
  return 0;
}
