#include "driver/file_mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qb {
namespace {

TEST(FileMaskTest, MatchesNamesByEveryRule) {
  struct Case {
    const char* name;
    const char* mask;
    bool matches;
  };
  const Case cases[] = {
      // Masks that take everything.
      {"a.txt", "", true},
      {"README", "*", true},
      {"README", "*.*", true},
      {".profile", "*.*", true},
      // A name without "." is matched as if it ended in one.
      {"README", "*.", true},
      {"README", "*.txt", false},
      {"a.txt", "*.", false},
      {".profile", "*.", false},
      {"README", "README", true},
      {"abc", "*c", true},
      {"abc", "a?c", true},
      {"abc", "abc.", true},
      // Upper-case comparison, ASCII and beyond.
      {"a.txt", "*.TXT", true},
      {"A.TXT", "*.txt", true},
      {"\xC3\xA9t\xC3\xA9.txt", "\xC3\x89T\xC3\x89.*", true},
      // "?" is exactly one character; a multi-byte character counts as one.
      {"a.txt", "?.txt", true},
      {"ab.txt", "?.txt", false},
      {".txt", "?.txt", false},
      {"\xC3\xA9.txt", "?.txt", true},
      {"\xE2\x82\xAC.txt", "???.txt", false},
      {"a.txt", "*.t?t", true},
      {"a.txt", "*.t??t", false},
      // "*" takes any run, none included; the mask must cover the whole name.
      {"a.tar.gz", "*.gz", true},
      {"a.tar.gz", "*.tar", false},
      {"abc.txt", "a*", true},
      {"abc.txt", "*b*", true},
      {"abc.txt", "b*", false},
      {"a.txt", "a.txt*", true},
      {"a.txt", "*a.txt", true},
      {"a.txt", "a.tx", false},
      {"aaab.x", "*a*a*a*b.x", true},
      {"aab.x", "*a*a*a*b.x", false},
      {"a;b", "a;b", true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.matches, MatchesMask(c.name, c.mask)) << c.name << " / " << c.mask;
}

TEST(FileMaskTest, HostileMasksStayPolynomial) {
  // Backtracking over every "*" would try about C(4000, 12) ways here.
  const std::string name(4000, 'a');
  EXPECT_FALSE(MatchesMask(name, "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchesMask(name + "b", "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_FALSE(MatchesMask(name, std::string(2000, '*') + "b"));
}

}  // namespace
}  // namespace qb
