// File masks of folder listings: splitting a listing path into its folder and its masks,
// and matching an entry's name against one mask.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qb {

struct FolderAndMasks {
  // The folder's text as names are prefixed with it: empty, or up to and including the
  // path's last separator.
  std::string folder;
  // The last part of the path split at ";": an empty mask between two ";" counts, a
  // trailing ";" adds none, and an empty last part gives no mask at all.
  std::vector<std::string> masks;
};

FolderAndMasks SplitFolderAndMasks(std::string_view path);

// Whether `name` matches `mask`. An empty mask, "*" and "*.*" match every name. Otherwise
// both are upper-cased under the user's locale, "*" matches any run of characters, "?"
// exactly one, and the mask must cover the whole name; a name without "." matches also
// when the mask covers it with a "." at its end (so "*." selects names without one).
bool MatchesMask(std::string_view name, std::string_view mask);

}  // namespace qb
