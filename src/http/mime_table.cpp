// Implementation details: the built-in pairs are added first, each extension's first pair
// kept; a store pair then replaces the type of its extension in place (or is appended), so
// the store wins over the built-in list, and a later store line over an earlier one.
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
  for (const char* line : BuiltInTypes()) {
    const std::string_view text(line);
    const std::size_t equals = text.find('=');
    AddMimeType(text.substr(0, equals), text.substr(equals + 1), false);
  }
  if (!storePath) return;
  for (const auto& association : platform::ReadMimeAssociations(*storePath)) {
    const std::string extension = WithLeadingDot(LowerCaseAscii(association.extension));
    if (extension.empty() || association.mediaType.empty()) continue;
    if (const auto it = index_.find(ExtensionKey(extension)); it != index_.end()) {
      types_[it->second] = LowerCaseAscii(association.mediaType);
    } else {
      AddMimeType(extension, association.mediaType, false);
    }
  }
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
