// Implementation details: the registry holds the associations in two places under one
// root: every key ".ext" with a string value "Content Type", and the keys
// "MIME\Database\Content Type\<media type>" with a string value "Extension". Both are
// read in that order, so the media-type keys win. A root other than HKEY_CLASSES_ROOT
// (a key of a test under HKEY_CURRENT_USER) has the same layout.
#include "platform/mime_store.h"

#include <optional>
#include <string_view>

#include "platform/win32/win32.h"
#include "support/strings.h"

namespace qb::platform {
namespace {

class RegistryKey {
 public:
  RegistryKey(HKEY parent, const std::string& name) {
    if (::RegOpenKeyExA(parent, name.empty() ? nullptr : name.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_) ::RegCloseKey(key_);
  }

  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

  // The names of the subkeys, in the registry's order.
  std::vector<std::string> SubkeyNames() const {
    std::vector<std::string> names;
    char name[256];  // the longest key name the registry allows is 255 characters
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof name;
      const LONG status = ::RegEnumKeyExA(key_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status == ERROR_SUCCESS) names.emplace_back(name, length);
      else if (status != ERROR_MORE_DATA) break;
    }
    return names;
  }

  // A string value; empty when it is missing or not a string.
  std::string StringValue(const char* valueName) const {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExA(key_, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return {};
    std::string value(size, '\0');
    if (::RegQueryValueExA(key_, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
        ERROR_SUCCESS) {
      return {};
    }
    value.resize(std::min<std::size_t>(size, value.size()));
    if (const std::size_t end = value.find('\0'); end != std::string::npos) value.resize(end);
    return value;
  }

 private:
  HKEY key_ = nullptr;
};

struct RegistryLocation {
  HKEY root;
  std::string subkey;
};

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER\Software\x" ...; nothing for other paths.
std::optional<RegistryLocation> ParseRegistryPath(std::string_view path) {
  static const struct {
    const char* name;
    HKEY key;
  } kRoots[] = {{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}};
  for (const auto& root : kRoots) {
    const std::string_view name(root.name);
    if (!StartsTextAscii(name, path)) continue;
    const std::string_view rest = path.substr(name.size());
    if (rest.empty()) return RegistryLocation{root.key, {}};
    if (rest[0] == '\\') return RegistryLocation{root.key, std::string(rest.substr(1))};
  }
  return std::nullopt;
}

std::string WithoutLeadingDot(std::string extension) {
  if (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
  return extension;
}

}  // namespace

std::string DefaultMimeStorePath() { return "HKEY_CLASSES_ROOT"; }

std::vector<MimeAssociation> ReadMimeAssociations(const std::string& path) {
  const auto location = ParseRegistryPath(path);
  if (!location) return ReadMimeTypesFile(path);
  std::vector<MimeAssociation> out;
  const RegistryKey root(location->root, location->subkey);
  if (!root) return out;
  for (const std::string& name : root.SubkeyNames()) {
    if (name.size() < 2 || name[0] != '.') continue;
    const RegistryKey key(root.get(), name);
    if (!key) continue;
    std::string mediaType(Trim(key.StringValue("Content Type")));
    if (!mediaType.empty()) out.push_back(MimeAssociation{name.substr(1), std::move(mediaType)});
  }
  const RegistryKey database(root.get(), "MIME\\Database\\Content Type");
  if (!database) return out;
  for (const std::string& mediaType : database.SubkeyNames()) {
    const RegistryKey key(database.get(), mediaType);
    if (!key) continue;
    std::string extension = WithoutLeadingDot(std::string(Trim(key.StringValue("Extension"))));
    if (!extension.empty()) out.push_back(MimeAssociation{std::move(extension), std::string(Trim(mediaType))});
  }
  return out;
}

}  // namespace qb::platform
