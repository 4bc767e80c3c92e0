// Implementation details: the queue is not stored anywhere between runs: a run lists the
// source folder and subtracts the ledger (LedgerQueue keeps both up to date from step to
// step). A file is recorded only after its upload returned, so a file is sent at least
// once, never lost; a stop in between sends it again at the next start. That the ledger
// can take its line is made sure before the upload, so that a ledger that cannot be
// written ends the run instead of sending the same file at every start.
//
// With several connections this thread coordinates: it alone lists the folder, claims
// the next file, records and logs, while each upload runs on a worker thread with a
// blocking client of its own (UploadWorkers). The log lines of a file are those of a step,
// written when it starts; lines are recorded in the order the uploads end, those that end
// together with one flush. After the first error nothing new starts; the uploads in
// flight may still end, for the longest time limit the configuration sets (kErrorGrace
// without any), and those the server took are recorded; then the rest are cut off,
// unrecorded, and the first error is raised.
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>

#include "driver/ledger_queue.h"
#include "driver/qvor_main.h"
#include "driver/upload_workers.h"
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

namespace {

constexpr std::chrono::milliseconds kErrorGrace{30000};
// Refusals in a row that end a run at once: a server that refuses every file says
// something of itself, and is not to be asked again and again.
constexpr int kRefusalsInARow = 10;

// Whether `error` speaks of the file alone: a final answer 400 to 499 but 401, 407, 408
// and 429, which speak of credentials, the proxy, time or rate; or a file the program
// cannot open or read. `status` gets the status line, or the error as a log line shows it.
bool RefusesTheFileAlone(const std::exception_ptr& error, std::string& status) {
  try {
    std::rethrow_exception(error);
  } catch (const ENetHTTPProtocolException& refusal) {
    const int code = refusal.ReplyCode();
    status = refusal.Message();
    return code >= 400 && code <= 499 && code != 401 && code != 407 && code != 408 && code != 429;
  } catch (const EFOpenError& unreadable) {
    status = std::string(unreadable.ClassName()) + ": " + unreadable.Message();
    return true;
  } catch (const EReadError& unreadable) {
    status = std::string(unreadable.ClassName()) + ": " + unreadable.Message();
    return true;
  } catch (...) {
    return false;
  }
}

// How long uploads in flight may go on after the first error.
std::chrono::milliseconds GraceAfterError(const TQvorServerOptions& options) {
  const int longest = std::max({options.ConnectTimeout, options.ReadTimeout, options.AnswerTimeout});
  return longest > 0 ? std::chrono::milliseconds(longest) : kErrorGrace;
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

  const std::string fileName = AnnounceFirst();
  queue_->ReserveLine(fileName);
  try {
    UploadFile(fileName, UploadAT);
  } catch (...) {
    if (!SkipRefusal(fileName, std::current_exception())) throw;
    return count;
  }
  queue_->Record(fileName);
  refusedInARow_ = 0;
  return count;
}

std::string TQvorMain::AnnounceFirst() const {
  std::string fileName = queue_->First();
  CheckUploadUrl(UploadAT);
  LogMessage(1, "Uploading file '%s' to server '%s'", fileName, MaskUrlPassword(UploadAT));
  return fileName;
}

bool TQvorMain::SkipRefusal(const std::string& path, const std::exception_ptr& error) {
  std::string status;
  if (!ServerOptions.SkipRefusedFiles || !RefusesTheFileAlone(error, status)) return false;
  LogMessage(3, "File \"%s\" refused, not recorded: %s", path, status);
  queue_->Skip(path);
  if (refused_++ == 0) {
    firstRefusedFile_ = path;
    firstRefusal_ = status;
  }
  if (++refusedInARow_ >= kRefusalsInARow) RaiseFilesRefused();
  return true;
}

void TQvorMain::RaiseIfFilesRefused() const {
  if (refused_ > 0) RaiseFilesRefused();
}

void TQvorMain::RaiseFilesRefused() const {
  throw EQbFilesRefusedError(Format("%s refused and not recorded; the first, \"%s\": %s",
                                    refused_ == 1 ? std::string("1 file was") : Format("%d files were", refused_),
                                    firstRefusedFile_, firstRefusal_));
}

void TQvorMain::ProcessQueueInParallel() {
  if (!queue_) queue_ = std::make_unique<LedgerQueue>(SourceFolder, ConfigFolder);
  auto cache = std::make_shared<TNetSSLSessionCache>();
  // The workers' part of the run is copied: a worker left blocked at the end outlives it.
  UploadWorkers workers(
      ServerOptions.Connections, [this, cache] { return MakeUploadClient(cache); },
      [url = UploadAT, keep = ServerOptions.KeepConnection, kept = keepConnections_](TNetHTTP& client,
                                                                                     const std::string& path) {
        SendFile(client, path, url, keep && *kept);
      });
  std::exception_ptr firstError;
  std::optional<UploadWorkers::TimePoint> cutOff;
  for (;;) {
    while (!firstError && workers.Running() < workers.Count()) {
      try {
        const std::int32_t count = queue_->Refresh();
        if (count == 0) {
          // Counted once more when nothing is in flight either: the step's last line.
          if (workers.Running() > 0) break;
          LogMessage(1, "There are '%d' files in queue", count);
          return;
        }
        LogMessage(1, "There are '%d' files in queue", count);
        const std::string fileName = AnnounceFirst();
        queue_->ClaimFirst();
        LogMessage(1, "Uploading file \"%s\"", fileName);
        workers.Start(fileName);
      } catch (...) {
        firstError = std::current_exception();
      }
    }
    if (workers.Running() == 0) break;  // after an error: nothing else is in flight
    if (firstError && !cutOff) cutOff = std::chrono::steady_clock::now() + GraceAfterError(ServerOptions);
    const std::vector<UploadWorkers::Outcome> ended = workers.WaitForEnded(cutOff);
    if (ended.empty()) break;  // the grace is over: the workers cut off the rest
    std::vector<std::string> accepted;
    for (const UploadWorkers::Outcome& outcome : ended) {
      if (!outcome.error) {
        accepted.push_back(outcome.path);
        refusedInARow_ = 0;
        continue;
      }
      try {
        // A refused file stops nothing: the next one starts as if it had gone.
        if (SkipRefusal(outcome.path, outcome.error)) continue;
      } catch (...) {
        if (!firstError) firstError = std::current_exception();
        continue;
      }
      if (!firstError) firstError = outcome.error;
    }
    try {
      if (!accepted.empty()) queue_->Record(accepted);
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  }
  if (firstError) std::rethrow_exception(firstError);
}

}  // namespace qb
