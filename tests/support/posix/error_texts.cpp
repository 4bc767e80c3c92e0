#include "support/error_texts.h"

#include <errno.h>

#include "platform/process.h"

namespace qb::test {

std::string MissingFileText() { return platform::SystemErrorText(ENOENT); }
std::string MissingFolderText() { return platform::SystemErrorText(ENOENT); }
std::string FolderAsFileText() { return platform::SystemErrorText(EISDIR); }
std::string InvalidNameText() { return platform::SystemErrorText(EINVAL); }
std::string InUseText() { return "The file is in use by another process"; }

bool ResetReadsAsEndOfStream() { return false; }

}  // namespace qb::test
