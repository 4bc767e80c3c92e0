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

}  // namespace
}  // namespace qb::platform
