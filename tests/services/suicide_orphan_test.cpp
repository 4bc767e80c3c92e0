#include "services/suicide_orphan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/child_process.h"

namespace qb {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The watch runs in a child process (a death test), since it ends the process it runs in.
TEST(SuicideOrphanDeathTest, EndsTheProcessWithItsExitCodeWhenTheParentEnds) {
  test::SleeperProcess parent;
  EXPECT_EXIT(
      {
        const auto orphan = CreateSuicideOrphan(1);
        orphan->WatchParent(parent.pid());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        parent.End();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        std::exit(0);  // only reached when the watchdog failed
      },
      testing::ExitedWithCode(1), "");
}

TEST(SuicideOrphanTest, IdZeroAndUnknownProcessesAreNotWatched) {
  // An id that names no process: above Linux's highest pid (2^22) and far beyond the ids
  // Windows hands out. Not the id of a child just ended: Windows reuses ids, and under
  // Wine an ended child's id can still be opened for a moment, so that the watch rightly
  // sees its parent gone and ends this process.
  constexpr std::int32_t kNoProcess = 0x7FFFFFF0;
  for (const std::int32_t id : {0, kNoProcess}) {
    auto orphan = CreateSuicideOrphan(1);
    const auto start = Clock::now();
    EXPECT_EQ(orphan.get(), orphan->WatchParent(id).get());
    orphan.reset();
    EXPECT_LT(SecondsSince(start), 0.45);  // a watching thread would take a 500 ms slice to stop
  }
}

TEST(SuicideOrphanTest, ReleasingWhileWatchingReturnsWithinASlice) {
  test::SleeperProcess parent;
  {
    auto orphan = CreateSuicideOrphan(1);
    orphan->WatchParent(parent.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    orphan.reset();
    EXPECT_LT(SecondsSince(start), 0.7);
  }
  parent.End();  // the watch has stopped, so this process goes on
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SUCCEED();
}

}  // namespace
}  // namespace qb
