// What the program needs of its own process: its parameters, its end, and a wait on
// another process (the parent that started it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qb::platform {

// Called once from main: keeps the parameters and makes a closed standard output an
// ignored write error instead of a signal.
void InitializeProcess(int argc, char** argv);

// The parameters as the platform splits them; element 0 is the program's own path.
const std::vector<std::string>& CommandLineParameters();

// Whether the platform's programs take the parameter "/?" as a request for help (Windows).
bool SlashQuestionAsksForHelp();

// The raw command line as the process received it (on POSIX the parameters joined by
// single blanks).
std::string RawCommandLine();

// Ends the process at once with `code`: no unwinding, no cleanup.
[[noreturn]] void ExitProcessNow(int code);

// A process being watched for its end. Made by OpenProcessForWait.
class ProcessWaiter {
 public:
  enum class WaitResult { Ended, TimedOut, Failed };

  virtual ~ProcessWaiter() = default;
  // Waits at most `milliseconds` for the process to end.
  virtual WaitResult Wait(int milliseconds) = 0;
};

// Opens process `pid` for waiting; nothing when it does not exist or may not be opened.
std::unique_ptr<ProcessWaiter> OpenProcessForWait(std::int32_t pid);

// The system's text for an error number of the platform (errno on POSIX).
std::string SystemErrorText(int code);

}  // namespace qb::platform
