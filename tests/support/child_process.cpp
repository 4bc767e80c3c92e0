#include "support/child_process.h"

#include <regex>

namespace qb::test {

ProgramResult RunQuobrina(const std::vector<std::string>& switches, double timeoutSeconds) {
  std::vector<std::string> arguments{QUOBRINA_BINARY};
  arguments.insert(arguments.end(), switches.begin(), switches.end());
  return RunProgram(QUOBRINA_BINARY, arguments, timeoutSeconds);
}

std::string StripStamps(const std::string& output) {
  static const std::regex stamp(R"((^|\n)\[\d\d:\d\d:\d\d\])");
  return std::regex_replace(output, stamp, "$1[--:--:--]");
}

}  // namespace qb::test
