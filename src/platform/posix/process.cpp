// Implementation details: the parent is watched through a pidfd, which becomes readable
// when the process ends, so a poll with the slice as time-out answers at once. Kernels
// without pidfd_open fall back to probing with kill(pid, 0) once per slice.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qb::platform {
namespace {

std::vector<std::string>& Parameters() {
  static std::vector<std::string> parameters;
  return parameters;
}

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

class KillProbeWaiter final : public ProcessWaiter {
 public:
  explicit KillProbeWaiter(pid_t pid) : pid_(pid) {}

  WaitResult Wait(int milliseconds) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      if (::kill(pid_, 0) != 0 && errno == ESRCH) return WaitResult::Ended;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return WaitResult::TimedOut;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                                std::chrono::milliseconds(500)));
    }
  }

 private:
  pid_t pid_;
};

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
  if (fd >= 0) {
    return std::make_unique<PidfdWaiter>(static_cast<int>(fd));
  }
  if (errno != ENOSYS) return nullptr;  // ESRCH, EPERM: not watched
  if (::kill(static_cast<pid_t>(pid), 0) != 0) return nullptr;
  return std::make_unique<KillProbeWaiter>(static_cast<pid_t>(pid));
}

std::string SystemErrorText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

}  // namespace qb::platform
