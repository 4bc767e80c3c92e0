// Implementation details: the check goes the way of a run as far as a run goes before it
// writes or sends: the same reading of the configuration, the same listing of the source
// folder, and the same client (UploadClient) connecting to the same place. Where a run
// would write (the ledger, its folder) the check only asks whether it may, so that a check
// run as another user leaves no folder behind that the service could not write to. The
// first failure raises, and the driver reports it as it reports a run's error.
#include "driver/configuration_check.h"

#include "driver/file_utils.h"
#include "driver/list_utils.h"
#include "driver/qvor_main.h"
#include "http/uri.h"
#include "platform/files.h"
#include "services/logger.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

void CheckSourceFolder(const std::string& folder) {
  const std::string shown = platform::ExpandFileName(folder);
  if (!platform::GetFileStatus(folder)) {
    LogMessage(3, "Source folder \"%s\" does not exist: a run finds no files until it is made", shown);
    return;
  }
  // Reading the configuration has found it listable; this lists it as a run does.
  int files = 0;
  ForEachListedEntry(folder + "*.*", kAllEntryAttributes & ~platform::NonFileAttributes(),
                     [&files](const std::string&, const std::string&, std::uint32_t) { ++files; });
  LogMessage(1, "Source folder \"%s\" can be listed; files in it: %d", shown, files);
}

void CheckLedgerFolder(const std::string& folder) {
  const std::string shown = platform::ExpandFileName(folder);
  if (!platform::DirectoryExists(folder)) {
    if (const std::optional<std::string> why = FolderCreationDenied(folder)) {
      throw EFCreateError(Format("Cannot create folder \"%s\". %s", shown, *why));
    }
    LogMessage(1, "Ledger folder \"%s\" does not exist yet: a run can make it", shown);
    return;
  }
  if (const std::optional<std::string> why = platform::CannotWrite(folder, true)) {
    throw EFCreateError(Format("Cannot write to folder \"%s\". %s", shown, *why));
  }
  const std::string ledger = folder + kLedgerFileName;
  if (platform::GetFileStatus(ledger)) {
    if (const std::optional<std::string> why = platform::CannotWrite(ledger, false)) {
      throw EFOpenError(Format("Cannot open file \"%s\". %s", platform::ExpandFileName(ledger), *why));
    }
  }
  LogMessage(1, "Ledger folder \"%s\" can be written", shown);
}

std::string Authority(const std::string& host, std::string_view port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::string(port);
}

// What the connection reached, in words; the URL itself is not shown (it may hold a
// password).
std::string ConnectionReached(const TQvorMain& main) {
  const TNetURI url(main.UploadAT);
  const bool https = SameTextAscii(url.Protocol(), "https");
  const std::string server = Authority(url.Host(), !url.Port().empty() ? url.Port() : https ? "443" : "80");
  const TQvorServerOptions& options = main.ServerOptions;
  const std::string proxy =
      options.ProxyHost.empty() ? "" : Authority(options.ProxyHost, std::to_string(options.ProxyPort));
  if (!https) {
    if (proxy.empty()) return "Connected to " + server;
    // The proxy meets the server only with a request, which the check never sends.
    return "Connected to the proxy " + proxy + " (an http upload reaches " + server + " only through a request)";
  }
  std::string text =
      proxy.empty() ? "Connected to " + server : "Connected through the proxy " + proxy + " to " + server;
  text += options.VerifyCertificate ? ", TLS handshake done, certificate verified"
                                    : ", TLS handshake done, certificate not verified (VerifyCertificate is not true)";
  return text;
}

}  // namespace

void CheckConfiguration(const std::string& fileName) {
  // A misspelt element is the likeliest cause of a value missing below: named first.
  const Ref<TXmlDocument> document = LoadConfigurationDocument(fileName);
  for (const std::string& element : UnknownConfigurationElements(*document)) {
    LogMessage(3, "Element \"%s\" is unknown: it is ignored", element);
  }
  TQvorMain main;
  main.ReadConfiguration(*document, fileName);
  document->GetDocumentElement()->RequireChild("configData")->RequireChild("UploadServer");
  LogMessage(1, "Configuration \"%s\" can be used", platform::ExpandFileName(fileName));
  CheckSourceFolder(main.SourceFolder);
  CheckLedgerFolder(main.ConfigFolder);
  main.ConnectToServer();
  LogMessage(1, "%s; no request was sent", ConnectionReached(main));
  LogMessage(1, "Every check passed");
}

}  // namespace qb
