// Reading a switch such as -configFile=C:\a.xml from the process's parameters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qb {

// The value of switch `name` from the process's parameters, empty when it is not given.
// Never fails.
std::string ReadCommandSwitch(std::string_view name, std::string_view separator, std::string_view prefixes);

// The same rules over a given parameter list; element 0 (the program) is never scanned.
std::string ReadCommandSwitch(const std::vector<std::string>& parameters, std::string_view name,
                              std::string_view separator, std::string_view prefixes);

}  // namespace qb
