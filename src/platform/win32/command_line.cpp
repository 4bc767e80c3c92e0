#include "platform/win32/command_line.h"

#include "support/strings.h"

namespace qb::platform::win32 {

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> parameters;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  while (i < n) {
    while (i < n && IsTrimmedByte(commandLine[i])) ++i;
    if (i >= n) break;
    std::string parameter;
    bool quoted = false;
    for (; i < n && (quoted || !IsTrimmedByte(commandLine[i])); ++i) {
      if (commandLine[i] == '"') {
        quoted = !quoted;
      } else {
        parameter += commandLine[i];
      }
    }
    if (!parameter.empty()) parameters.push_back(std::move(parameter));
  }
  return parameters;
}

}  // namespace qb::platform::win32
