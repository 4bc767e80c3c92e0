// Implementation details: every error of every layer unwinds to the one handler here,
// which logs "%s: %s" (class name, message) at level 4 and yields exit code 1; errors
// that are not the program's own (memory ran out, a standard-library error) get a class
// name of the program's too. The message is outside text, escaped by the logger, except
// for the one line break that socket and TLS messages hold by design. The
// watchdog is held for the whole process and never released, so its thread ends only
// with the process. The long options (--help, --version, --check) are whole parameters
// of their own; every other parameter is left to the switch reader, which takes one
// prefix character, so that a parameter beginning with "--" would name nothing and be
// ignored without a word: such a parameter is refused instead.
#include "driver/program.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "driver/command_switch.h"
#include "driver/configuration_check.h"
#include "driver/qvor_main.h"
#include "net/net_openssl_library.h"
#include "net/net_ssl_exception.h"
#include "net/net_stack.h"
#include "platform/console.h"
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

constexpr std::string_view kUsage =
    "Usage: quobrina -configFile=FILE [-parentProcID=PID]\n"
    "       quobrina --check -configFile=FILE\n"
    "       quobrina --help | --version\n"
    "\n"
    "Uploads every file of the configured source folder that its ledger does not name\n"
    "to an HTTP or HTTPS server, one multipart/form-data POST per file, and records\n"
    "each file the server accepted in the ledger. Reports through time-stamped lines\n"
    "on standard output and through its exit code.\n"
    "\n"
    "A switch is \"-\" or \"/\", its name, \"=\" and its value, in one parameter:\n"
    "-configFile=/etc/quobrina/upload.xml (not -configFile /etc/quobrina/upload.xml).\n"
    "  -configFile=FILE    the XML configuration; required but for --help and --version\n"
    "  -parentProcID=PID   the parent program's process id: when that process ends,\n"
    "                      the run ends too (exit code 1)\n"
    "  --check             checks the configuration and names the elements it does not\n"
    "                      know, checks that the source folder can be listed and the\n"
    "                      ledger's folder written, and connects to the server (through\n"
    "                      the proxy, TLS handshake included); sends no request and\n"
    "                      leaves the ledger alone\n"
    "  --help, -h          this text (on Windows also /?)\n"
    "  --version           the version, and whether the TLS library was found\n"
    "\n"
    "Exit codes:\n"
    "  0  the queue ran empty; --check: every check passed; --help, --version\n"
    "  1  an error, after one [ERRX] line; or the parent program ended\n"
    "\n"
    "Manual: man quobrina (Windows: README.txt beside quobrina.exe).\n"
    "Example configuration: /usr/share/doc/quobrina/examples/upload.xml\n"
    "(in the Windows archive examples\\upload.xml).\n";

enum class Mode { Run, Check, Help, Version };

// The long options are recognised only as whole parameters. Any other parameter that
// begins with "--" is refused, since the switch reader would ignore it.
Mode ReadMode(const std::vector<std::string>& parameters) {
  const auto given = [&parameters](std::string_view option) {
    return std::find(parameters.begin() + 1, parameters.end(), option) != parameters.end();
  };
  if (given("--help") || given("-h") || (platform::SlashQuestionAsksForHelp() && given("/?"))) return Mode::Help;
  if (given("--version")) return Mode::Version;
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    if (parameters[i].starts_with("--") && parameters[i] != "--check") {
      throw Exception(
          Format("Unknown switch \"%s\": a switch takes one \"-\" or \"/\" and \"=\", as in "
                 "-configFile=FILE; quobrina --help lists them",
                 parameters[i]));
    }
  }
  return given("--check") ? Mode::Check : Mode::Run;
}

// "3.0.15", "1.1.1w": the version that OpenSSL_version_num encodes.
std::string OpenSSLVersionText(unsigned long number) {
  const unsigned long major = (number >> 28) & 0xF;
  const unsigned long minor = (number >> 20) & 0xFF;
  const unsigned long patch = (number >> 4) & 0xFF;
  if (major >= 3) return Format("%d.%d.%d", static_cast<int>(major), static_cast<int>(minor), static_cast<int>(patch));
  const unsigned long fix = (number >> 12) & 0xFF;
  std::string text = Format("%d.%d.%d", static_cast<int>(major), static_cast<int>(minor), static_cast<int>(fix));
  if (patch > 0 && patch <= 26) text += static_cast<char>('a' + patch - 1);
  return text;
}

void WriteVersion() {
  std::string text = "quobrina " QUOBRINA_VERSION "\n";
  if (const ossl::Api* api = ossl::LoadOpenSSL()) {
    text += "TLS: OpenSSL " + OpenSSLVersionText(api->OpenSSL_version_num()) + " found: https works\n";
  } else {
    text += "TLS: no OpenSSL library found: https uploads fail, http works\n";
  }
  platform::WriteStandardOutput(text);
}

// Held until the process ends, like the program-wide variable it stands for.
Ref<ISuicideOrphan>& Watchdog() {
  static Ref<ISuicideOrphan>* watchdog = new Ref<ISuicideOrphan>();
  return *watchdog;
}

// "-configFile /srv/upload.xml" gives the value "-configFile": the parameter had no "=".
bool ValueIsTheSwitchItself(std::string_view value) {
  if (!value.empty() && std::string_view(kPrefixes).find(value.front()) != std::string_view::npos) {
    value.remove_prefix(1);
  }
  return UpperCaseAscii(value) == "CONFIGFILE";
}

void Run() {
  const Mode mode = ReadMode(platform::CommandLineParameters());
  if (mode == Mode::Help) {
    platform::WriteStandardOutput(kUsage);
    return;
  }
  if (mode == Mode::Version) {
    WriteVersion();
    return;
  }
  const std::int32_t parentProcId = StrToIntDef(ReadCommandSwitch("parentProcID", kSeparator, kPrefixes), 0);
  Watchdog() = CreateSuicideOrphan(1);
  const Ref<ISuicideOrphan> watching = Watchdog()->WatchParent(parentProcId);

  const std::string configFile = ReadCommandSwitch("configFile", kSeparator, kPrefixes);
  if (configFile.empty()) {
    throw Exception(Format("Parameter \"%s\" is missing\"", "configFile"));
  }
  if (mode == Mode::Check) {
    CheckConfiguration(configFile);
    return;
  }
  LogMessage(1, "commandLine = '%s'", platform::RawCommandLine());
  auto main = std::make_unique<TQvorMain>();
  Ref<TXmlDocument> configuration;
  try {
    configuration = main->LoadConfiguration(configFile);
  } catch (const EFOpenError& error) {
    if (!ValueIsTheSwitchItself(configFile)) throw;
    throw EFOpenError(error.Message() + " (a switch and its value are one parameter: -configFile=FILE)");
  }
  if (main->ServerOptions.Connections > 1) {
    main->ProcessQueueInParallel();
  } else {
    // Each step uploads at most one file; the first result of 0 or less ends the run.
    while (main->ProcessQueueStep() > 0) {
    }
  }
  main->RaiseIfFilesRefused();
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
