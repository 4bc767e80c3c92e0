// Folder creation: the ledger's folder with every missing parent.
#pragma once

#include <string>

#include "support/exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(EQbFileUtilsError, Exception);

// Makes sure a directory exists, creating the missing levels outermost first. True when
// it exists afterwards or a name of that path already exists (a plain file counts too).
// Raises EQbFileUtilsError "Unable to create directory" for an empty path.
bool EnsureDirectories(const std::string& path);

}  // namespace qb
