// The MIME table: the media type of a file from its name's extension. A built-in list of
// pairs is joined with the operating system's association store, the store winning;
// an unknown extension is "application/octet-stream".
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qb {

class TNetMimeTable {
 public:
  // Builds the table: the built-in list, then (when `loadFromSystem`) the pairs of the
  // association store at platform::MimeStorePath().
  explicit TNetMimeTable(bool loadFromSystem = true);
  // Builds the table from the built-in list and the association store at `storePath`.
  explicit TNetMimeTable(const std::string& storePath);

  // The built-in pairs, each "extension=type", in their fixed order (duplicates kept).
  static std::span<const char* const> BuiltInTypes();

  // Adds a pair: the extension is lower-cased and gets a leading "." when it has none,
  // the type is lower-cased. With `strict`, an empty extension or type and an extension
  // already present raise ENetException ("Extension is empty", "Mimetype is empty",
  // "Extension already exits"); without it they are skipped silently.
  void AddMimeType(std::string_view extension, std::string_view mimeType, bool strict = true);

  // The type for a file name or path: its extension is the text from the last "." after
  // the last path separator, compared ignoring case. "application/octet-stream" when the
  // name has no extension or the table does not know it.
  std::string GetFileMIMEType(std::string_view fileName) const;

  bool LoadFromSystem() const { return loadFromSystem_; }
  std::size_t Count() const { return extensions_.size(); }
  const std::string& Extension(std::size_t index) const { return extensions_[index]; }
  const std::string& MimeType(std::size_t index) const { return types_[index]; }

 private:
  void Load(const std::string* storePath);

  bool loadFromSystem_;
  std::vector<std::string> extensions_;
  std::vector<std::string> types_;
  std::unordered_map<std::string, std::size_t> index_;  // case-folded extension -> position
};

// The media type of a file by the process-wide table. The table is built once for each
// association store location and then kept: the store is read once per process, not
// once per file, and what a run sends does not change while it lasts.
std::string GetMIMETypeFromFile(std::string_view fileName);

}  // namespace qb
