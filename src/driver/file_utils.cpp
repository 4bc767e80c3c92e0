#include "driver/file_utils.h"

#include "platform/files.h"

namespace qb {
namespace {

// Everything up to and including the last separator ("" when there is none).
std::string ParentPath(const std::string& path) {
  const std::size_t at = platform::LastPathSeparator(path);
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

}  // namespace

bool EnsureDirectories(const std::string& path) {
  if (path.empty()) throw EQbFileUtilsError("Unable to create directory");
  std::string dir = path;
  if (dir.back() == platform::PathDelimiter()) dir.pop_back();
  // A bare drive ("C:") exists by definition where drives exist.
  if (dir.size() == 2 && dir[1] == ':' && platform::IsPathSeparator(':')) return true;
  const std::string parent = ParentPath(dir);
  if (platform::DirectoryExists(dir) || parent == dir) return true;
  if (!parent.empty() && !EnsureDirectories(parent)) return false;
  return platform::CreateDirectory(dir) != platform::CreateDirectoryResult::Failed;
}

std::optional<std::string> FolderCreationDenied(const std::string& path) {
  if (platform::DirectoryExists(path)) return std::nullopt;
  // The deepest level that exists decides: the name itself when something else has it.
  std::string level = path;
  for (;;) {
    if (level.size() > 1 && level.back() == platform::PathDelimiter()) level.pop_back();
    const std::string probe = level.empty() ? "." : level;  // a relative path's start
    if (platform::GetFileStatus(probe)) return platform::CannotWrite(probe, true);
    const std::string parent = ParentPath(level);
    if (parent == level || level.empty()) return std::nullopt;  // a drive that is not there
    level = parent;
  }
}

}  // namespace qb
