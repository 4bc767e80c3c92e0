// The orphan watchdog: ends the whole process with a fixed exit code the moment the
// parent process ends, wherever the main thread happens to be.
#pragma once

#include <cstdint>

#include "support/ref_counted.h"

namespace qb {

class ISuicideOrphan : public RefCounted {
 public:
  // Starts watching process `processId` from a thread of its own and returns this same
  // watchdog. Id 0, or a process that cannot be opened, means nothing is watched.
  // Raises EThread "Thread creation error: %s" when the thread cannot be started.
  virtual Ref<ISuicideOrphan> WatchParent(std::int32_t processId) = 0;
};

// Releasing the last reference stops the watch thread (within one 500 ms slice).
Ref<ISuicideOrphan> CreateSuicideOrphan(std::int32_t exitCode);

}  // namespace qb
