// Folder creation and the ledger's file moves.
#pragma once

#include <string>

#include "support/exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(EQbFileUtilsError, Exception);

// Makes sure a directory exists, creating the missing levels outermost first. True when
// it exists afterwards or a name of that path already exists (a plain file counts too).
// Raises EQbFileUtilsError "Unable to create directory" for an empty path.
bool EnsureDirectories(const std::string& path);

// Moves `source` onto `target`, replacing a file there; when the platform refuses the
// move, copies and then deletes the source. Returns whether the target now holds it.
bool MoveReplacing(const std::string& source, const std::string& target);

}  // namespace qb
