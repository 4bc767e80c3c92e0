// The program's log: one call, one time-stamped line on standard output.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "support/format.h"

namespace qb {

class TSimpleLogger {
 public:
  TSimpleLogger() = delete;

  // The line without its line break: "[HH:NN:SS]", the level's tag, the message. Levels
  // 7 to 255 give the message alone. With no arguments the format is the message as it
  // stands; otherwise it goes through Format, whose errors propagate.
  static std::string FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args);
  static std::string FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args,
                                const platform::LocalDateTime& now);
};

// Writes the line and CR LF to standard output in one write. Output errors are ignored.
void LogMessage(std::uint8_t level, std::string_view format, std::span<const FormatArg> args);

template <typename... Args>
void LogMessage(std::uint8_t level, std::string_view format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    LogMessage(level, format, std::span<const FormatArg>());
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    LogMessage(level, format, std::span<const FormatArg>(list));
  }
}

}  // namespace qb
