#include "driver/string_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "support/error_texts.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using Entries = std::vector<std::string>;

Entries Load(const std::string& bytes) {
  const auto list = MakeRef<TQbStringList>();
  TMemoryStream stream(bytes);
  list->LoadFromStream(stream);
  return list->Items();
}

std::string Save(const Entries& entries) {
  const auto list = MakeRef<TQbStringList>();
  for (const auto& entry : entries) list->Add(entry);
  TMemoryStream stream;
  list->SaveToStream(stream);
  return stream.DataString();
}

std::string Bytes(const char* text, std::size_t size) { return std::string(text, size); }

TEST(StringListTest, LoadsEveryKindOfLineBreak) {
  struct Case {
    std::string bytes;
    Entries entries;
  };
  const Case cases[] = {
      {"", {}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"\r\n", {""}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\rb\nc\r\n", {"a", "b", "c"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\r\n\r", {"a", ""}},
      {"\n\n", {"", ""}},
      {Bytes("a\0b\r\nc", 6), {"a"}},
      {Bytes("a\r\n\0b\r\n", 7), {"a"}},
      {Bytes("\0abc", 4), {}},
      {Bytes("x\r\0\ny", 5), {"x"}},
      {" a \t\r\n\t", {" a \t", "\t"}},
      {"\xC3\xA9t\xC3\xA9\xFF\r\n", {"\xC3\xA9t\xC3\xA9\xFF"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.entries, Load(c.bytes)) << testing::PrintToString(c.bytes);
}

TEST(StringListTest, LineBreaksAcrossReadBlocks) {
  // The loader reads 64 KiB at a time: a CR LF pair split between two reads ends one
  // entry, and a CR at the end of a read followed by other text ends one too.
  const std::string block(65535, 'x');
  EXPECT_EQ((Entries{block, "y"}), Load(block + "\r\ny"));
  EXPECT_EQ((Entries{block, "y"}), Load(block + "\ry"));
  EXPECT_EQ((Entries{block, "", "y"}), Load(block + "\r\r\ny"));
  EXPECT_EQ((Entries{block + "x", "", "y"}), Load(block + "x\n\ry"));
  const Entries big = Load(std::string(200000, 'z') + "\r\nend");
  ASSERT_EQ(2u, big.size());
  EXPECT_EQ(200000u, big[0].size());
}

TEST(StringListTest, SavesEveryEntryFollowedByCrLf) {
  const std::pair<Entries, std::string> cases[] = {
      {{}, ""},
      {{"a", "b"}, "a\r\nb\r\n"},
      {{""}, "\r\n"},
      {{"", ""}, "\r\n\r\n"},
      {{" x ", "\xC3\xA9"}, " x \r\n\xC3\xA9\r\n"},
  };
  for (const auto& [entries, bytes] : cases) {
    EXPECT_EQ(bytes, Save(entries));
    EXPECT_EQ(entries, Load(bytes));
  }
}

TEST(StringListTest, RefusesToSaveEntriesThatWouldReadBackAsOthers) {
  test::ScopedTempDir dir;
  const std::string path = dir.file("00000000.LST");
  test::WriteFile(path, "kept\r\n");
  for (const std::string& bad : {std::string("/src/a\nb"), std::string("/src/a\rb"), Bytes("/src/a\0b", 8)}) {
    const auto list = MakeRef<TQbStringList>();
    list->Add("/src/ok");
    list->Add(bad);
    try {
      list->SaveToFile(path);
      ADD_FAILURE() << "saved " << testing::PrintToString(bad);
    } catch (const EStringListError& error) {
      EXPECT_EQ("List entry 1 (\"/src/a?b\") holds a line break or a 0 byte, which a line of a text file cannot keep",
                error.Message());
    }
    EXPECT_EQ("kept\r\n", test::ReadFile(path));  // the existing file is not truncated
  }
}

TEST(StringListTest, FileRoundTripTruncatesAndReplaces) {
  test::ScopedTempDir dir;
  const std::string path = dir.file("00000000.TMP");
  test::WriteFile(path, std::string(1000, 'o'));
  const Ref<IQbStringList> list = CreateQbStringList();
  list->Add("/src/a.txt");
  list->Add("/src/b.txt");
  EXPECT_EQ(list.get(), list->SaveToFile(path).get());
  EXPECT_EQ("/src/a.txt\r\n/src/b.txt\r\n", test::ReadFile(path));

  const Ref<IQbStringList> loaded = CreateQbStringList();
  loaded->Add("replaced");
  EXPECT_EQ(loaded.get(), loaded->LoadFromFile(path).get());
  EXPECT_EQ((Entries{"/src/a.txt", "/src/b.txt"}), loaded->List().Items());

  CreateQbStringList()->SaveToFile(path);
  EXPECT_EQ("", test::ReadFile(path));
}

TEST(StringListTest, FileErrorsNameTheFullPathAndKeepTheList) {
  test::ScopedTempDir dir;
  const std::string missing = dir.file(std::string("none") + platform::PathDelimiter() + "00000000.LST");
  const auto list = MakeRef<TQbStringList>();
  list->Add("before");

  try {
    list->LoadFromFile(missing);
    ADD_FAILURE() << "loaded a missing file";
  } catch (const EFOpenError& error) {
    EXPECT_EQ("Cannot open file \"" + missing + "\". " + test::MissingFolderText(), error.Message());
  }
  try {
    list->LoadFromFile(dir.path());
    ADD_FAILURE() << "loaded a folder";
  } catch (const EFOpenError& error) {
    EXPECT_EQ("Cannot open file \"" + dir.path() + "\". " + test::FolderAsFileText(), error.Message());
  }
  try {
    list->SaveToFile(missing);
    ADD_FAILURE() << "saved into a missing folder";
  } catch (const EFCreateError& error) {
    EXPECT_EQ("Cannot create file \"" + missing + "\". " + test::MissingFolderText(), error.Message());
  }
  EXPECT_EQ((Entries{"before"}), list->Items());
}

TEST(StringListTest, LoadIsRefusedWhileAWriterHoldsTheFile) {
  test::ScopedTempDir dir;
  const std::string path = dir.file("00000000.LST");
  test::WriteFile(path, "a\r\n");
  const auto writer = platform::TFileStream::Create(path);
  const auto list = MakeRef<TQbStringList>();
  EXPECT_THROW(list->LoadFromFile(path), EFOpenError);
}

TEST(StringListTest, SearchAndDeleteFollowTheCaseMode) {
  const auto list = MakeRef<TQbStringList>();
  for (const char* entry : {"C:\\Out\\A.TXT", "/src/\xC3\x84pfel", "b", "B"}) list->Add(entry);

  EXPECT_EQ(0, list->IndexOf("c:\\out\\a.txt"));
  EXPECT_EQ(1, list->IndexOf("/SRC/\xC3\xA4PFEL"));  // non-ASCII letters fold too
  EXPECT_EQ(2, list->IndexOf("B"));                  // the first equal entry
  EXPECT_EQ(-1, list->IndexOf("C:\\Out\\A.TXT "));

  list->SetCaseSensitive(true);
  EXPECT_EQ(-1, list->IndexOf("c:\\out\\a.txt"));
  EXPECT_EQ(-1, list->IndexOf("/src/\xC3\xA4pfel"));
  EXPECT_EQ(3, list->IndexOf("B"));

  list->Delete(0);
  EXPECT_EQ((Entries{"/src/\xC3\x84pfel", "b", "B"}), list->Items());
  EXPECT_EQ(3, list->Add("c"));
  for (int bad : {-1, 4}) {
    try {
      list->Item(bad);
      ADD_FAILURE() << bad;
    } catch (const EStringListError& error) {
      EXPECT_EQ("List index out of bounds (" + std::to_string(bad) + ")", error.Message());
    }
    EXPECT_THROW(list->Delete(bad), EStringListError);
  }
}

}  // namespace
}  // namespace qb
