// The file operations that every platform builds from its own primitives.
#include "platform/files.h"

namespace qb::platform {

std::string ExtractFileName(std::string_view path) {
  const std::size_t at = LastPathSeparator(path);
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

bool DirectoryExists(const std::string& path) {
  const auto status = GetFileStatus(path);
  return status && status->isDirectory;
}

}  // namespace qb::platform
