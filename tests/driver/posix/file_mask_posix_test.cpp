// Folder and mask splitting with POSIX paths: only "/" separates, ":" and "\" are characters of names.
#include "driver/file_mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qb {
namespace {

TEST(FileMaskTest, SplitsFolderAndMasks) {
  struct Case {
    const char* path;
    const char* folder;
    std::vector<std::string> masks;
  };
  const Case cases[] = {
      {"/data/in/*.*", "/data/in/", {"*.*"}},
      {"/*.*", "/", {"*.*"}},
      {"*.*", "", {"*.*"}},
      {"dir/*.txt;*.log", "dir/", {"*.txt", "*.log"}},
      {"dir/a;;b", "dir/", {"a", "", "b"}},
      {"dir/a;", "dir/", {"a"}},
      {"dir/;a", "dir/", {"", "a"}},
      {"dir/", "dir/", {}},
      {"", "", {}},
      {"//srv//x", "//srv//", {"x"}},
      // ":" and "\" are ordinary characters of POSIX names.
      {"c:d/e:*.txt", "c:d/", {"e:*.txt"}},
      {"C:\\Data\\*.*", "", {"C:\\Data\\*.*"}},
  };
  for (const Case& c : cases) {
    const FolderAndMasks split = SplitFolderAndMasks(c.path);
    EXPECT_EQ(c.folder, split.folder) << c.path;
    EXPECT_EQ(c.masks, split.masks) << c.path;
  }
}

}  // namespace
}  // namespace qb
