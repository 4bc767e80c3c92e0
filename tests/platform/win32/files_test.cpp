// What Windows does differently: "\" paths with drive letters, share modes that keep
// writers out, the attributes the enumeration reports, the system's error texts.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/process.h"
#include "platform/win32/win32.h"
#include "support/exception.h"
#include "support/temp_dir.h"

namespace qb::platform {
namespace {

TEST(Win32FilesTest, BackslashAndDriveColonSplitPaths) {
  EXPECT_EQ(PathDelimiter(), '\\');
  EXPECT_TRUE(FileNamesIgnoreCase());
  const struct {
    const char* path;
    const char* fileName;
    const char* withDelimiter;
  } cases[] = {
      {R"(C:\Data\a.txt)", "a.txt", R"(C:\Data\a.txt\)"},
      {R"(C:\Data\)", "", R"(C:\Data\)"},
      {"C:a.txt", "a.txt", R"(C:a.txt\)"},
      {"C:", "", R"(C:\)"},
      {R"(\\server\share\b.log)", "b.log", R"(\\server\share\b.log\)"},
      // "/" is an ordinary character of a name here.
      {"dir/a.txt", "dir/a.txt", R"(dir/a.txt\)"},
      {"", "", "\\"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractFileName(c.path), c.fileName) << c.path;
    EXPECT_EQ(IncludeTrailingPathDelimiter(c.path), c.withDelimiter) << c.path;
  }
  EXPECT_EQ(ExpandFileName(R"(C:\a\..\b\.\c.txt)"), R"(C:\b\c.txt)");
  EXPECT_EQ(ExpandFileName("rel.txt"), IncludeTrailingPathDelimiter(ExpandFileName(".")) + "rel.txt");
}

HANDLE OpenForWriting(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(Win32FilesTest, ReadingExcludesWritersAndAWriterExcludesReading) {
  test::ScopedTempDir dir;
  const std::string path = dir.file("ledger.lst");
  test::WriteFile(path, "C:\\Out\\a.txt\r\n");

  // Another process writing the file: the open fails with the full path and the system's text.
  const HANDLE writer = OpenForWriting(path);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  try {
    TFileStream::OpenReadExclusive(path);
    ADD_FAILURE() << "opened a file that another writer holds";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". " + SystemErrorText(ERROR_SHARING_VIOLATION));
  }
  ::CloseHandle(writer);

  // While we read, readers may come and writers may not.
  {
    const auto reading = TFileStream::OpenReadExclusive(path);
    EXPECT_EQ(OpenForWriting(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const auto secondReader = TFileStream::OpenReadExclusive(path);
    char buffer[64];
    EXPECT_EQ(secondReader->Read(buffer, sizeof buffer), 14u);
  }
  // While we write, nobody else may open it at all.
  {
    const auto writing = TFileStream::Create(path);
    EXPECT_THROW(TFileStream::OpenReadExclusive(path), EFOpenError);
  }
  EXPECT_EQ(test::ReadFile(path), "");  // Create truncated it
}

TEST(Win32FilesTest, FoldersAndDevicesAreNoFilesToRead) {
  test::ScopedTempDir dir;
  EXPECT_THROW(TFileStream::OpenReadExclusive(dir.path()), EFOpenError);
  try {
    TFileStream::OpenReadExclusive("NUL");
    ADD_FAILURE() << "opened a device";
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find("Not a regular file"), std::string::npos) << e.Message();
  }
}

TEST(Win32FilesTest, EnumerationReportsTheRealAttributes) {
  test::ScopedTempDir dir;
  test::WriteFile(dir.file("a.txt"), "a");
  test::WriteFile(dir.file("h.dat"), "h");
  test::WriteFile(dir.file("r.txt"), "r");
  ASSERT_EQ(CreateDirectory(dir.file("sub")), CreateDirectoryResult::Created);
  EXPECT_EQ(CreateDirectory(dir.file("sub")), CreateDirectoryResult::AlreadyExists);
  EXPECT_EQ(CreateDirectory(dir.file("a.txt")), CreateDirectoryResult::AlreadyExists);
  EXPECT_EQ(CreateDirectory(dir.file("none\\deeper")), CreateDirectoryResult::Failed);
  ASSERT_TRUE(::SetFileAttributesA(dir.file("h.dat").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(::SetFileAttributesA(dir.file("r.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(EnumerateFolder(dir.path(), entries));
  const auto attributesOf = [&](const std::string& name) -> std::uint32_t {
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const FolderEntry& e) { return e.name == name; });
    return it == entries.end() ? 0xFFFFFFFF : it->attributes & 63;
  };
  EXPECT_EQ(entries.size(), 6u);  // ".", ".." and the four entries
  EXPECT_EQ(attributesOf("."), kAttrDirectory);
  EXPECT_EQ(attributesOf("a.txt"), kAttrArchive);
  EXPECT_EQ(attributesOf("h.dat"), kAttrHidden | kAttrArchive);
  EXPECT_EQ(attributesOf("r.txt"), kAttrReadOnly | kAttrArchive);
  EXPECT_EQ(attributesOf("sub"), kAttrDirectory);
  ::SetFileAttributesA(dir.file("r.txt").c_str(), FILE_ATTRIBUTE_NORMAL);

  // A folder given with its delimiter, and one that does not exist.
  std::vector<FolderEntry> again;
  EXPECT_TRUE(EnumerateFolder(dir.path() + "\\", again));
  EXPECT_EQ(again.size(), 6u);
  std::vector<FolderEntry> none;
  EXPECT_FALSE(EnumerateFolder(dir.file("missing"), none));
  EXPECT_TRUE(none.empty());
}

TEST(Win32FilesTest, RenamesWithoutReplacing) {
  test::ScopedTempDir dir;
  const std::string tmp = dir.file("00000000.TMP");
  const std::string lst = dir.file("00000000.LST");
  test::WriteFile(tmp, "new");
  test::WriteFile(lst, "old");
  EXPECT_FALSE(MoveFileNoReplace(tmp, lst));  // the ledger is there: nothing moves
  EXPECT_EQ(test::ReadFile(lst), "old");
  EXPECT_TRUE(MoveFileNoReplace(lst, dir.file("moved")));
  EXPECT_EQ(test::ReadFile(dir.file("moved")), "old");
  EXPECT_FALSE(GetFileStatus(lst));
}

TEST(Win32FilesTest, SystemErrorTextsEndWithoutLineBreak) {
  for (const int code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
    const std::string text = SystemErrorText(code);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), ' ');
  }
}

}  // namespace
}  // namespace qb::platform
