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
  // stands; otherwise it goes through Format, whose errors propagate. The format is the
  // program's own text; text arguments come from outside (status lines, file names,
  // URLs, configuration values) and have their control bytes escaped (EscapeLogText), so
  // that no argument can end the line or start another.
  static std::string FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args);
  static std::string FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args,
                                const platform::LocalDateTime& now);
};

// `text` with the bytes 0 to 31 and 127 written as escapes: \r, \n and \t, the others
// as \x and two upper-case hexadecimal digits (ESC: \x1B). Other bytes stay as they are.
std::string EscapeLogText(std::string_view text);

// Writes the line and CR LF to standard output in one write. Output errors are ignored.
// Safe from any thread: lines written at once never run into each other.
void LogMessage(std::uint8_t level, std::string_view format, std::span<const FormatArg> args);

// The same for a message of the program's own that needs no memory to be written, for
// the line that reports that memory ran out.
void LogFixedMessage(std::uint8_t level, const char* message) noexcept;

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
