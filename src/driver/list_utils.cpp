// Implementation details: removal gives the same result as asking the reference list's
// IndexOf for every target entry, but builds one hash set of the reference's keys (the
// entry itself, or its case-folded form when case is ignored) and filters the target in a
// single pass, so a queue of 100,000 entries against a ledger of 100,000 lines costs two
// linear passes instead of ten billion comparisons.
#include "driver/list_utils.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "driver/file_mask.h"
#include "platform/files.h"
#include "platform/locale.h"

namespace qb {

bool ListFolderEntries(std::string_view path, std::uint32_t attributeFilter, TQbStringList& list, bool prefixFolder) {
  const FolderAndMasks split = SplitFolderAndMasks(path);
  std::vector<platform::FolderEntry> entries;
  const bool complete = platform::EnumerateFolder(split.folder, entries);
  for (const platform::FolderEntry& entry : entries) {
    if (entry.name == "." || entry.name == "..") continue;
    if ((entry.attributes & attributeFilter) != (entry.attributes & kAllEntryAttributes)) continue;
    for (const std::string& mask : split.masks) {
      if (!MatchesMask(entry.name, mask)) continue;
      list.Add(prefixFolder ? split.folder + entry.name : entry.name);
      break;
    }
  }
  return complete;
}

void RemoveListedEntries(TQbStringList& target, const TQbStringList& reference) {
  if (reference.Count() == 0 || target.Count() == 0) return;
  if (&target == &reference) {  // every entry finds itself
    target.Clear();
    return;
  }
  const bool exact = reference.CaseSensitive();
  std::vector<std::string> folded;  // the keys when case is ignored
  if (!exact) {
    folded.reserve(reference.Items().size());
    for (const std::string& entry : reference.Items()) folded.push_back(platform::CaseFoldKey(entry));
  }
  const std::vector<std::string>& keySource = exact ? reference.Items() : folded;
  std::unordered_set<std::string_view> keys;
  keys.reserve(keySource.size());
  for (const std::string& key : keySource) keys.insert(key);
  target.RemoveIf([&](const std::string& entry) {
    return exact ? keys.contains(entry) : keys.contains(platform::CaseFoldKey(entry));
  });
}

}  // namespace qb
