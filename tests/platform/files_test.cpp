#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/error_texts.h"
#include "support/exception.h"
#include "support/temp_dir.h"

namespace qb::platform {
namespace {

TEST(FilesTest, PathsWithAZeroByteNameNoOtherFile) {
  // Cut at the 0 byte, each of these paths would name the existing file or folder.
  test::ScopedTempDir dir;
  const std::string file = dir.file("00000000.LST");
  test::WriteFile(file, "kept\r\n");
  const std::string fileThenZero = file + std::string("\0.bak", 5);
  const std::string folderThenZero = dir.path() + std::string("\0/x", 3);

  std::vector<FolderEntry> entries;
  EXPECT_FALSE(EnumerateFolder(folderThenZero, entries));
  EXPECT_TRUE(entries.empty());
  try {
    TFileStream::OpenReadExclusive(fileThenZero);
    ADD_FAILURE() << "opened";
  } catch (const EFOpenError& error) {
    EXPECT_NE(std::string::npos, error.Message().find(test::InvalidNameText())) << error.Message();
  }
  EXPECT_THROW(TFileStream::Create(fileThenZero), EFCreateError);
  EXPECT_EQ("kept\r\n", test::ReadFile(file));
}

}  // namespace
}  // namespace qb::platform
