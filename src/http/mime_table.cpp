// Implementation details: the table is built in two steps, as a list of "extension=type"
// lines and then a load of those lines. Store pairs replace the line of their extension
// in place (or are appended), so the store wins over the built-in list while the load
// keeps the first line of an extension that the built-in list names twice.
#include "http/mime_table.h"

#include <memory>
#include <mutex>
#include <utility>

#include "net/net_exception.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/mime_store.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr const char* kDefaultMimeType = "application/octet-stream";

std::string ExtensionKey(std::string_view extension) { return platform::CaseFoldKey(extension); }

std::string WithLeadingDot(std::string extension) {
  if (!extension.empty() && extension.front() != '.') extension.insert(extension.begin(), '.');
  return extension;
}

// The source list: ordered (name, value) lines with the first line of each name indexed.
class SourceList {
 public:
  void Append(std::string name, std::string value) {
    index_.emplace(ExtensionKey(name), lines_.size());
    lines_.emplace_back(std::move(name), std::move(value));
  }

  // Replaces the value of the line with that name, or appends a line.
  void Set(std::string name, std::string value) {
    if (const auto it = index_.find(ExtensionKey(name)); it != index_.end()) {
      lines_[it->second].second = std::move(value);
    } else {
      Append(std::move(name), std::move(value));
    }
  }

  const std::vector<std::pair<std::string, std::string>>& Lines() const { return lines_; }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

TNetMimeTable::TNetMimeTable(bool loadFromSystem) : loadFromSystem_(loadFromSystem) {
  if (loadFromSystem) {
    const std::string storePath = platform::MimeStorePath();
    Load(&storePath);
  } else {
    Load(nullptr);
  }
}

TNetMimeTable::TNetMimeTable(const std::string& storePath) : loadFromSystem_(true) { Load(&storePath); }

void TNetMimeTable::Load(const std::string* storePath) {
  SourceList source;
  for (const char* line : BuiltInTypes()) {
    const std::string_view text(line);
    const std::size_t equals = text.find('=');
    source.Append(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  if (storePath) {
    for (const auto& association : platform::ReadMimeAssociations(*storePath)) {
      std::string extension = WithLeadingDot(LowerCaseAscii(association.extension));
      std::string mediaType = LowerCaseAscii(association.mediaType);
      if (!extension.empty() && !mediaType.empty()) source.Set(std::move(extension), std::move(mediaType));
    }
  }
  extensions_.reserve(source.Lines().size());
  types_.reserve(source.Lines().size());
  for (const auto& [extension, mediaType] : source.Lines()) AddMimeType(extension, mediaType, false);
}

void TNetMimeTable::AddMimeType(std::string_view extension, std::string_view mimeType, bool strict) {
  if (extension.empty()) {
    if (strict) throw ENetException("Extension is empty");
    return;
  }
  if (mimeType.empty()) {
    if (strict) throw ENetException("Mimetype is empty");
    return;
  }
  std::string normalized = WithLeadingDot(LowerCaseAscii(extension));
  std::string key = ExtensionKey(normalized);
  if (index_.count(key) != 0) {
    if (strict) throw ENetException("Extension already exits");
    return;
  }
  index_.emplace(std::move(key), extensions_.size());
  extensions_.push_back(std::move(normalized));
  types_.push_back(LowerCaseAscii(mimeType));
}

std::string TNetMimeTable::GetFileMIMEType(std::string_view fileName) const {
  const std::size_t separator = platform::LastPathSeparator(fileName);
  const std::string_view name = separator == std::string_view::npos ? fileName : fileName.substr(separator + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    if (const auto it = index_.find(ExtensionKey(name.substr(dot))); it != index_.end()) return types_[it->second];
  }
  return kDefaultMimeType;
}

std::string GetMIMETypeFromFile(std::string_view fileName) {
  static std::mutex lock;
  static std::shared_ptr<const TNetMimeTable> table;
  static std::string tableStorePath;
  std::shared_ptr<const TNetMimeTable> current;
  {
    const std::string storePath = platform::MimeStorePath();
    std::lock_guard<std::mutex> guard(lock);
    if (!table || tableStorePath != storePath) {
      table = std::make_shared<const TNetMimeTable>(storePath);
      tableStorePath = storePath;
    }
    current = table;
  }
  return current->GetFileMIMEType(fileName);
}

}  // namespace qb
