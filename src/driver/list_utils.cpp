#include "driver/list_utils.h"

#include <vector>

#include "driver/file_mask.h"

namespace qb {

bool ForEachListedEntry(std::string_view path, std::uint32_t attributeFilter, const ListedEntry& entry,
                        const std::vector<platform::FileStatus>& excluded) {
  const FolderAndMasks split = SplitFolderAndMasks(path);
  std::vector<platform::FolderEntry> entries;
  // Only the bits that the filter leaves out can exclude an entry.
  const bool complete =
      platform::EnumerateFolder(split.folder, entries, kAllEntryAttributes & ~attributeFilter, excluded);
  for (platform::FolderEntry& found : entries) {
    if (found.name == "." || found.name == "..") continue;
    if ((found.attributes & attributeFilter) != (found.attributes & kAllEntryAttributes)) continue;
    for (const std::string& mask : split.masks) {
      if (!MatchesMask(found.name, mask)) continue;
      entry(split.folder, found.name, found.attributes);
      break;
    }
    std::string().swap(found.name);  // a folder of a million names is not held twice
  }
  return complete;
}

}  // namespace qb
