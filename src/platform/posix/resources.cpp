// Implementation details: executables here carry no resource section, so every resource
// is missing.
#include "platform/resources.h"

namespace qb::platform {

std::optional<std::string> LoadModuleResource(std::string_view, std::string_view) { return std::nullopt; }

}  // namespace qb::platform
