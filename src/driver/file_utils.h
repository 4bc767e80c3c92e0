// Folder creation: the ledger's folder with every missing parent.
#pragma once

#include <optional>
#include <string>

#include "support/exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(EQbFileUtilsError, Exception);

// Makes sure a directory exists, creating the missing levels outermost first. True when
// it exists afterwards or a name of that path already exists (a plain file counts too).
// Raises EQbFileUtilsError "Unable to create directory" for an empty path.
bool EnsureDirectories(const std::string& path);

// Why the folder `path` cannot be made with EnsureDirectories: the system's text for the
// deepest level that exists, which is no folder or may not be written to. Nothing when
// the folder exists or can be made. Makes nothing.
std::optional<std::string> FolderCreationDenied(const std::string& path);

}  // namespace qb
