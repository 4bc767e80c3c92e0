#include "support/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/exception.h"

namespace qb {
namespace {

TEST(FormatTest, DirectivesRenderAsTheRuntimeDoes) {
  struct Case {
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"There are '3' files in queue", Format("There are '%d' files in queue", 3)},
      {"ENetReadTimeout: Read timed out.", Format("%s: %s", "ENetReadTimeout", "Read timed out.")},
      {"100%", Format("%d%%", 100)},
      {"-42|4294967254", Format("%d|%u", -42, -42)},
      {"  7|7  |007|-007", Format("%3d|%-3d|%.3d|%.3d", 7, 7, 7, -7)},
      {"FF|000000FF|FFFFFFFF", Format("%x|%.8x|%x", 255, 255, -1)},
      {"1.50000000000000E+000", Format("%e", 1.5)},
      {"-2.50E-003", Format("%.3e", -0.0025)},
      {"1.50|3.142|-0.50", Format("%f|%.3f|%f", 1.5, 3.14159, -0.5)},
      {"1.5|1E20|0.0001|1E-5", Format("%g|%g|%g|%g", 1.5, 1e20, 0.0001, 0.00001)},
      {"1,234,567.89", Format("%n", 1234567.891)},
      {"$1,234.50|($2.00)", Format("%m|%m", 1234.5, -2.0)},
      {"$1.25", Format("%m", FormatArg::Currency(12500))},
      {"b a b", Format("%1:s %0:s %s", "a", "b")},
      {"[  ab]|[ab  ]|[abc]", Format("[%4s]|[%-4s]|[%.3s]", "ab", "ab", "abcdef")},
      {"[   5]", Format("[%*d]", 4, 5)},
      {"x", Format("%s", 'x')},
      {"NAN|INF|-INF", Format("%e|%f|%g", std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity())},
      {"9223372036854775807", Format("%d", 9223372036854775807LL)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual);
  const void* pointer = reinterpret_cast<const void*>(std::uintptr_t{0xBEEF});
  EXPECT_EQ(std::string(sizeof(void*) * 2 - 4, '0') + "BEEF", Format("%p", pointer));
}

TEST(FormatTest, MismatchesRaiseConversionErrorsNamingTheWholeFormat) {
  struct Case {
    std::string format;
    std::string message;
  };
  auto expectError = [](auto call, const std::string& message) {
    try {
      call();
      ADD_FAILURE() << "no error for: " << message;
    } catch (const EConvertError& error) {
      EXPECT_EQ(message, error.Message());
      EXPECT_STREQ("EConvertError", error.ClassName());
    }
  };
  expectError([] { Format("a %d b", "text"); }, "Format 'a %d b' invalid or incompatible with argument");
  expectError([] { Format("%s", 5); }, "Format '%s' invalid or incompatible with argument");
  expectError([] { Format("%f", 5); }, "Format '%f' invalid or incompatible with argument");
  expectError([] { Format("%d", 1.5); }, "Format '%d' invalid or incompatible with argument");
  expectError([] { Format("%z", 1); }, "Format '%z' invalid or incompatible with argument");
  expectError([] { Format("trailing %", 1); }, "Format 'trailing %' invalid or incompatible with argument");
  expectError([] { Format("%s and %s", "one"); }, "No argument for format '%s and %s'");
  expectError([] { Format("%d"); }, "No argument for format '%d'");
  expectError([] { Format("%5:s", "a"); }, "No argument for format '%5:s'");
  expectError([] { Format("%99999999d", 1); }, "Format '%99999999d' invalid or incompatible with argument");
}

TEST(FormatTest, ExponentTextOfTheXmlFloatForm) {
  EXPECT_EQ("1.50000000000000E+0000", FloatToExponentText(1.5, 15, 4));
  EXPECT_EQ("-2.50000000000000E-0003", FloatToExponentText(-0.0025, 15, 4));
  EXPECT_EQ("0.00000000000000E+0000", FloatToExponentText(0.0, 15, 4));
  EXPECT_EQ("9.99999999999999E+0099", FloatToExponentText(9.99999999999999e99, 15, 4));
  EXPECT_EQ("1.00000000000000E+0001", FloatToExponentText(9.999999999999999, 15, 4));  // rounds up
}

}  // namespace
}  // namespace qb
