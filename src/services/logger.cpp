#include "services/logger.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/console.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr const char* kTags[] = {" [DEBX] ", " [LOGX] ", " [PRGX] ", " [WRNX] ", " [ERRX] ", " [VERX] ", " [TXTX] "};

// One line is one write, but a write to a pipe that is full may take only part of it and
// be continued: lines of several threads would run into each other without the lock.
std::mutex& OutputLock() {
  static std::mutex lock;
  return lock;
}

void WriteLine(std::string_view line) {
  const std::lock_guard guard(OutputLock());
  platform::WriteStandardOutput(line);
}

void WriteStamp(char (&stamp)[16], const platform::LocalDateTime& now) {
  std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d]", now.hour % 100, now.minute % 100, now.second % 100);
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (!IsControlByte(c)) {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += escape;
    }
  }
  return out;
}

std::string TSimpleLogger::FormatLine(std::uint8_t level, std::string_view format, std::span<const FormatArg> args,
                                      const platform::LocalDateTime& now) {
  std::string message;
  if (args.empty()) {
    message = format;
  } else {
    // The escaped texts are made first, so the arguments that refer to them stay valid.
    std::vector<std::string> texts;
    texts.reserve(args.size());
    for (const FormatArg& arg : args) {
      const bool text = arg.kind() == FormatArg::Kind::String || arg.kind() == FormatArg::Kind::Char;
      texts.push_back(text ? EscapeLogText(arg.asText()) : std::string());
    }
    std::vector<FormatArg> escaped(args.begin(), args.end());
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i].kind() == FormatArg::Kind::String || args[i].kind() == FormatArg::Kind::Char) {
        escaped[i] = FormatArg(std::string_view(texts[i]));
      }
    }
    message = Format(format, std::span<const FormatArg>(escaped));
  }
  if (level >= std::size(kTags)) return message;
  char stamp[16];
  WriteStamp(stamp, now);
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
  WriteLine(line);
}

void LogFixedMessage(std::uint8_t level, const char* message) noexcept {
  char stamp[16];
  WriteStamp(stamp, platform::LocalNow());
  char line[256];
  const int length = std::snprintf(line, sizeof line, "%s%s%s\r\n", level < std::size(kTags) ? stamp : "",
                                   level < std::size(kTags) ? kTags[level] : "", message);
  if (length <= 0) return;
  try {
    WriteLine(std::string_view(line, std::min<std::size_t>(length, sizeof line - 1)));
  } catch (...) {
    // Output errors are ignored, as for every line.
  }
}

}  // namespace qb
