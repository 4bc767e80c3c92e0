#include "services/suicide_orphan.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qb {
namespace {

using Clock = std::chrono::steady_clock;

// A child process that only waits to be killed: the "parent" being watched.
pid_t StartSleeper() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::pause();
    ::_exit(0);
  }
  return pid;
}

void EndChild(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(SuicideOrphanTest, EndsTheProcessWithItsExitCodeWhenTheParentEnds) {
  const pid_t parent = StartSleeper();
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    const auto orphan = CreateSuicideOrphan(1);
    orphan->WatchParent(parent);
    ::sleep(20);
    ::_exit(0);  // only reached when the watchdog failed
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto killed = Clock::now();
  EndChild(parent);
  int status = 0;
  ASSERT_EQ(watcher, ::waitpid(watcher, &status, 0));
  EXPECT_LT(SecondsSince(killed), 1.5);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
}

TEST(SuicideOrphanTest, IdZeroAndUnknownProcessesAreNotWatched) {
  const pid_t gone = StartSleeper();
  EndChild(gone);  // reaped: the id names no process now
  for (const std::int32_t id : {0, static_cast<std::int32_t>(gone)}) {
    auto orphan = CreateSuicideOrphan(1);
    const auto start = Clock::now();
    EXPECT_EQ(orphan.get(), orphan->WatchParent(id).get());
    orphan.reset();
    EXPECT_LT(SecondsSince(start), 0.1);
  }
}

TEST(SuicideOrphanTest, ReleasingWhileWatchingReturnsWithinASlice) {
  const pid_t parent = StartSleeper();
  {
    auto orphan = CreateSuicideOrphan(1);
    orphan->WatchParent(parent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    orphan.reset();
    EXPECT_LT(SecondsSince(start), 0.7);
  }
  EndChild(parent);  // the watch has stopped, so this process goes on
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SUCCEED();
}

}  // namespace
}  // namespace qb
