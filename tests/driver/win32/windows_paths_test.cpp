// The driver's file rules with Windows paths: drive letters, "\" folders and the
// attributes Windows reports.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/file_mask.h"
#include "driver/file_utils.h"
#include "driver/list_utils.h"
#include "platform/files.h"
#include "platform/win32/win32.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using Entries = std::vector<std::string>;

TEST(WindowsPathsTest, SplitsFolderAndMasksAtBackslashAndDrive) {
  const struct {
    const char* path;
    const char* folder;
    Entries masks;
  } cases[] = {
      {R"(C:\Data\*.*)", R"(C:\Data\)", {"*.*"}},
      {R"(C:\*.*)", R"(C:\)", {"*.*"}},
      {R"(\*.*)", R"(\)", {"*.*"}},
      {"*.*", "", {"*.*"}},
      {R"(C:\Data\*.txt;*.log)", R"(C:\Data\)", {"*.txt", "*.log"}},
      {"C:*.txt", "C:", {"*.txt"}},
      {R"(\\srv\share\*.*)", R"(\\srv\share\)", {"*.*"}},
      {"C:/Data/*.*", "C:", {"/Data/*.*"}},  // "/" is no delimiter here
  };
  for (const auto& c : cases) {
    const FolderAndMasks split = SplitFolderAndMasks(c.path);
    EXPECT_EQ(c.folder, split.folder) << c.path;
    EXPECT_EQ(c.masks, split.masks) << c.path;
  }
}

TEST(WindowsPathsTest, EnsureDirectoriesTakesDrivesAsExisting) {
  test::ScopedTempDir dir;
  EXPECT_TRUE(EnsureDirectories("C:"));
  EXPECT_TRUE(EnsureDirectories("C:\\"));
  EXPECT_TRUE(EnsureDirectories("\\"));
  EXPECT_TRUE(EnsureDirectories(dir.file("a\\b\\c\\")));
  EXPECT_TRUE(platform::DirectoryExists(dir.file("a\\b\\c")));
}

TEST(WindowsPathsTest, ListsEveryEntryWithItsFolder) {
  test::ScopedTempDir dir;
  test::WriteFile(dir.file("A.txt"), "a");
  test::WriteFile(dir.file("hidden.dat"), "h");
  ASSERT_TRUE(::SetFileAttributesA(dir.file("hidden.dat").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_EQ(platform::CreateDirectory(dir.file("sub")), platform::CreateDirectoryResult::Created);
  const std::string folder = dir.path() + "\\";

  Entries listed;
  const auto add = [&](const std::string& in, const std::string& name, std::uint32_t) { listed.push_back(in + name); };
  ASSERT_TRUE(ForEachListedEntry(folder + "*.*", 63, add));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (Entries{folder + "A.txt", folder + "hidden.dat", folder + "sub"}));

  // The queue's own filter leaves the folder out: it is no file to send.
  listed.clear();
  ForEachListedEntry(folder + "*.*", 63 & ~platform::NonFileAttributes(), add);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (Entries{folder + "A.txt", folder + "hidden.dat"}));
}

}  // namespace
}  // namespace qb
