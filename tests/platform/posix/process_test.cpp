// The watch on a process, through a pidfd and through the probe that kernels without
// pidfd_open get: a child that ends but is not reaped (a zombie) has ended for both.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "platform/posix/process_probe.h"
#include "platform/process.h"

namespace qb::platform {
namespace {

// A child that pauses under `name`, or ends at once and stays unreaped.
pid_t StartChild(const char* name, bool ends) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (ends) ::_exit(0);
    ::prctl(PR_SET_NAME, name);
    ::pause();
    ::_exit(0);
  }
  if (ends) {
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);  // ended, left a zombie
  }
  return pid;
}

TEST(ProcessWaitTest, AZombieHasEndedALiveProcessHasNot) {
  using Opener = std::function<std::unique_ptr<ProcessWaiter>(std::int32_t)>;
  const struct {
    const char* how;
    Opener open;
  } openers[] = {{"pidfd", OpenProcessForWait}, {"probe", OpenProcessForProbe}};
  const struct {
    const char* name;
    bool ends;
    ProcessWaiter::WaitResult expected;
  } cases[] = {
      {"sleeper", false, ProcessWaiter::WaitResult::TimedOut},
      {"x) Z (y", false, ProcessWaiter::WaitResult::TimedOut},  // a name that looks like a state
      {"zombie", true, ProcessWaiter::WaitResult::Ended},
  };
  for (const auto& opener : openers) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(opener.how) + " " + c.name);
      const pid_t pid = StartChild(c.name, c.ends);
      ASSERT_GT(pid, 0);
      if (!c.ends) ::usleep(50000);  // the name is set
      const auto waiter = opener.open(pid);
      ASSERT_NE(nullptr, waiter);
      EXPECT_EQ(c.expected, waiter->Wait(100));
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      EXPECT_EQ(nullptr, opener.open(pid));  // reaped: the id names no process
    }
  }
}

}  // namespace
}  // namespace qb::platform
