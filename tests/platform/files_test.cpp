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

// The first, empty ledger: made aside and renamed into place, never over a file that is
// there, never while another run holds the temporary file. What is no regular file in the
// temporary file's place can be removed first, but never a file nor a folder's content.
TEST(FilesTest, AnEmptyFileAppearsWholeAndReplacesNothing) {
  enum class Temp { None, LeftWithText, HeldByAnother, Folder, FolderWithFile };
  struct Case {
    const char* what;
    Temp temp;
    const char* target;   // the file at the target before, or null
    const char* after;    // the target after, or null where it is still missing
    const char* refused;  // the error's class, or null
    bool removeFirst = false;
    bool removed = false;  // what RemoveUnlessRegularFile answers then
  };
  const Case cases[] = {
      {"nothing there", Temp::None, nullptr, "", nullptr},
      {"a temporary file left with text", Temp::LeftWithText, nullptr, "", nullptr},
      {"the target made first by another", Temp::None, "kept\r\n", "kept\r\n", nullptr},
      {"another run making it", Temp::HeldByAnother, nullptr, nullptr, "EFOpenError"},
      {"a folder in the temporary file's place", Temp::Folder, nullptr, nullptr, "EFCreateError"},
      {"a folder there, removed first", Temp::Folder, nullptr, "", nullptr, true, true},
      {"a folder holding a file there, not removed", Temp::FolderWithFile, nullptr, nullptr, "EFCreateError", true},
      {"a file left there, not removed", Temp::LeftWithText, nullptr, "", nullptr, true},
      {"another run's file there, not removed", Temp::HeldByAnother, nullptr, nullptr, "EFOpenError", true},
      {"nothing there to remove", Temp::None, nullptr, "", nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScopedTempDir dir;
    const std::string temp = dir.file("00000000.TMP");
    const std::string target = dir.file("00000000.LST");
    if (c.target) test::WriteFile(target, c.target);
    if (c.temp == Temp::LeftWithText) test::WriteFile(temp, "old copy\r\n");
    if (c.temp == Temp::Folder || c.temp == Temp::FolderWithFile) {
      ASSERT_EQ(CreateDirectoryResult::Created, CreateDirectory(temp));
    }
    if (c.temp == Temp::FolderWithFile) test::WriteFile(temp + test::PlatformPath("/inside.txt"), "kept");
    std::unique_ptr<TFileStream> holder;
    if (c.temp == Temp::HeldByAnother) holder = TFileStream::Create(temp);
    if (c.removeFirst) {
      EXPECT_EQ(c.removed, RemoveUnlessRegularFile(temp));
    }
    try {
      CreateEmptyFileVia(temp, target);
      EXPECT_EQ(nullptr, c.refused);
    } catch (const Exception& error) {
      ASSERT_NE(nullptr, c.refused) << error.Message();
      EXPECT_EQ(std::string(c.refused), error.ClassName());
      if (c.temp == Temp::HeldByAnother) {
        EXPECT_EQ("Cannot open file \"" + target + "\". " + test::InUseText(), error.Message());
      } else {
        EXPECT_EQ(0u, error.Message().find("Cannot create file \"" + temp + "\". ")) << error.Message();
      }
    }
    holder.reset();
    if (c.temp == Temp::FolderWithFile) {
      EXPECT_EQ("kept", test::ReadFile(temp + test::PlatformPath("/inside.txt")));
    }
    if (c.after) {
      EXPECT_EQ(c.after, test::ReadFile(target));
    } else {
      EXPECT_FALSE(GetFileStatus(target));
    }
  }
}

}  // namespace
}  // namespace qb::platform
