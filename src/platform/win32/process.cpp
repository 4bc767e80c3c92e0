// Implementation details: the parameters are split from GetCommandLine by the rule of
// command_line.h, not taken from the C runtime's argv, whose rule (backslash escapes before
// quotes) would change paths such as "C:\Data\". Parameter 0 is the module's own path.
// The parent is opened with SYNCHRONIZE alone, the only right a wait needs. A process
// keeps the id of the process that created it after that one has ended, so a named id
// that cannot be opened is our own ended parent when it is that id.
#include "platform/process.h"

#include "platform/win32/command_line.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32.h"
#include "support/strings.h"

#include <tlhelp32.h>

namespace qb::platform {
namespace {

std::vector<std::string>& Parameters() {
  static std::vector<std::string> parameters;
  return parameters;
}

std::string ModuleFileName() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

class HandleWaiter final : public ProcessWaiter {
 public:
  explicit HandleWaiter(win32::UniqueHandle process) : process_(std::move(process)) {}

  WaitResult Wait(int milliseconds) override {
    switch (::WaitForSingleObject(process_.get(), static_cast<DWORD>(milliseconds))) {
      case WAIT_OBJECT_0: return WaitResult::Ended;
      case WAIT_TIMEOUT: return WaitResult::TimedOut;
      default: return WaitResult::Failed;
    }
  }

 private:
  win32::UniqueHandle process_;
};

// Our own parent that ended before the watch began.
class EndedWaiter final : public ProcessWaiter {
 public:
  WaitResult Wait(int) override { return WaitResult::Ended; }
};

// The id of the process that created this one, from a snapshot of the processes; 0 when
// the snapshot fails.
DWORD CreatorProcessId() {
  win32::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = ::GetCurrentProcessId();
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more; more = ::Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
  }
  return 0;
}

}  // namespace

void InitializeProcess(int /*argc*/, char** /*argv*/) {
  auto& parameters = Parameters();
  parameters = win32::SplitCommandLine(::GetCommandLineA());
  const std::string self = ModuleFileName();
  if (parameters.empty()) {
    parameters.push_back(self);
  } else if (!self.empty()) {
    parameters[0] = self;
  }
}

const std::vector<std::string>& CommandLineParameters() { return Parameters(); }

std::string RawCommandLine() { return ::GetCommandLineA(); }

void ExitProcessNow(int code) { ::ExitProcess(static_cast<UINT>(code)); }

std::unique_ptr<ProcessWaiter> OpenProcessForWait(std::int32_t pid) {
  if (pid == 0) return nullptr;
  win32::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  if (!process) {
    const bool gone = ::GetLastError() == ERROR_INVALID_PARAMETER;
    if (gone && CreatorProcessId() == static_cast<DWORD>(pid)) return std::make_unique<EndedWaiter>();
    return nullptr;
  }
  return std::make_unique<HandleWaiter>(std::move(process));
}

bool SlashQuestionAsksForHelp() { return true; }

std::string SystemErrorText(int code) {
  char* buffer = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer) text.assign(buffer, length);
  if (buffer) ::LocalFree(buffer);
  // The system ends its texts with a line break (or, with the width mask, a blank).
  text.resize(TrimRight(text).size());
  if (text.empty()) text = "System error " + std::to_string(static_cast<unsigned long>(code));
  return text;
}

}  // namespace qb::platform
