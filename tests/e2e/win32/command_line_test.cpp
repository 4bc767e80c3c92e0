#include <gtest/gtest.h>

#include <regex>

#include "support/child_process.h"

namespace qb::test {
namespace {

// The raw command line is logged exactly as Windows hands it over, quotes included, and
// a quoted switch with blanks around its separator still counts.
TEST(Win32CommandLineTest, RawCommandLineKeepsItsQuotes) {
  const ProgramResult result = RunQuobrina({"-configFile = C:\\My Data\\a.xml", "/parentProcID=0"});
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_TRUE(std::regex_search(
      result.output,
      std::regex(R"(^\[\d\d:\d\d:\d\d\] \[LOGX\] commandLine = '[A-Z]:\\.*\\quobrina\.exe "-configFile = C:\\My Data\\a\.xml" /parentProcID=0'\r\n)")))
      << result.output;
}

}  // namespace
}  // namespace qb::test
