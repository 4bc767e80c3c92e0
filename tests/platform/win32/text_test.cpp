// The program's text under an 8-bit ANSI code page. The test program runs without the
// UTF-8 setting of the shared tests, and Wine takes its code page from LC_ALL=ru_RU, so
// this is code page 1251 (Cyrillic); on another machine the tests that need it are skipped.
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/locale.h"

namespace qb::platform {
namespace {

// "отчёт" and "ОТЧЁТ" in code page 1251.
constexpr const char* kReport = "\xEE\xF2\xF7\xB8\xF2";
constexpr const char* kReportUpper = "\xCE\xD2\xD7\xA8\xD2";

class Win32TextTest : public testing::Test {
 protected:
  void SetUp() override {
    if (AnsiCodePage() != 1251) GTEST_SKIP() << "the ANSI code page is " << AnsiCodePage() << ", not 1251";
  }
};

TEST_F(Win32TextTest, ConversionsStartFromTheAnsiCodePage) {
  EXPECT_EQ(ConvertCodePage(0, kCodePageUtf8, kReport), "отчёт");
  EXPECT_EQ(ConvertCodePage(kCodePageUtf8, 0, "отчёт.txt"), std::string(kReport) + ".txt");
  EXPECT_EQ(MultiByteToWide(0, kReport), u"отчёт");
  // KOI8-R and windows-1251 through the charset names.
  EXPECT_EQ(ConvertCodePage(0, *CodePageOfCharset("KOI8-R"), kReport), "\xCF\xD4\xDE\xA3\xD4");
  EXPECT_EQ(ConvertCodePage(*CodePageOfCharset("koi8-r"), 0, "\xCF\xD4\xDE\xA3\xD4"), kReport);
}

TEST_F(Win32TextTest, UnmappableCharactersBecomeQuestionMarksNeverLookAlikes) {
  const struct {
    std::u16string text;
    int codePage;
    const char* bytes;
  } cases[] = {
      {u"日本.txt", 0, "??.txt"},
      {u"caf\u00E9", 0, "caf?"},
      // A best-fit mapping would turn these into '"', "\" and "A".
      {u"say \uFF02hi\uFF02", 1252, "say ?hi?"},
      {u"C:\uFF3Cx", 1252, "C:?x"},
      {u"\u0100", 1252, "?"},
      {u"\u00E9", 1252, "\xE9"},
  };
  for (const auto& c : cases) EXPECT_EQ(WideToMultiByte(c.codePage, c.text), c.bytes) << c.codePage;
}

TEST_F(Win32TextTest, LettersAndCaseFollowTheCodePage) {
  EXPECT_TRUE(IsCharAlpha(0xEE));   // "о"
  EXPECT_TRUE(IsCharAlpha(0xA8));   // "Ё"
  EXPECT_FALSE(IsCharAlpha(0xB9));  // "№"
  EXPECT_FALSE(IsCharAlpha('1'));
  EXPECT_TRUE(IsCharAlphaNumeric('1'));
  EXPECT_FALSE(IsCharAlphaNumeric('-'));
  EXPECT_EQ(UpperCaseLocale(std::string(kReport) + ".txt"), std::string(kReportUpper) + ".TXT");
}

TEST_F(Win32TextTest, LedgerComparisonIgnoresCaseOfEveryLetter) {
  const std::string lower = std::string("c:\\out\\") + kReport + ".txt";
  const std::string upper = std::string("C:\\OUT\\") + kReportUpper + ".TXT";
  const struct {
    std::string a;
    std::string b;
    bool same;
  } cases[] = {
      {lower, upper, true},
      {"C:\\Out\\A.TXT", "c:\\out\\a.txt", true},
      {"C:\\Out\\a.txt", "C:\\Out\\a.txt ", false},
      {"C:\\Out\\a-b.txt", "C:\\Out\\ab.txt", false},
      {"C:\\Out\\a.txt", "C:\\Out\\b.txt", false},
      {lower, std::string("c:\\out\\") + kReport + "x.txt", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameTextLocale(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(CompareTextIgnoreCase(c.a, c.b) == 0, c.same) << c.a << " / " << c.b;
    // The key of the MIME table and the lists agrees with the comparison.
    EXPECT_EQ(CaseFoldKey(c.a) == CaseFoldKey(c.b), c.same) << c.a << " / " << c.b;
  }
  EXPECT_LT(CompareTextIgnoreCase("a.txt", "B.txt"), 0);
  EXPECT_GT(CompareTextIgnoreCase("b.txt", "A.txt"), 0);
}

}  // namespace
}  // namespace qb::platform
