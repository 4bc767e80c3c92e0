// Implementation details: removal gives the same result as asking the reference list's
// IndexOf for every target entry, but compares keys (the entry itself, or its case-folded
// form when case is ignored) through hashes, so a queue of 100,000 entries against a
// ledger of 100,000 lines costs a few linear passes instead of ten billion comparisons.
// One hash table over the whole ledger would be linear in count but not in time: past a
// few megabytes every lookup waits on main memory, and doubling both lists made it 3.6
// times slower. So both lists' keys are first copied, side by side, into partitions by
// the top bits of their hash (sequential writes), and each reference partition is then
// matched against the target partition of the same bits with a table small enough to
// stay in the processor's cache.
#include "driver/list_utils.h"

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "driver/file_mask.h"
#include "platform/files.h"
#include "platform/locale.h"

namespace qb {
namespace {

// About this many reference keys per partition keep its bytes and table within a
// second-level cache.
constexpr std::size_t kKeysPerPartition = 2048;

// The keys of one list, spread over partitions by the top bits of their hash.
class PartitionedKeys {
 public:
  struct Key {
    std::size_t hash;
    std::size_t offset;  // of the key's bytes in its partition
    std::size_t length;
    std::size_t index;   // of the entry in its list
  };
  struct Partition {
    std::string bytes;
    std::vector<Key> keys;
    std::string_view Text(const Key& key) const { return std::string_view(bytes).substr(key.offset, key.length); }
  };

  PartitionedKeys(const TQbStringList& list, bool exact, unsigned bits)
      : bits_(bits), partitions_(std::size_t{1} << bits) {
    const std::vector<std::string>& items = list.Items();
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (exact) {
        Add(items[i], i);
      } else {
        Add(platform::CaseFoldKey(items[i]), i);
      }
    }
  }

  const Partition& operator[](std::size_t at) const { return partitions_[at]; }
  std::size_t size() const { return partitions_.size(); }

 private:
  void Add(std::string_view key, std::size_t index) {
    const std::size_t hash = std::hash<std::string_view>()(key);
    Partition& partition = partitions_[bits_ == 0 ? 0 : hash >> (std::numeric_limits<std::size_t>::digits - bits_)];
    partition.keys.push_back({hash, partition.bytes.size(), key.size(), index});
    partition.bytes.append(key);
  }

  unsigned bits_;
  std::vector<Partition> partitions_;
};

unsigned PartitionBits(std::size_t referenceCount) {
  unsigned bits = 0;
  while (bits < 16 && (referenceCount >> bits) > kKeysPerPartition) ++bits;
  return bits;
}

// Marks every target key of `target` that equals a key of `reference`.
void MarkListed(const PartitionedKeys::Partition& reference, const PartitionedKeys::Partition& target,
                std::vector<std::uint32_t>& table, std::vector<bool>& marked) {
  if (reference.keys.empty() || target.keys.empty()) return;
  std::size_t capacity = 16;
  while (capacity < reference.keys.size() * 2) capacity *= 2;
  const std::size_t mask = capacity - 1;
  table.assign(capacity, 0);  // slot: 1 + index of a reference key, 0 for empty
  for (std::size_t i = 0; i < reference.keys.size(); ++i) {
    std::size_t slot = reference.keys[i].hash & mask;
    while (table[slot] != 0) slot = (slot + 1) & mask;
    table[slot] = static_cast<std::uint32_t>(i + 1);
  }
  for (const PartitionedKeys::Key& key : target.keys) {
    for (std::size_t slot = key.hash & mask; table[slot] != 0; slot = (slot + 1) & mask) {
      const PartitionedKeys::Key& candidate = reference.keys[table[slot] - 1];
      if (candidate.hash == key.hash && reference.Text(candidate) == target.Text(key)) {
        marked[key.index] = true;
        break;
      }
    }
  }
}

}  // namespace

bool ForEachListedEntry(std::string_view path, std::uint32_t attributeFilter,
                        const std::function<void(const std::string& folder, const std::string& name)>& entry) {
  const FolderAndMasks split = SplitFolderAndMasks(path);
  bool complete = false;
  {
    std::vector<platform::FolderEntry> entries;
    // Only the bits that the filter leaves out can exclude an entry.
    complete = platform::EnumerateFolder(split.folder, entries, kAllEntryAttributes & ~attributeFilter);
    for (platform::FolderEntry& found : entries) {
      if (found.name == "." || found.name == "..") continue;
      if ((found.attributes & attributeFilter) != (found.attributes & kAllEntryAttributes)) continue;
      for (const std::string& mask : split.masks) {
        if (!MatchesMask(found.name, mask)) continue;
        entry(split.folder, found.name);
        break;
      }
      std::string().swap(found.name);  // a folder of a million names is not held twice
    }
  }
  return complete;
}

bool ListFolderEntries(std::string_view path, std::uint32_t attributeFilter, TQbStringList& list, bool prefixFolder) {
  return ForEachListedEntry(path, attributeFilter, [&](const std::string& folder, const std::string& name) {
    list.Add(prefixFolder ? folder + name : name);
  });
}

void RemoveListedEntries(TQbStringList& target, const TQbStringList& reference) {
  if (reference.Count() == 0 || target.Count() == 0) return;
  const bool exact = reference.CaseSensitive();
  const unsigned bits = PartitionBits(reference.Items().size());
  const PartitionedKeys referenceKeys(reference, exact, bits);
  const PartitionedKeys targetKeys(target, exact, bits);
  std::vector<bool> marked(target.Items().size(), false);
  std::vector<std::uint32_t> table;
  for (std::size_t at = 0; at < referenceKeys.size(); ++at) {
    MarkListed(referenceKeys[at], targetKeys[at], table, marked);
  }
  target.DeleteMarked(marked);
}

}  // namespace qb
