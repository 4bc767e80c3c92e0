#include "http/quoted_name.h"

#include <gtest/gtest.h>

#include <string>

#include "support/strings.h"

namespace qb {
namespace {

// Receiving servers store the quoted name as it stands: what breaks the quotes or gets
// cut is escaped, and every "%XX" of an escaped byte decodes back to the name.
TEST(QuotedNameTest, QuotedNamesAreUtf8WithFewEscapes) {
  const struct {
    std::string name;
    std::string quoted;
  } cases[] = {
      {"report 2026; final (1).txt", "report 2026; final (1).txt"},
      {"tab\there=?x?Q?y?=.txt", "tab\there=?x?Q?y?=.txt"},
      {"отчёт.txt", "отчёт.txt"},
      {"报告 😀.txt", "报告 😀.txt"},
      {"say \"hi\".txt", "say %22hi%22.txt"},
      {"a\\b.txt", "a%5Cb.txt"},
      {"a\r\nContent-Type: evil.txt", "a%0D%0AContent-Type: evil.txt"},
      {std::string("nul\0\x1B\x7F", 6), "nul%00%1B%7F"},
      // Stray bytes, an overlong form and a cut sequence are no characters.
      {"caf\xE9 \xC0\xAF \xD0", "caf%E9 %C0%AF %D0"},
      // "%" stays unless what follows would read as an escape.
      {"50% off %41 %zz %2G.txt", "50% off %41 %zz %2G.txt"},
      {"%22 %5c %0a %e9 %25 %7F %", "%2522 %255c %250a %25e9 %2525 %257F %"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeQuotedName(c.name), c.quoted) << c.name;
    std::string decoded;
    for (std::size_t i = 0; i < c.quoted.size(); ++i) {
      const bool isHex =
          i + 2 < c.quoted.size() && HexDigitValue(c.quoted[i + 1]) >= 0 && HexDigitValue(c.quoted[i + 2]) >= 0;
      const auto byte =
          isHex ? static_cast<unsigned char>(HexDigitValue(c.quoted[i + 1]) * 16 + HexDigitValue(c.quoted[i + 2])) : 0;
      if (c.quoted[i] == '%' && isHex && IsEscapedNameByte(byte)) {
        decoded += static_cast<char>(byte);
        i += 2;
      } else {
        decoded += c.quoted[i];
      }
    }
    EXPECT_EQ(decoded, c.name) << c.quoted;
  }
}

}  // namespace
}  // namespace qb
