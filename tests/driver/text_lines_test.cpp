#include "driver/text_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qb {
namespace {

using Entries = std::vector<std::string>;

struct Read {
  Entries entries;
  std::int64_t complete = 0;
};

Read Lines(const std::string& bytes) {
  Read read;
  TMemoryStream stream(bytes);
  const auto add = [&](std::string_view line, bool) { read.entries.emplace_back(line); };
  read.complete = ForEachTextLine(stream, add).complete;
  return read;
}

std::string Bytes(const char* text, std::size_t size) { return std::string(text, size); }

TEST(TextLinesTest, EveryKindOfLineBreakEndsAnEntry) {
  // `complete`: where a ledger is cut before the next line is appended (an unfinished last
  // line and what follows a 0 byte go).
  struct Case {
    std::string bytes;
    Entries entries;
    std::int64_t complete;
  };
  const Case cases[] = {
      {"", {}, 0},
      {"a\r\n\r\nb", {"a", "", "b"}, 5},
      {"\r\n", {""}, 2},
      {"a", {"a"}, 0},
      {"a\r\n", {"a"}, 3},
      {"a\rb\nc\r\n", {"a", "b", "c"}, 7},
      {"a\n\rb", {"a", "", "b"}, 3},
      {"a\r\rb", {"a", "", "b"}, 3},
      {"a\n\nb\n", {"a", "", "b"}, 5},
      {"a\r\n\r", {"a", ""}, 4},
      {"a\r", {"a"}, 2},
      {"\n\n", {"", ""}, 2},
      {Bytes("a\0b\r\nc", 6), {"a"}, 0},
      {Bytes("a\r\n\0b\r\n", 7), {"a"}, 3},
      {Bytes("\0abc", 4), {}, 0},
      {Bytes("x\r\0\ny", 5), {"x"}, 2},
      {" a \t\r\n\t", {" a \t", "\t"}, 6},
      {"\xC3\xA9t\xC3\xA9\xFF\r\n", {"\xC3\xA9t\xC3\xA9\xFF"}, 8},
  };
  for (const Case& c : cases) {
    const Read read = Lines(c.bytes);
    EXPECT_EQ(c.entries, read.entries) << testing::PrintToString(c.bytes);
    EXPECT_EQ(c.complete, read.complete) << testing::PrintToString(c.bytes);
  }
}

TEST(TextLinesTest, LineBreaksAcrossReadBlocks) {
  // The text is read 64 KiB at a time: a CR LF pair split between two reads ends one
  // entry, and a CR at the end of a read followed by other text ends one too.
  const std::string block(65535, 'x');
  EXPECT_EQ((Entries{block, "y"}), Lines(block + "\r\ny").entries);
  EXPECT_EQ((Entries{block, "y"}), Lines(block + "\ry").entries);
  EXPECT_EQ((Entries{block, "", "y"}), Lines(block + "\r\r\ny").entries);
  EXPECT_EQ((Entries{block + "x", "", "y"}), Lines(block + "x\n\ry").entries);
  EXPECT_EQ(65537, Lines(block + "\r\ny").complete);
  const Entries big = Lines(std::string(200000, 'z') + "\r\nend").entries;
  ASSERT_EQ(2u, big.size());
  EXPECT_EQ(200000u, big[0].size());
}

}  // namespace
}  // namespace qb
