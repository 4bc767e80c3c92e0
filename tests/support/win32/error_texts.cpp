#include "support/error_texts.h"

#include <windows.h>

#include "platform/process.h"

namespace qb::test {

std::string MissingFileText() { return platform::SystemErrorText(ERROR_FILE_NOT_FOUND); }
std::string MissingFolderText() { return platform::SystemErrorText(ERROR_PATH_NOT_FOUND); }
std::string FolderAsFileText() { return platform::SystemErrorText(ERROR_ACCESS_DENIED); }
std::string InvalidNameText() { return platform::SystemErrorText(ERROR_INVALID_NAME); }
std::string InUseText() { return platform::SystemErrorText(ERROR_SHARING_VIOLATION); }

bool ResetReadsAsEndOfStream() {
  // Wine's ntdll names its version; Windows' has no such export.
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace qb::test
