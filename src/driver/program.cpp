// Implementation details: every error of every layer unwinds to the one handler here,
// which logs "%s: %s" (class name, message) at level 4 and yields exit code 1. The
// watchdog is held for the whole process and never released, so its thread ends only
// with the process.
#include "driver/program.h"

#include <memory>

#include "driver/command_switch.h"
#include "driver/qvor_main.h"
#include "platform/process.h"
#include "services/logger.h"
#include "services/suicide_orphan.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr const char* kSeparator = "=";
constexpr const char* kPrefixes = "-/";

// Held until the process ends, like the program-wide variable it stands for.
Ref<ISuicideOrphan>& Watchdog() {
  static Ref<ISuicideOrphan>* watchdog = new Ref<ISuicideOrphan>();
  return *watchdog;
}

void Run() {
  const std::int32_t parentProcId = StrToIntDef(ReadCommandSwitch("parentProcID", kSeparator, kPrefixes), 0);
  Watchdog() = CreateSuicideOrphan(1);
  const Ref<ISuicideOrphan> watching = Watchdog()->WatchParent(parentProcId);

  auto main = std::make_unique<TQvorMain>();
  if (ReadCommandSwitch("configFile", kSeparator, kPrefixes).empty()) {
    throw Exception(Format("Parameter \"%s\" is missing\"", "configFile"));
  }
  LogMessage(1, "commandLine = '%s'", platform::RawCommandLine());
  const Ref<TXmlDocument> configuration =
      main->LoadConfiguration(ReadCommandSwitch("configFile", kSeparator, kPrefixes));
  // Each step uploads at most one file; the first result of 0 or less ends the run.
  while (main->ProcessQueueStep() > 0) {
  }
  LogMessage(1, "No files left: quiting");
}

}  // namespace

int RunProgram() {
  try {
    Run();
    return 0;
  } catch (const Exception& error) {
    try {
      LogMessage(4, "%s: %s", error.ClassName(), error.Message());
    } catch (...) {
      // Formatting the error line cannot fail with two text arguments; stay silent if it does.
    }
    return 1;
  }
}

}  // namespace qb
