// Implementation details: the child's standard output is an inherited pipe that a reader
// thread drains, so the wait below is a plain wait with a time-out on the process handle.
#include "support/child_process.h"

#include <windows.h>

#include <stdexcept>
#include <thread>

namespace qb::test {
namespace {

// A path as CMake wrote it ("/work/build/x.exe" under Wine, "C:/b/x.exe" on Windows) in
// the form CreateProcess takes: Wine shows the root of the build machine as drive Z:.
std::string NativePath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string CommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = i == 0 ? NativePath(arguments[i]) : arguments[i];
    if (!line.empty()) line += ' ';
    if (argument.empty() || argument.find_first_of(" \t") != std::string::npos) {
      line += '"' + argument + '"';
    } else {
      line += argument;
    }
  }
  return line;
}

struct Process {
  HANDLE process = nullptr;
  DWORD pid = 0;
};

Process Start(const std::string& program, const std::string& commandLine, HANDLE output) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output ? output : ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  std::string line = commandLine;
  if (!::CreateProcessA(NativePath(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
    throw std::runtime_error("cannot start " + program);
  }
  ::CloseHandle(info.hThread);
  return Process{info.hProcess, info.dwProcessId};
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, double timeoutSeconds) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("pipe failed");
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  Process child;
  try {
    child = Start(program, CommandLine(arguments), writeEnd);
  } catch (...) {
    ::CloseHandle(readEnd);
    ::CloseHandle(writeEnd);
    throw;
  }
  ::CloseHandle(writeEnd);
  ProgramResult result;
  std::thread reader([&] {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) result.output.append(buffer, n);
  });
  const auto milliseconds = static_cast<DWORD>(timeoutSeconds * 1000);
  if (::WaitForSingleObject(child.process, milliseconds) != WAIT_OBJECT_0) {
    result.timedOut = true;
    ::TerminateProcess(child.process, 255);
    ::WaitForSingleObject(child.process, INFINITE);
  }
  reader.join();  // the pipe ends with the child (no grandchild keeps it)
  ::CloseHandle(readEnd);
  DWORD code = 0;
  if (!result.timedOut && ::GetExitCodeProcess(child.process, &code)) result.exitCode = static_cast<int>(code);
  ::CloseHandle(child.process);
  return result;
}

std::string QuobrinaPath() { return NativePath(QUOBRINA_BINARY); }

SleeperProcess::SleeperProcess() {
  const Process child = Start(QUOBRINA_TEST_SLEEPER, CommandLine({QUOBRINA_TEST_SLEEPER}), nullptr);
  pid_ = static_cast<std::int32_t>(child.pid);
  handle_ = reinterpret_cast<std::intptr_t>(child.process);
  running_ = true;
}

SleeperProcess::~SleeperProcess() {
  End();
  if (handle_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void SleeperProcess::End() {
  if (!running_) return;
  running_ = false;
  const auto process = reinterpret_cast<HANDLE>(handle_);
  ::TerminateProcess(process, 0);
  ::WaitForSingleObject(process, 10000);
  // The id is released only with the last handle to the process.
  ::CloseHandle(process);
  handle_ = 0;
}

}  // namespace qb::test
