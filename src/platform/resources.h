// Resources of the program's own module (data linked into the executable).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb::platform {

// The bytes of the resource of that type and name, or nothing when the module has none.
std::optional<std::string> LoadModuleResource(std::string_view type, std::string_view name);

}  // namespace qb::platform
