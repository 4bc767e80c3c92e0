// Implementation details: on POSIX the program's text is UTF-8 already and is scanned as
// it is; elsewhere it is converted first. Well-formed UTF-8 sequences pass raw, every
// other byte is judged on its own.
#include "http/quoted_name.h"

#include <algorithm>

#include "platform/codepage.h"
#include "support/strings.h"

namespace qb {

bool IsEscapedNameByte(unsigned char byte) {
  const auto c = static_cast<char>(byte);
  return (c != '\t' && IsControlByte(c)) || byte >= 128 || c == '"' || c == '\\' || c == '%';
}

std::string EncodeQuotedName(std::string_view text) {
  // On POSIX the program's text is UTF-8 already, and a stray byte of it must stay
  // distinguishable: converting would turn it into "?".
  const std::string utf8 = platform::AnsiCodePage() == platform::kCodePageUtf8
                               ? std::string(text)
                               : platform::ConvertCodePage(0, platform::kCodePageUtf8, text);
  std::string out;
  out.reserve(utf8.size() + 16);
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b >= 128) {
      const std::size_t length = platform::Utf8CharLength(utf8, i);
      if (length > 1) {
        out.append(utf8, i, length);
        i += length;
        continue;
      }
    }
    bool escape = b != '%' && IsEscapedNameByte(b);
    if (b == '%' && i + 2 < utf8.size() && HexDigitValue(utf8[i + 1]) >= 0 && HexDigitValue(utf8[i + 2]) >= 0) {
      escape =
          IsEscapedNameByte(static_cast<unsigned char>(HexDigitValue(utf8[i + 1]) * 16 + HexDigitValue(utf8[i + 2])));
    }
    if (escape) {
      AppendPercentEscape(out, b);
    } else {
      out += static_cast<char>(b);
    }
    ++i;
  }
  return out;
}

std::string ExtendedNameValue(std::string_view quoted) {
  if (std::all_of(quoted.begin(), quoted.end(), [](char c) { return static_cast<unsigned char>(c) < 128; })) return {};
  std::string out = "UTF-8''";
  for (const char c : quoted) {
    const auto b = static_cast<unsigned char>(c);
    const bool attrChar = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                          std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
    if (attrChar) {
      out += c;
    } else {
      AppendPercentEscape(out, b);
    }
  }
  return out;
}

}  // namespace qb
