#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qb::test {

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, double timeoutSeconds) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error("cannot start " + program);
  }
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd entry{pipeFds[0], POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (WIFEXITED(status) && !result.timedOut) result.exitCode = WEXITSTATUS(status);
  result.peakKiB = usage.ru_maxrss;
  return result;
}

std::string QuobrinaPath() { return QUOBRINA_BINARY; }

void StopChild(std::int32_t pid, double graceSeconds) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

SleeperProcess::SleeperProcess() {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::pause();
    ::_exit(0);
  }
  pid_ = pid;
  running_ = true;
}

SleeperProcess::~SleeperProcess() { End(); }

void SleeperProcess::End() {
  if (!running_) return;
  running_ = false;
  ::kill(pid_, SIGKILL);
  // Reaped only by the process that started it (a forked death-test child cannot).
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace qb::test
