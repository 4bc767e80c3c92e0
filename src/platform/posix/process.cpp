// Implementation details: the parent is watched through a pidfd, which becomes readable
// when the process ends, so a poll with the slice as time-out answers at once. Kernels
// without pidfd_open fall back to probing with kill(pid, 0) once per slice, and to the
// state in /proc for a zombie, which kill(pid, 0) takes for a live process. Our own
// parent that ended before the watch began is found by the ids the process still holds.
#include "platform/process.h"
#include "platform/posix/process_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qb::platform {
namespace {

std::vector<std::string>& Parameters() {
  static std::vector<std::string> parameters;
  return parameters;
}

// The parent as it was when the process started, taken before main: once the parent has
// ended, the process belongs to another and the first parent's id is found nowhere else.
const pid_t startParent = ::getppid();

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

class PidfdWaiter final : public ProcessWaiter {
 public:
  explicit PidfdWaiter(int fd) : fd_(fd) {}
  ~PidfdWaiter() override { ::close(fd_); }

  WaitResult Wait(int milliseconds) override {
    pollfd entry{fd_, POLLIN, 0};
    const int n = ::poll(&entry, 1, milliseconds);
    if (n > 0) return (entry.revents & (POLLIN | POLLHUP)) ? WaitResult::Ended : WaitResult::Failed;
    if (n == 0) return WaitResult::TimedOut;
    return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
  }

 private:
  int fd_;
};

// Our own parent that ended before the watch began.
class EndedWaiter final : public ProcessWaiter {
 public:
  WaitResult Wait(int) override { return WaitResult::Ended; }
};

// A zombie still answers kill(pid, 0): its state in /proc tells it from a live process.
// Without /proc the probe sees only an id that no process has.
bool IsZombie(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // "pid (name) S ...": the name may hold blanks and parentheses, the state follows the last ')'.
  const char* end = std::strrchr(text, ')');
  return end && end[1] == ' ' && (end[2] == 'Z' || end[2] == 'X');
}

class KillProbeWaiter final : public ProcessWaiter {
 public:
  explicit KillProbeWaiter(pid_t pid) : pid_(pid) {}

  WaitResult Wait(int milliseconds) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      if ((::kill(pid_, 0) != 0 && errno == ESRCH) || IsZombie(pid_)) return WaitResult::Ended;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return WaitResult::TimedOut;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(500)));
    }
  }

 private:
  pid_t pid_;
};

// Whether `pid` names a process of our own that has ended: the parent we started with,
// now that another process holds us, or the leader of our process group or session,
// whose id the group keeps from reuse while we are in it, now that no process has it.
// A parent that ends before the process starts and leads neither keeps no trace here.
bool OwnParentEnded(pid_t pid) {
  if (pid == startParent && ::getppid() != pid) return true;
  if (pid != ::getpgrp() && pid != ::getsid(0)) return false;
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

void InitializeProcess(int argc, char** argv) {
  // A parent may start the program with standard input, output or error closed. The
  // next file or socket opened would then take that number, and a log line written to
  // standard output would land in the ledger or in the request being sent: each closed
  // one is held by /dev/null instead, so the lines are dropped as for any closed output.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  auto& parameters = Parameters();
  parameters.assign(argv, argv + argc);
}

const std::vector<std::string>& CommandLineParameters() { return Parameters(); }

std::string RawCommandLine() {
  std::string line;
  for (const std::string& parameter : Parameters()) {
    if (!line.empty()) line += ' ';
    line += parameter;
  }
  return line;
}

void ExitProcessNow(int code) { ::_exit(code); }

std::unique_ptr<ProcessWaiter> OpenProcessForWait(std::int32_t pid) {
  if (pid <= 0) return nullptr;
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  const int openError = errno;
  // Looked at after the open: a parent that ends in between, and whose id another
  // process then takes, is found here instead of being watched in that one's place.
  if (OwnParentEnded(static_cast<pid_t>(pid))) {
    if (fd >= 0) ::close(static_cast<int>(fd));
    return std::make_unique<EndedWaiter>();
  }
  if (fd >= 0) return std::make_unique<PidfdWaiter>(static_cast<int>(fd));
  if (openError != ENOSYS) return nullptr;  // ESRCH, EPERM: not watched
  return OpenProcessForProbe(pid);
}

std::unique_ptr<ProcessWaiter> OpenProcessForProbe(std::int32_t pid) {
  if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return nullptr;
  return std::make_unique<KillProbeWaiter>(static_cast<pid_t>(pid));
}

bool SlashQuestionAsksForHelp() { return false; }

std::string SystemErrorText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

}  // namespace qb::platform
