#include "driver/list_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qb {
namespace {

using Entries = std::vector<std::string>;

Ref<TQbStringList> ListOf(const Entries& entries, bool caseSensitive = false) {
  auto list = MakeRef<TQbStringList>();
  list->SetCaseSensitive(caseSensitive);
  for (const auto& entry : entries) list->Add(entry);
  return list;
}

// The removal as the list operations define it: ask the reference's IndexOf for every
// target entry, from the last down.
Entries RemoveBySearch(const Entries& target, const TQbStringList& reference) {
  auto list = ListOf(target);
  for (int i = list->Count() - 1; i >= 0; --i) {
    if (reference.IndexOf(list->Item(i)) != -1) list->Delete(i);
  }
  return list->Items();
}

TEST(RemoveListedEntriesTest, RemovesEqualEntriesAndKeepsTheOrder) {
  struct Case {
    Entries target;
    Entries reference;
    bool caseSensitive;  // of the reference, which decides equality
    Entries expected;
  };
  const Case cases[] = {
      {{"C:\\Out\\A.TXT"}, {"c:\\out\\a.txt"}, false, {}},
      {{"C:\\Out\\A.TXT"}, {"c:\\out\\a.txt"}, true, {"C:\\Out\\A.TXT"}},
      {{"/s/A.txt", "/s/a.txt"}, {"/s/a.txt"}, true, {"/s/A.txt"}},
      {{"/s/A.txt", "/s/a.txt"}, {"/s/a.txt"}, false, {}},
      {{"a", "b", "a", "c", "A"}, {"a"}, false, {"b", "c"}},
      {{"d", "c", "b", "a"}, {"c", "x", "c"}, false, {"d", "b", "a"}},
      {{"/x/\xC3\x84" "b"}, {"/x/\xC3\xA4" "B"}, false, {}},
      {{"/x/\xC3\x84" "b"}, {"/x/\xC3\xA4" "B"}, true, {"/x/\xC3\x84" "b"}},
      {{"a", ""}, {""}, false, {"a"}},
      {{"a", "b"}, {}, false, {"a", "b"}},
      {{}, {"a"}, false, {}},
  };
  for (const Case& c : cases) {
    const auto target = ListOf(c.target, !c.caseSensitive);  // the target's own mode does not count
    const auto reference = ListOf(c.reference, c.caseSensitive);
    RemoveListedEntries(*target, *reference);
    EXPECT_EQ(c.expected, target->Items()) << testing::PrintToString(c.target);
    EXPECT_EQ(c.reference, reference->Items());
  }
}

TEST(RemoveListedEntriesTest, AgreesWithTheSearchOnRandomLists) {
  std::mt19937 random(20240607);
  const std::string alphabet[] = {"a", "A", "b", "\xC3\xA9", "\xC3\x89", "/"};
  const auto word = [&](int longest) {
    std::string text;
    for (int n = static_cast<int>(random() % longest); n >= 0; --n) text += alphabet[random() % std::size(alphabet)];
    return text;
  };
  // Small lists, and references large enough to be split into several partitions.
  const struct {
    int trials, targetSize, referenceSize, longest;
  } shapes[] = {{300, 12, 12, 3}, {4, 400, 9000, 5}};
  for (const auto& shape : shapes) {
    for (int trial = 0; trial < shape.trials; ++trial) {
      Entries target(shape.targetSize - random() % (shape.targetSize / 4 + 1));
      Entries reference(shape.referenceSize - random() % (shape.referenceSize / 4 + 1));
      for (auto& entry : target) entry = word(shape.longest);
      for (auto& entry : reference) entry = word(shape.longest);
      const auto referenceList = ListOf(reference, trial % 2 == 0);
      const auto targetList = ListOf(target);
      RemoveListedEntries(*targetList, *referenceList);
      EXPECT_EQ(RemoveBySearch(target, *referenceList), targetList->Items()) << testing::PrintToString(target);
    }
  }
  const auto same = ListOf({"a", "b"});
  RemoveListedEntries(*same, *same);  // every entry finds itself
  EXPECT_EQ(0, same->Count());
}

class ListFolderEntriesTest : public testing::Test {
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
    const auto list = MakeRef<TQbStringList>();
    EXPECT_TRUE(ListFolderEntries(dir_.path() + "/" + masks, filter, *list, false)) << masks;
    return list->Items();
  }

  test::ScopedTempDir dir_;
};

TEST_F(ListFolderEntriesTest, FiltersByMaskAndAttributesInNameOrder) {
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

TEST_F(ListFolderEntriesTest, PrefixesWithTheFolderAsGiven) {
  const auto list = MakeRef<TQbStringList>();
  EXPECT_TRUE(ListFolderEntries(dir_.path() + "/*.txt;*.dat", kAllEntryAttributes, *list, true));
  EXPECT_TRUE(ListFolderEntries(dir_.path() + "//sub/*.*", kAllEntryAttributes, *list, true));
  EXPECT_EQ((Entries{dir_.path() + "/.h.dat", dir_.path() + "/a.txt", dir_.path() + "//sub/inner.txt"}), list->Items());
}

TEST_F(ListFolderEntriesTest, MissingFolderGivesFalseAndKeepsTheList) {
  const auto list = MakeRef<TQbStringList>();
  list->Add("earlier");
  EXPECT_FALSE(ListFolderEntries(dir_.path() + "/none/*.*", kAllEntryAttributes, *list, true));
  EXPECT_FALSE(ListFolderEntries(dir_.path() + "/a.txt/*.*", kAllEntryAttributes, *list, true));
  EXPECT_EQ((Entries{"earlier"}), list->Items());
}

}  // namespace
}  // namespace qb
