// The list helpers the upload queue is built from: listing a folder's entries into a
// string list, and removing from one list the entries that another list holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "driver/string_list.h"

namespace qb {

// Attribute filter that lets every kind of entry through.
constexpr std::uint32_t kAllEntryAttributes = 63;

// Appends to `list` the entries of the folder that `path` names whose name matches one of
// the masks of its last part ("dir/*.txt;*.log"), in the platform's enumeration order,
// "." and ".." left out. An entry is kept only when its attributes masked with
// `attributeFilter` equal its attributes masked with 63. With `prefixFolder` each name is
// appended after the folder's text ("dir/a.txt"), otherwise alone. Returns true when the
// enumeration ran to its end, false when the folder could not be listed (missing,
// unreadable) or reading it failed; entries appended before that stay in the list.
bool ListFolderEntries(std::string_view path, std::uint32_t attributeFilter, TQbStringList& list, bool prefixFolder);

// The entries that ListFolderEntries would append, handed one by one to `entry` with the
// folder's text (as prefixing would put it in front) and the name; same result.
bool ForEachListedEntry(std::string_view path, std::uint32_t attributeFilter,
                        const std::function<void(const std::string& folder, const std::string& name)>& entry);

// Deletes from `target` every entry that `reference` holds an equal entry for (equality
// under the reference list's case mode, as its IndexOf), duplicates included; the rest
// keep their order and `reference` is not changed. Linear in the sizes of both lists.
void RemoveListedEntries(TQbStringList& target, const TQbStringList& reference);

}  // namespace qb
