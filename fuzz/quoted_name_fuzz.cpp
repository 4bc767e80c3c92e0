// Any name, under any of the locale charsets, encodes to one header value: the only line
// breaks are the encoder's own folds, and no line passes 75 characters plus the blank
// that continues it. The quoted form of the same name holds no quote, backslash or
// control byte but the tab.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/quoted_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::uint16_t kLanguages[] = {0x0804, 0x0404, 0x0411, 0x0412, 0x0419, 0x0422, 0x0409, 0x0407};
  const qb::THeaderWordCharset word = qb::DefaultWordCharset(kLanguages[data[0] % 8]);
  const std::string_view specials = (data[0] & 0x80) ? "\"" : "";
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string encoded = qb::EncodeHeaderWords(text, word.charset, word.encoding, specials);
  std::size_t start = 0;
  bool continued = false;
  for (;;) {
    const std::size_t end = encoded.find_first_of("\r\n", start);
    const std::size_t lineEnd = end == std::string::npos ? encoded.size() : end;
    const std::string_view line = std::string_view(encoded).substr(start, lineEnd - start);
    // The encoded word that a fold continues starts the line, the one it closes ends it.
    if (continued && line.substr(0, line.find_first_of(" \t", 1)).size() > 76) std::abort();
    if (end == std::string::npos) break;
    const std::size_t lastBlank = line.find_last_of(" \t");
    if (line.substr(lastBlank == std::string_view::npos ? 0 : lastBlank + 1).size() > 75) std::abort();
    // A line break only as a fold: "?=" CR LF blank "=?".
    if (encoded.compare(end, 5, "\r\n =?") != 0 || end < 2 || encoded.compare(end - 2, 2, "?=") != 0) std::abort();
    start = end + 2;
    continued = true;
  }
  if (!specials.empty() && encoded.find('"') != std::string::npos) std::abort();
  for (const char c : qb::EncodeQuotedName(text)) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || (b < 32 && c != '\t') || b == 127) std::abort();
  }
  return 0;
}
