#include "platform/win32/command_line.h"

namespace qb::platform::win32 {

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> parameters;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (i < n) {
    while (i < n && isBlank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string parameter;
    bool quoted = false;
    for (; i < n && (quoted || !isBlank(commandLine[i])); ++i) {
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
