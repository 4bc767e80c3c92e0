#include <gtest/gtest.h>

#include <regex>

#include "support/child_process.h"

namespace qb::test {
namespace {

TEST(CommandLineTest, MissingConfigFileIsTheOnlyLineAndExitsOne) {
  const std::vector<std::vector<std::string>> runs = {
      {}, {"/configFile="}, {"-configFile=   "}, {"-parentProcID=abc"}, {"--configFile=x.xml"}};
  for (const auto& switches : runs) {
    const ProgramResult result = RunQuobrina(switches);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(std::regex_match(
        result.output, std::regex(R"(\[\d\d:\d\d:\d\d\] \[ERRX\] Exception: Parameter "configFile" is missing"\r\n)")))
        << result.output;
  }
}

}  // namespace
}  // namespace qb::test
