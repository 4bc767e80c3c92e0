#include "support/strings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/base64.h"

namespace qb {
namespace {

TEST(StringsTest, TrimRemovesCodesUpTo32OnBothEndsAndOfEveryItemOfAList) {
  EXPECT_EQ("a b", Trim(std::string_view("\x01\t a b\r\n \x20", 10)));
  EXPECT_EQ("", Trim(" \t\r\n"));
  EXPECT_EQ("x ", TrimLeft("  x "));
  EXPECT_EQ(" x", TrimRight(" x \n"));
  EXPECT_EQ("\xC3\xA9", Trim(" \xC3\xA9 "));  // bytes above 127 are kept
  EXPECT_EQ((std::vector<std::string>{"close", "Upgrade"}), SplitTrimmed(" close ,, Upgrade,", ','));
  EXPECT_EQ(std::vector<std::string>{}, SplitTrimmed(" , ", ','));
}

// The byte classes that the parsers, the log and the header checks share.
TEST(StringsTest, ByteClasses) {
  struct Case {
    char byte;
    bool trimmed;
    bool control;
    int hexDigit;
  };
  const Case cases[] = {
      {'\0', true, true, -1},     {'\t', true, true, -1},  {'\n', true, true, -1},    {'\x1F', true, true, -1},
      {' ', true, false, -1},     {'!', false, false, -1}, {'\x7F', false, true, -1}, {'\x80', false, false, -1},
      {'\xFF', false, false, -1}, {'0', false, false, 0},  {'9', false, false, 9},    {'a', false, false, 10},
      {'F', false, false, 15},    {'f', false, false, 15}, {'g', false, false, -1},   {'G', false, false, -1},
      {'/', false, false, -1},    {':', false, false, -1}, {'@', false, false, -1},   {'`', false, false, -1},
  };
  for (const Case& c : cases) {
    const int code = static_cast<unsigned char>(c.byte);
    EXPECT_EQ(c.trimmed, IsTrimmedByte(c.byte)) << code;
    EXPECT_EQ(c.control, IsControlByte(c.byte)) << code;
    EXPECT_EQ(c.hexDigit, HexDigitValue(c.byte)) << code;
  }
}

TEST(StringsTest, AsciiCaseMappingLeavesOtherBytesAlone) {
  EXPECT_EQ("CONFIGFILE-\xC3\xA9", UpperCaseAscii("configFile-\xC3\xA9"));
  EXPECT_TRUE(SameTextAscii("configFile", "CONFIGFILE"));
  EXPECT_FALSE(SameTextAscii("configFile", "configFiles"));
}

TEST(StringsTest, IntegerConversionFollowsTheRuntimeRules) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {
      {"4012", 4012},
      {"-5", -5},
      {"+5", 5},
      {"  12", 12},
      {"$1F", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-$1F", -31},
      {"$FFFFFFFF", -1},
      {"$80000000", INT32_MIN},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"$123456789", std::nullopt},
      {"$000000000FF", std::nullopt},
      {"abc", std::nullopt},
      {"12x", std::nullopt},
      {"12 ", std::nullopt},
      {"", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"-", std::nullopt},
      {"1.5", std::nullopt},
      {"007", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, TryStrToInt(c.text)) << '"' << c.text << '"';
  EXPECT_EQ(0, StrToIntDef("abc", 0));
}

TEST(Base64Test, EncodesAndDecodesWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},        {"a", "YQ=="},        {"ab", "YWI="},
      {"abc", "YWJj"}, {"abcd", "YWJjZA=="}, {std::string("\0\xFF\xFE", 3), "AP/+"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(text, Base64Encode(bytes));
    EXPECT_EQ(bytes, Base64Decode(text));
  }
  EXPECT_EQ("ab", Base64Decode("YWI"));  // a short final group decodes what it covers
}

}  // namespace
}  // namespace qb
