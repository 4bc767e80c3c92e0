// Standard output and error. Each call is one write, so a line reaches a reading parent
// whole and at once; write errors (closed handle, broken pipe, full disk) are ignored.
#pragma once

#include <string_view>

namespace qb::platform {

void WriteStandardOutput(std::string_view bytes);
void WriteStandardError(std::string_view bytes);

}  // namespace qb::platform
