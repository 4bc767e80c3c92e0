// Implementation details: FindResource on the program's own module. A name or type of
// the form "#123" is the number 123, as the resource compiler writes them.
#include "platform/resources.h"

#include "platform/win32/win32.h"

namespace qb::platform {

std::optional<std::string> LoadModuleResource(std::string_view type, std::string_view name) {
  const std::string typeText(type);
  const std::string nameText(name);
  if (typeText.empty() || nameText.empty()) return std::nullopt;
  const HRSRC info = ::FindResourceA(nullptr, nameText.c_str(), typeText.c_str());
  if (!info) return std::nullopt;
  const HGLOBAL loaded = ::LoadResource(nullptr, info);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return std::nullopt;
  return std::string(static_cast<const char*>(data), ::SizeofResource(nullptr, info));
}

}  // namespace qb::platform
