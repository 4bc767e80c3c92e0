#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support/child_process.h"

namespace qb::test {

namespace {

TEST(CommandLineTest, LongOptionsAndTheMissingConfigFile) {
  const std::string missing = R"(\[\d\d:\d\d:\d\d\] \[ERRX\] Exception: Parameter "configFile" is missing"\r\n)";
  const auto unknown = [](const std::string& parameter) {
    return R"(\[\d\d:\d\d:\d\d\] \[ERRX\] Exception: Unknown switch ")" + parameter +
           R"(": a switch takes one "-" or "/" and "=", as in -configFile=FILE; quobrina --help lists them\r\n)";
  };
  const std::string usage = R"(Usage: quobrina -configFile=FILE \[-parentProcID=PID\]\n(.*\n)*)";
  const std::string version = "quobrina " + std::regex_replace(QUOBRINA_VERSION, std::regex(R"(\.)"), R"(\.)") +
                              R"(\nTLS: (OpenSSL \d+\.\d+\.\d+[a-z]? found: https works|no OpenSSL library found: )"
                              R"(https uploads fail, http works)\n)";
  struct Case {
    std::vector<std::string> switches;
    int exitCode;
    std::string output;  // a regular expression
  };
  const Case cases[] = {
      {{"--help"}, 0, usage},
      {{"-h"}, 0, usage},
      {{"-configFile=upload.xml", "--help"}, 0, usage},  // the file is not read
      {{"--version"}, 0, version},
      {{}, 1, missing},
      {{"/configFile="}, 1, missing},
      {{"-configFile=   "}, 1, missing},
      {{"-parentProcID=abc"}, 1, missing},
      {{"--check"}, 1, missing},
      {{"-help"}, 1, missing},  // one prefix: a switch named "help", which there is not
      // Two prefixes would name nothing, and the parameter would be ignored.
      {{"--configFile=x.xml"}, 1, unknown("--configFile=x.xml")},
      {{"-configFile=x.xml", "--dry-run"}, 1, unknown("--dry-run")},
      {{"--HELP"}, 1, unknown("--HELP")},
  };
  for (const Case& c : cases) {
    const ProgramResult result = RunQuobrina(c.switches);
    EXPECT_EQ(c.exitCode, result.exitCode) << result.output;
    EXPECT_TRUE(std::regex_match(result.output, std::regex(c.output))) << result.output;
    EXPECT_GE(60, std::count(result.output.begin(), result.output.end(), '\n'));
  }
}

}  // namespace
}  // namespace qb::test
