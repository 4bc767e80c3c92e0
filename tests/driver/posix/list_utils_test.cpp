// Folder listing under the POSIX attribute rules (a FIFO is a "system" entry, a name
// beginning with "." is hidden); tests/platform/win32 covers what Windows reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "driver/list_utils.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using Entries = std::vector<std::string>;

class ForEachListedEntryTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.txt", ".h.dat", "README", "ro.log"}) test::WriteFile(dir_.file(name), name);
    ::chmod(dir_.file("ro.log").c_str(), 0444);
    ASSERT_EQ(0, ::mkdir(dir_.file("sub").c_str(), 0777));
    test::WriteFile(dir_.file("sub/inner.txt"), "not listed: no recursion");
    ASSERT_EQ(0, ::mkfifo(dir_.file("pipe").c_str(), 0666));
  }

  // Lists `masks` in the folder; names without the folder's text.
  Entries List(const std::string& masks, std::uint32_t filter) {
    Entries names;
    const auto add = [&](const std::string&, const std::string& name, std::uint32_t) { names.push_back(name); };
    EXPECT_TRUE(ForEachListedEntry(dir_.path() + "/" + masks, filter, add)) << masks;
    return names;
  }

  // Lists `pattern` (folder and masks) into `paths`, folder text included; whether the
  // listing was complete.
  static bool ListPaths(const std::string& pattern, Entries& paths) {
    return ForEachListedEntry(pattern, kAllEntryAttributes,
                              [&](const std::string& folder, const std::string& name, std::uint32_t) {
                                paths.push_back(folder + name);
                              });
  }

  test::ScopedTempDir dir_;
};

TEST_F(ForEachListedEntryTest, FiltersByMaskAndAttributesInNameOrder) {
  struct Case {
    const char* masks;
    std::uint32_t filter;
    Entries expected;
  };
  // Attributes here: a.txt and README 32 (archive), .h.dat 34 (hidden), ro.log 33
  // (read-only), sub 16 (directory), pipe 4 (neither file nor folder: system).
  const Case cases[] = {
      {"*.*", 63, {".h.dat", "README", "a.txt", "pipe", "ro.log", "sub"}},
      {"*", 63, {".h.dat", "README", "a.txt", "pipe", "ro.log", "sub"}},
      {"*.txt;*.log", 63, {"a.txt", "ro.log"}},
      {"*.txt;*.*;a*", 63, {".h.dat", "README", "a.txt", "pipe", "ro.log", "sub"}},
      {"*.", 63, {"README", "pipe", "sub"}},
      {"A.TXT", 63, {"a.txt"}},
      {"*.txt;", 63, {"a.txt"}},
      {"", 63, {}},
      {"*.*", 16, {"sub"}},
      {"*.*", 32, {"README", "a.txt"}},
      {"*.*", 33, {"README", "a.txt", "ro.log"}},
      {"*.*", 34, {".h.dat", "README", "a.txt"}},
      {"*.*", 4, {"pipe"}},
      {"*.*", 0, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, List(c.masks, c.filter)) << c.masks << " " << c.filter;
}

TEST_F(ForEachListedEntryTest, HandsOutTheFolderAsGiven) {
  Entries paths;
  EXPECT_TRUE(ListPaths(dir_.path() + "/*.txt;*.dat", paths));
  EXPECT_TRUE(ListPaths(dir_.path() + "//sub/*.*", paths));
  EXPECT_EQ((Entries{dir_.path() + "/.h.dat", dir_.path() + "/a.txt", dir_.path() + "//sub/inner.txt"}), paths);
}

TEST_F(ForEachListedEntryTest, MissingFolderGivesFalseAndNoEntry) {
  Entries paths;
  EXPECT_FALSE(ListPaths(dir_.path() + "/none/*.*", paths));
  EXPECT_FALSE(ListPaths(dir_.path() + "/a.txt/*.*", paths));
  EXPECT_TRUE(paths.empty());
}

}  // namespace
}  // namespace qb
