// The watch that kernels without pidfd_open get, open to the tests of this platform.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/process.h"

namespace qb::platform {

// Watches `pid` by probing it once per slice: it has ended when no process has the id
// any more, or when the process is a zombie (ended, not yet reaped by its parent).
// Nothing when no process has the id now.
std::unique_ptr<ProcessWaiter> OpenProcessForProbe(std::int32_t pid);

}  // namespace qb::platform
