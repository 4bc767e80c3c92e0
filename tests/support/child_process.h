// Running the real binary (or any program) from a test: its standard output is captured,
// and a time limit ends a run that hangs. A sleeper process stands in for the parent
// program that the watchdog watches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb::test {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program was ended by a signal or the time limit
  std::string output;
  bool timedOut = false;
  long peakKiB = -1;  // the program's peak resident memory, where the platform reports it
};

// Runs `program` with `arguments` (element 0 is the program name it sees) and waits at
// most `timeoutSeconds`. On Windows the arguments are joined into one command line, each
// in double quotes when it holds blanks.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         double timeoutSeconds = 60);

// The path of the quobrina binary of this build, as the program sees it (on Windows in
// the system's form, "Z:\..." under Wine).
std::string QuobrinaPath();
// The quobrina binary of this build, run with the given switches.
ProgramResult RunQuobrina(const std::vector<std::string>& switches, double timeoutSeconds = 60);

// POSIX: asks the child `pid` to end (SIGTERM), gives it `graceSeconds`, then kills it,
// and reaps it. For the servers a test starts.
void StopChild(std::int32_t pid, double graceSeconds);

// Removes the "[HH:NN:SS]" stamp from every line, so output can be compared exactly.
std::string StripStamps(const std::string& output);

// A child process that only waits until it is ended.
class SleeperProcess {
 public:
  SleeperProcess();
  ~SleeperProcess();  // ends it when it still runs
  SleeperProcess(const SleeperProcess&) = delete;
  SleeperProcess& operator=(const SleeperProcess&) = delete;

  std::int32_t pid() const { return pid_; }
  // Ends the process and waits until it has ended. Its id may still name it for a moment,
  // or name another process soon after (Windows reuses ids).
  void End();

 private:
  std::int32_t pid_ = 0;
  bool running_ = false;
  std::intptr_t handle_ = 0;  // the platform's process handle, where there is one
};

}  // namespace qb::test
