// Implementation details: every error of every layer unwinds to the one handler here,
// which logs "%s: %s" (class name, message) at level 4 and yields exit code 1; errors
// that are not the program's own (memory ran out, a standard-library error) get a class
// name of the program's too. The message is outside text, escaped by the logger, except
// for the one line break that socket and TLS messages hold by design. The
// watchdog is held for the whole process and never released, so its thread ends only
// with the process.
#include "driver/program.h"

#include <memory>
#include <new>

#include "driver/command_switch.h"
#include "driver/qvor_main.h"
#include "net/net_ssl_exception.h"
#include "net/net_stack.h"
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
  if (main->ServerOptions.Connections > 1) {
    main->ProcessQueueInParallel();
  } else {
    // Each step uploads at most one file; the first result of 0 or less ends the run.
    while (main->ProcessQueueStep() > 0) {
    }
  }
  LogMessage(1, "No files left: quiting");
}

void LogError(const Exception& error) {
  const std::string& message = error.Message();
  const bool designed = dynamic_cast<const ENetSocketError*>(&error) || dynamic_cast<const ENetOpenSSLError*>(&error);
  const std::size_t lineBreak = designed ? message.find("\r\n") : std::string::npos;
  if (lineBreak == std::string::npos) {
    LogMessage(4, "%s: %s", error.ClassName(), message);
  } else {
    LogMessage(4, "%s: %s\r\n%s", error.ClassName(), std::string_view(message).substr(0, lineBreak),
               std::string_view(message).substr(lineBreak + 2));
  }
}

void LogOutOfMemory() noexcept { LogFixedMessage(4, "EOutOfMemory: Out of memory"); }

}  // namespace

// Each handler writes one line; a line that cannot be written, for want of memory too,
// leaves the exit code to tell.
int RunProgram() {
  try {
    Run();
    return 0;
  } catch (const std::bad_alloc&) {
    LogOutOfMemory();
  } catch (const Exception& error) {
    try {
      LogError(error);
    } catch (const std::bad_alloc&) {
      LogOutOfMemory();
    } catch (...) {
    }
  } catch (const std::exception& error) {
    try {
      LogMessage(4, "%s: %s", "EExternalException", error.what());
    } catch (const std::bad_alloc&) {
      LogOutOfMemory();
    } catch (...) {
    }
  } catch (...) {
    LogFixedMessage(4, "EExternalException: Unknown exception");
  }
  return 1;
}

}  // namespace qb
