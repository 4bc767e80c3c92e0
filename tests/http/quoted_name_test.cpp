#include "http/quoted_name.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "platform/codepage.h"
#include "platform/locale.h"

namespace qb {
namespace {

struct EncodeCase {
  const char* text;
  const char* charset;
  char encoding;
  std::string expected;
};

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(HeaderWordsTest, EncodesWordsThatAreNotPlain) {
  const EncodeCase cases[] = {
      {"", "ISO-8859-1", 'Q', ""},
      {"file", "ISO-8859-1", 'Q', "file"},
      {"report 2026.txt", "KOI8-R", 'B', "report 2026.txt"},
      // The extension has no blank before it, so it belongs to the encoded word.
      {"отчёт.txt", "KOI8-R", 'B', "=?KOI8-R?B?z9Teo9QudHh0?="},
      {"отчёт 2026.txt", "KOI8-R", 'B', "=?KOI8-R?B?z9Teo9Q=?= 2026.txt"},
      // Characters that ISO-8859-1 cannot hold are lost as "?"; what is left is plain.
      {"отчёт.txt", "ISO-8859-1", 'Q', "?????.txt"},
      {"café отчёт.txt", "ISO-8859-1", 'Q', "=?ISO-8859-1?Q?caf=E9?= ?????.txt"},
      {"café au lait.txt", "ISO-8859-1", 'Q', "=?ISO-8859-1?Q?caf=E9?= au lait.txt"},
      // Neighbouring words that need encoding share one run, blank included.
      {"crème brûlée.txt", "ISO-8859-1", 'Q', "=?ISO-8859-1?Q?cr=E8me_br=FBl=E9e.txt?="},
      {"a  é\tb ", "ISO-8859-1", 'Q', "a  =?ISO-8859-1?Q?=E9?=\tb "},
      {" é", "ISO-8859-1", 'Q', " =?ISO-8859-1?Q?=E9?="},
      // "Q" copies only its safe set: "?", "=", "_" and tab are escaped.
      {"é?=_\x7F", "ISO-8859-1", 'Q', "=?ISO-8859-1?Q?=E9=3F=3D=5F=7F?="},
      {"a=b", "ISO-8859-1", 'Q', "a=b"},
      // Text that already holds an encoded word: its "=" must not pass through as is.
      {"=?utf-8?Q?x?=", "ISO-8859-1", 'Q', "=?ISO-8859-1?Q?=3D=3Futf-8=3FQ=3Fx=3F=3D?="},
      {"中文.txt", "GB2312", 'B', "=?GB2312?B?1tDOxC50eHQ=?="},
      {"中文.txt", "Big5", 'B', "=?Big5?B?pKSk5S50eHQ=?="},
      // The word ends back in ASCII mode (ESC ( B) before ".txt".
      {"日本.txt", "ISO-2022-JP", 'B', "=?ISO-2022-JP?B?GyRCRnxLXBsoQi50eHQ=?="},
      {"한국.txt", "csEUCKR", 'B', "=?csEUCKR?B?x9GxuS50eHQ=?="},
      {"звіт.txt", "windows-1251", 'B', "=?windows-1251?B?5+Kz8i50eHQ=?="},
  };
  for (const auto& c : cases) {
    if (!platform::CodePageOfCharset(c.charset)) continue;  // a converter this system lacks (Wine's ISO-2022-JP)
    EXPECT_EQ(EncodeHeaderWords(c.text, c.charset, c.encoding), c.expected) << c.text << " in " << c.charset;
  }
}

TEST(HeaderWordsTest, FoldsEncodedRunsAtSeventyFiveCharacters) {
  const std::string qOpen = "=?ISO-8859-1?Q?";
  const std::string bOpen = "=?KOI8-R?B?";
  const EncodeCase cases[] = {
      // "Q": the counter starts at 15 + 2; 19 pieces of "=E9" fit, the 20th would reach 77.
      {nullptr, "ISO-8859-1", 'Q', qOpen + Repeat("=E9", 19) + "?=\r\n " + qOpen + Repeat("=E9", 11) + "?="},
      // One-character pieces fill the line up to 75 exactly.
      {nullptr, "ISO-8859-1", 'Q', qOpen + "=E9" + Repeat("a", 55) + "?=\r\n " + qOpen + Repeat("a", 5) + "?="},
      // At 73 a three-character piece no longer fits.
      {nullptr, "ISO-8859-1", 'Q', qOpen + "=E9" + Repeat("a", 53) + "?=\r\n " + qOpen + "=E9?="},
      // "B": the counter starts at 11 + 2; fifteen groups of four fit on a line.
      {nullptr, "KOI8-R", 'B', bOpen + Repeat("1tbW", 15) + "?=\r\n " + bOpen + "1g==?="},
  };
  const std::string texts[] = {
      Repeat("é", 30),
      "é" + Repeat("a", 60),
      "é" + Repeat("a", 53) + "é",
      Repeat("ж", 46),
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string encoded = EncodeHeaderWords(texts[i], cases[i].charset, cases[i].encoding);
    EXPECT_EQ(encoded, cases[i].expected) << "case " << i;
    for (std::size_t start = 0, end; start <= encoded.size(); start = end + 2) {
      end = encoded.find("\r\n", start);
      if (end == std::string::npos) end = encoded.size();
      EXPECT_LE(end - start, 76u) << "case " << i;  // 75 plus the blank that continues a line
    }
  }
}

TEST(HeaderWordsTest, LineBreaksAndSpecialsNeverPassRaw) {
  // A name with CR LF must not start a header line of its own.
  EXPECT_EQ(EncodeHeaderWords("a\r\nContent-Type: evil", "ISO-8859-1", 'Q'),
            "=?ISO-8859-1?Q?a=0D=0AContent-Type:?= evil");
  EXPECT_EQ(EncodeHeaderWords("say \"hi\".txt", "ISO-8859-1", 'Q', "\""), "say =?ISO-8859-1?Q?=22hi=22.txt?=");
  EXPECT_EQ(EncodeHeaderWords("say \"hi\".txt", "ISO-8859-1", 'Q'), "say \"hi\".txt");
}

// Receiving servers store the quoted name as it stands: what breaks the quotes or gets
// cut is escaped, and every "%XX" of an escaped byte decodes back to the name.
TEST(HeaderWordsTest, QuotedNamesAreUtf8WithFewEscapes) {
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
      const std::string hex = c.quoted.substr(i + 1, 2);
      const bool isHex = hex.size() == 2 && std::isxdigit(static_cast<unsigned char>(hex[0])) &&
                         std::isxdigit(static_cast<unsigned char>(hex[1]));
      const auto byte = isHex ? static_cast<unsigned char>(std::stoi(hex, nullptr, 16)) : 0;
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

TEST(HeaderWordsTest, UnusableCharsetOrLetterIsAnError) {
  struct {
    const char* charset;
    char encoding;
    const char* message;
  } const cases[] = {
      {"no-such-charset", 'B', "Could not encode header data using charset \"no-such-charset\""},
      {"", 'Q', "Could not encode header data using charset \"\""},
      {"ISO-8859-1", 'X', "Unknown header encoding \"X\""},
  };
  for (const auto& c : cases) {
    try {
      EncodeHeaderWords("file", c.charset, c.encoding);
      ADD_FAILURE() << "no error for " << c.charset;
    } catch (const ENetHeaderEncodeError& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.ClassName(), "ENetHeaderEncodeError");
    }
  }
}

TEST(HeaderWordsTest, LocaleChoosesCharsetAndLetter) {
  struct {
    const char* locale;
    const char* charset;
    char encoding;
  } const cases[] = {
      {"zh_CN.UTF-8", "GB2312", 'B'}, {"zh_TW", "Big5", 'B'},          {"ja_JP.UTF-8", "ISO-2022-JP", 'B'},
      {"ko_KR", "csEUCKR", 'B'},      {"ru_RU.UTF-8", "KOI8-R", 'B'},   {"uk_UA", "windows-1251", 'B'},
      {"de_DE.UTF-8", "ISO-8859-1", 'Q'}, {"C", "ISO-8859-1", 'Q'},     {"en_US", "ISO-8859-1", 'Q'},
  };
  for (const auto& c : cases) {
    const THeaderWordCharset word = DefaultWordCharset(platform::LanguageIdOfLocaleName(c.locale));
    EXPECT_EQ(word.charset, c.charset) << c.locale;
    EXPECT_EQ(word.encoding, c.encoding) << c.locale;
  }
}

}  // namespace
}  // namespace qb
