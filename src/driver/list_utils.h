// Listing a folder's entries, as the upload queue is built from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace qb {

// Attribute filter that lets every kind of entry through.
constexpr std::uint32_t kAllEntryAttributes = 63;

using ListedEntry = std::function<void(const std::string& folder, const std::string& name, std::uint32_t attributes)>;

// Hands to `entry`, one by one, the entries of the folder that `path` names whose name
// matches one of the masks of its last part ("dir/*.txt;*.log"), in the platform's
// enumeration order, "." and ".." left out, with the folder's text ("dir/"), the name and
// the attributes (platform::kAttr...).
// An entry is kept only when its attributes masked with `attributeFilter` equal its
// attributes masked with 63, and when it is none of the `excluded` files, whatever name or
// link lists it. Returns true when the enumeration ran to its end, false when the folder
// could not be listed (missing, unreadable) or reading it failed part way; the entries
// handed out before that stay handed out.
bool ForEachListedEntry(std::string_view path, std::uint32_t attributeFilter, const ListedEntry& entry,
                        const std::vector<platform::FileStatus>& excluded = {});

}  // namespace qb
