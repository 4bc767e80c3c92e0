// Implementation details: the queue is not stored anywhere between runs: a run lists the
// source folder and subtracts the ledger (LedgerQueue keeps both up to date from step to
// step). A file is recorded only after its upload returned, so a file is sent at least
// once, never lost; a stop in between sends it again at the next start. That the ledger
// can take its line is made sure before the upload, so that a ledger that cannot be
// written ends the run instead of sending the same file at every start.
#include <algorithm>

#include "driver/ledger_queue.h"
#include "driver/qvor_main.h"
#include "http/uri.h"
#include "services/logger.h"
#include "support/format.h"

namespace qb {

namespace {

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
