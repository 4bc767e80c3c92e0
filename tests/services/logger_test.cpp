#include "services/logger.h"

#include <gtest/gtest.h>

#include "support/exception.h"

namespace qb {
namespace {

platform::LocalDateTime At(int hour, int minute, int second) {
  platform::LocalDateTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 8;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

std::string Line(std::uint8_t level, std::string_view format, std::initializer_list<FormatArg> args,
                 const platform::LocalDateTime& at) {
  return TSimpleLogger::FormatLine(level, format, std::span<const FormatArg>(args.begin(), args.size()), at);
}

TEST(LoggerTest, RendersTheDriversLines) {
  const auto t = At(9, 41, 7);
  EXPECT_EQ(
      "[09:41:07] [LOGX] commandLine = 'C:\\Tools\\Quobrina.exe -parentProcID=4120 -configFile=C:\\Cfg\\upload.xml'",
      Line(1, "commandLine = '%s'", {"C:\\Tools\\Quobrina.exe -parentProcID=4120 -configFile=C:\\Cfg\\upload.xml"}, t));
  EXPECT_EQ("[09:41:07] [ERRX] ENetReadTimeout: Read timed out.",
            Line(4, "%s: %s", {"ENetReadTimeout", "Read timed out."}, t));
  EXPECT_EQ("[09:41:08] [LOGX] There are '3' files in queue",
            Line(1, "There are '%d' files in queue", {3}, At(9, 41, 8)));
  EXPECT_EQ("[09:41:12] [LOGX] No files left: quiting", Line(1, "No files left: quiting", {}, At(9, 41, 12)));
  // The designed line break of a socket error is the driver's format, not its argument.
  EXPECT_EQ("[09:41:07] [ERRX] ENetSocketError: Socket Error # 10061\r\nConnection refused.",
            Line(4, "%s: %s\r\n%s", {"ENetSocketError", "Socket Error # 10061", "Connection refused."}, t));
}

// Text from outside cannot end the line or send control sequences: its control bytes are
// escaped; the format, the program's own text, is not.
TEST(LoggerTest, ArgumentsCannotBreakTheLine) {
  const auto t = At(9, 41, 7);
  const struct {
    std::string argument;
    const char* shown;
  } cases[] = {
      {"HTTP/1.1 500 x\r[00:00:00] [LOGX] No files left: quiting",
       "HTTP/1.1 500 x\\r[00:00:00] [LOGX] No files left: quiting"},
      {"a\r\nb\nc\td", "a\\r\\nb\\nc\\td"},
      {std::string("\x1B[2J\x00\x01\x1F\x7F end", 12), "\\x1B[2J\\x00\\x01\\x1F\\x7F end"},
      {"C:\\dir\\\xC3\xA9 \x20~", "C:\\dir\\\xC3\xA9  ~"},  // backslashes and UTF-8 stay
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string("[09:41:07] [ERRX] E: ") + c.shown, Line(4, "%s: %s", {"E", c.argument}, t));
    EXPECT_EQ(c.shown, EscapeLogText(c.argument));
  }
  EXPECT_EQ("[09:41:07] [LOGX] <\\n>", Line(1, "<%s>", {'\n'}, t));
  EXPECT_EQ("[09:41:07] [LOGX] a\r\nb", Line(1, "a\r\nb", {}, t));
}

TEST(LoggerTest, TagsLevelsAndStamps) {
  const char* tags[] = {" [DEBX] ", " [LOGX] ", " [PRGX] ", " [WRNX] ", " [ERRX] ", " [VERX] ", " [TXTX] "};
  for (std::uint8_t level = 0; level <= 6; ++level) {
    EXPECT_EQ(std::string("[13:05:09]") + tags[level] + "m", Line(level, "m", {}, At(13, 5, 9)));
  }
  EXPECT_EQ("bare 1", Line(7, "bare %d", {1}, At(13, 5, 9)));
  EXPECT_EQ("bare", Line(255, "bare", {}, At(13, 5, 9)));
  EXPECT_EQ("[00:00:00] [LOGX] m", Line(1, "m", {}, At(0, 0, 0)));
}

TEST(LoggerTest, PercentSignIsLiteralOnlyWithoutArguments) {
  const auto t = At(1, 2, 3);
  EXPECT_EQ("[01:02:03] [LOGX] 100% done %d", Line(1, "100% done %d", {}, t));
  EXPECT_EQ("[01:02:03] [LOGX] 100% done", Line(1, "%d%% done", {100}, t));
  EXPECT_THROW(Line(1, "%d %d", {1}, t), EConvertError);
}

}  // namespace
}  // namespace qb
