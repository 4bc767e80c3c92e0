// The program run: switches, watchdog, configuration, queue loop, and the one error
// handler. Returns the process's exit code.
#pragma once

namespace qb {

int RunProgram();

}  // namespace qb
