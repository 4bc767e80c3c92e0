// The splitting of a Windows command line into parameters, kept apart from the process
// code so that its rule can be tested without starting processes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qb::platform::win32 {

// Splits `commandLine` as console programs here always have: characters 1 to 32 separate
// parameters, a double quote starts or ends a group in which they do not, and the quotes
// themselves are removed. A parameter that comes out empty ("") is dropped. There is no
// escape character: a backslash is an ordinary character, as paths need.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

}  // namespace qb::platform::win32
