#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace qb::platform {
namespace {

TEST(CodePageTest, StatefulCharsetEndsInItsInitialState) {
  const auto codePage = CodePageOfCharset("ISO-2022-JP");
  if (!codePage) GTEST_SKIP() << "this system has no ISO-2022-JP converter";
  // ESC $ B enters JIS X 0208, ESC ( B returns to ASCII before the text ends.
  EXPECT_EQ(ConvertCodePage(0, *codePage, "日本"), "\x1b$BF|K\\\x1b(B");
  EXPECT_EQ(ConvertCodePage(0, *codePage, "日本.txt"), "\x1b$BF|K\\\x1b(B.txt");
  EXPECT_EQ(ConvertCodePage(0, *codePage, "ascii"), "ascii");
  EXPECT_EQ(ConvertCodePage(*codePage, 0, "\x1b$BF|K\\\x1b(B"), "日本");
}

TEST(CodePageTest, Utf8CharLengthTakesWellFormedSequencesWhole) {
  struct Case {
    std::string bytes;
    std::size_t length;
  };
  const Case cases[] = {
      {"a", 1},
      {"\xC3\xA9", 2},
      {"\xE2\x82\xAC", 3},
      {"\xF0\x9F\x98\x80", 4},
      {"\xED\x9F\xBF", 3},      // U+D7FF, just below the surrogates
      {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF
      {"\x80", 1},              // stray continuation byte
      {"\xC0\xAF", 1},          // overlong "/"
      {"\xE0\x80\xAF", 1},      // overlong
      {"\xED\xA0\x80", 1},      // surrogate
      {"\xF4\x90\x80\x80", 1},  // above U+10FFFF
      {"\xE2\x82", 1},          // cut short
      {"\xE2\x41\xAC", 1},      // not a continuation byte
      {"\xFF", 1},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.length, Utf8CharLength(c.bytes, 0)) << testing::PrintToString(c.bytes);
  EXPECT_EQ(2u, Utf8CharLength("a\xC3\xA9", 1));
  EXPECT_EQ(0u, Utf8CharLength("a", 5));
  EXPECT_EQ(2u, CharLength("\xC3\xA9", 0));  // the program's text is UTF-8 here
}

}  // namespace
}  // namespace qb::platform
