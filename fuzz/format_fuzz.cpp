// Any format text with a fixed argument list ends in a string or an EConvertError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/exception.h"
#include "support/format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view format(reinterpret_cast<const char*>(data), size);
  try {
    qb::Format(format, 42, "text", 1.5, 'c');
  } catch (const qb::EConvertError&) {
  }
  return 0;
}
