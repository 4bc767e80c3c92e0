// Implementation details: the queue is not stored anywhere between runs: a run lists the
// source folder and subtracts the ledger (LedgerQueue keeps both up to date from step to
// step). A file is recorded only after its upload returned, so a file is sent at least
// once, never lost; a stop in between sends it again at the next start. That the ledger
// can take its line is made sure before the upload, so that a ledger that cannot be
// written ends the run instead of sending the same file at every start.
#include <algorithm>

#include "driver/ledger_queue.h"
#include "driver/qvor_main.h"
#include "http/http_client.h"
#include "http/uri.h"
#include "services/logger.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {

// A control character of the URL would go into the request line as it is (or, for CR and
// LF, end it early). The message shows each one as "%XX", so the log line stays one line.
void CheckUploadUrl(const std::string& url) {
  if (std::none_of(url.begin(), url.end(), IsControlByte)) return;
  std::string shown;
  for (const char c : MaskUrlPassword(url)) {
    if (IsControlByte(c)) {
      AppendPercentEscape(shown, static_cast<unsigned char>(c));
    } else {
      shown += c;
    }
  }
  throw ENetURIException(Format("URL \"%s\" contains a control character", shown));
}

TQvorMain::TQvorMain() = default;
TQvorMain::~TQvorMain() = default;
TQvorMain::TQvorMain(TQvorMain&&) noexcept = default;
TQvorMain& TQvorMain::operator=(TQvorMain&&) noexcept = default;

std::int32_t TQvorMain::ProcessQueueStep() {
  if (!queue_) queue_ = std::make_unique<LedgerQueue>(SourceFolder, ConfigFolder);
  const std::int32_t count = queue_->Refresh();
  LogMessage(1, "There are '%d' files in queue", count);
  if (count == 0) return 0;

  const std::string fileName = queue_->First();
  CheckUploadUrl(UploadAT);
  LogMessage(1, "Uploading file '%s' to server '%s'", fileName, MaskUrlPassword(UploadAT));
  queue_->ReserveLine(fileName);
  UploadFile(fileName, UploadAT);
  queue_->Record(fileName);
  return count;
}

}  // namespace qb
