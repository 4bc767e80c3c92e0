#include "support/strings.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/base64.h"

namespace qb {
namespace {

TEST(StringsTest, TrimRemovesCodesUpTo32OnBothEnds) {
  EXPECT_EQ("a b", Trim(std::string_view("\x01\t a b\r\n \x20", 10)));
  EXPECT_EQ("", Trim(" \t\r\n"));
  EXPECT_EQ("x ", TrimLeft("  x "));
  EXPECT_EQ(" x", TrimRight(" x \n"));
  EXPECT_EQ("\xC3\xA9", Trim(" \xC3\xA9 "));  // bytes above 127 are kept
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
      {"4012", 4012},       {"-5", -5},           {"+5", 5},
      {"  12", 12},         {"$1F", 31},          {"x1f", 31},
      {"X1F", 31},          {"0x1F", 31},         {"0X1f", 31},
      {"-$1F", -31},        {"$FFFFFFFF", -1},    {"$80000000", INT32_MIN},
      {"2147483647", 2147483647},                 {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},               {"-2147483649", std::nullopt},
      {"$123456789", std::nullopt},               {"$000000000FF", std::nullopt},
      {"abc", std::nullopt},
      {"12x", std::nullopt}, {"12 ", std::nullopt}, {"", std::nullopt},
      {"$", std::nullopt},  {"0x", std::nullopt}, {"-", std::nullopt},
      {"1.5", std::nullopt}, {"007", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, TryStrToInt(c.text)) << '"' << c.text << '"';
  EXPECT_EQ(0, StrToIntDef("abc", 0));
}

TEST(Base64Test, EncodesAndDecodesWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="},
      {std::string("\0\xFF\xFE", 3), "AP/+"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(text, Base64Encode(bytes));
    EXPECT_EQ(bytes, Base64Decode(text));
  }
  EXPECT_EQ("ab", Base64Decode("YWI"));  // a short final group decodes what it covers
}

}  // namespace
}  // namespace qb
