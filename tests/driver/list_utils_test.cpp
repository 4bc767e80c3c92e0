#include "driver/list_utils.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qb
