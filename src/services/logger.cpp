#include "services/logger.h"

#include <cstdio>

#include "platform/console.h"

namespace qb {
namespace {

constexpr const char* kTags[] = {" [DEBX] ", " [LOGX] ", " [PRGX] ", " [WRNX] ", " [ERRX] ", " [VERX] ", " [TXTX] "};

}  // namespace

std::string TSimpleLogger::FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args,
                                      const platform::LocalDateTime& now) {
  std::string message = args.empty() ? std::string(format) : Format(format, args);
  if (level >= std::size(kTags)) return message;
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d]", now.hour % 100, now.minute % 100, now.second % 100);
  std::string line(stamp);
  line += kTags[level];
  line += message;
  return line;
}

std::string TSimpleLogger::FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args) {
  return FormatLine(level, format, args, platform::LocalNow());
}

void LogMessage(std::uint8_t level, std::string_view format, std::span<const FormatArg> args) {
  std::string line = TSimpleLogger::FormatLine(level, format, args);
  line += "\r\n";
  platform::WriteStandardOutput(line);
}

}  // namespace qb
