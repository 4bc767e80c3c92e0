// Implementation details: the queue is not stored anywhere. Each step lists the source
// folder afresh, subtracts the ledger, uploads the first file left and records it by
// writing the whole ledger to its temporary file and moving that onto the ledger. A
// file is recorded only after its upload returned, so a file is sent at least once,
// never lost; a stop in between sends it again at the next start.
#include <algorithm>

#include "driver/file_utils.h"
#include "driver/list_utils.h"
#include "driver/qvor_main.h"
#include "driver/string_list.h"
#include "http/uri.h"
#include "platform/files.h"
#include "services/logger.h"
#include "support/format.h"

namespace qb {
namespace {

// Leaves only what can be uploaded and recorded: names that fit one ledger line. (A
// POSIX name may hold a line break; such a file could never be recorded and would be
// sent again at every start.)
void KeepRecordableEntries(TQbStringList& queue) {
  std::vector<bool> unrecordable(queue.Items().size());
  bool any = false;
  for (std::size_t i = 0; i < unrecordable.size(); ++i) {
    unrecordable[i] = !StorableAsLine(queue.Items()[i]);
    any = any || unrecordable[i];
  }
  if (any) queue.DeleteMarked(unrecordable);
}

[[noreturn]] void ThrowLedgerNotWritten(const std::string& ledgerPath, const char* reason) {
  throw EFCreateError(Format("Cannot create file \"%s\". %s", platform::ExpandFileName(ledgerPath), reason));
}

// A control character of the URL would go into the request line as it is (or, for CR and
// LF, end it early). The message shows each one as "%XX", so the log line stays one line.
void CheckUploadUrl(const std::string& url) {
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
  if (std::none_of(url.begin(), url.end(), isControl)) return;
  std::string shown;
  for (const char c : MaskUrlPassword(url)) {
    shown += isControl(c) ? Format("%%%.2x", static_cast<int>(c)) : std::string(1, c);
  }
  throw ENetURIException(Format("URL \"%s\" contains a control character", shown));
}

}  // namespace

std::int32_t TQvorMain::ProcessQueueStep() {
  const std::string ledgerPath = ConfigFolder + kLedgerFileName;
  const std::string tempPath = ConfigFolder + kLedgerTempFileName;

  // Files only: a directory or a FIFO would fail to open and block every file after it.
  const Ref<IQbStringList> queue = CreateQbStringList();
  ListFolderEntries(SourceFolder + "*.*", kAllEntryAttributes & ~platform::NonFileAttributes(), queue->List(), true);
  KeepRecordableEntries(queue->List());

  const Ref<IQbStringList> ledger = CreateQbStringList();
  // Ledger lines name files: compared as the platform compares file names.
  ledger->List().SetCaseSensitive(!platform::FileNamesIgnoreCase());
  if (platform::FileExists(ledgerPath)) ledger->LoadFromFile(ledgerPath);
  RemoveListedEntries(queue->List(), ledger->List());

  // Makes the ledger exist after the first step; refused when it exists already. Only
  // an unchanged (or empty) ledger goes this way, so it need not wait for the disk.
  ledger->SaveToFile(tempPath, false);
  platform::MoveFileNoReplace(tempPath, ledgerPath);
  // A directory in the ledger's place would take the ledger as a file inside it, and
  // every file would be sent again at every step.
  if (platform::DirectoryExists(ledgerPath)) ThrowLedgerNotWritten(ledgerPath, "A directory has that name");

  const std::int32_t count = queue->Count();
  LogMessage(1, "There are '%d' files in queue", count);
  if (count == 0) return 0;

  const std::string fileName = queue->Item(0);
  CheckUploadUrl(UploadAT);
  LogMessage(1, "Uploading file '%s' to server '%s'", fileName, MaskUrlPassword(UploadAT));
  UploadFile(fileName, UploadAT);

  ledger->Add(fileName);
  ledger->SaveToFile(tempPath);  // on the disk before it replaces the ledger
  // Unrecorded, the file would be sent again at every step without end.
  if (!MoveReplacing(tempPath, ledgerPath)) {
    ThrowLedgerNotWritten(ledgerPath, "The new ledger could not replace the old one");
  }
  return count;
}

std::string MaskUrlPassword(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t end = url.find_first_of("/\\?#", start);
  const std::string_view authority =
      std::string_view(url).substr(start, end == std::string::npos ? std::string::npos : end - start);
  const std::size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return url;
  const std::size_t colon = authority.substr(0, at).find(':');
  if (colon == std::string_view::npos || colon + 1 == at) return url;
  return url.substr(0, start + colon + 1) + "***" + url.substr(start + at);
}

}  // namespace qb
