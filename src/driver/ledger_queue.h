// What one run knows of its source folder and its ledger between queue steps, so that a
// step costs the same whatever the ledger's size: the folder's listing with, for every
// file, whether the ledger names it, and the ledger held open for appending.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace qb {

class LedgerQueue {
 public:
  // `sourceFolder` and `configFolder` end in the path delimiter.
  LedgerQueue(const std::string& sourceFolder, const std::string& configFolder);
  ~LedgerQueue();
  LedgerQueue(const LedgerQueue&) = delete;
  LedgerQueue& operator=(const LedgerQueue&) = delete;

  // Brings the listing and the ledger up to date: creates the ledger when there is none,
  // opens it on the first call (EFOpenError while another run holds it or is making it),
  // lists the folder again when it changed and reads the ledger again when someone else
  // changed it. The ledger and its temporary file are never listed, whatever name or link
  // shows them in the folder; a first file listed through a link that leads nowhere by now
  // (or no longer to a file) is dropped, as listing again would drop it. Returns the number
  // of queued files: listed files the ledger does not name.
  std::int32_t Refresh();
  // The full path of the first queued file; Refresh must have returned more than 0.
  std::string First() const;
  // Makes sure that the ledger can take the line for `path`, and those of the files
  // claimed (EWriteError otherwise), so that a file is not sent when recording it would
  // fail.
  void ReserveLine(const std::string& path);
  // For uploads that run at the same time: takes the first queued file out of the queue
  // until Record names it, after making sure that the ledger can take its line and the
  // lines of every file claimed before (EWriteError otherwise; nothing is claimed then).
  // Refresh counts and First names only files that are not claimed. Returns the path.
  std::string ClaimFirst();
  // Appends the line for `path` and forces it onto the disk. The ledger is read again
  // first when someone else changed it, and a last line that someone left without its
  // line break never runs into this one: a bare CR is completed with LF, anything else
  // unfinished is cut off (as reading the ledger cuts it).
  void Record(const std::string& path);
  // The same for several paths, in their order, forced onto the disk together.
  void Record(const std::vector<std::string>& paths);
  // Leaves `path` out of the queue for the rest of the run without a line (claimed or
  // not): a file that is not sent now and goes again at the next start.
  void Skip(const std::string& path);

 private:
  class Listing;
  class Filter;

  void OpenLedger();
  bool LedgerChanged();
  void ReadLedger();
  void FindFirst();
  // Moves first_ past what is recorded, dropped or claimed, from where it stands.
  void SkipToWaiting();
  void DropGoneFirst();
  // The listing's index of the file at `path` (kNone for none), and the hash of its key.
  std::size_t IndexOf(std::string_view path, std::uint64_t& hash) const;
  // Drops `path` from the claimed files, whose lines have room reserved.
  void ForgetClaim(const std::string& path);
  std::vector<platform::FileStatus> OwnFiles() const;
  // What must come before the next line; sets `reread` when it read the ledger again.
  std::string LineBreakBeforeAppend(bool& reread);

  std::string source_;
  std::string ledgerPath_;
  std::string tempPath_;
  bool exact_;
  std::string keyPrefix_;     // the source folder as ledger lines begin with it, as a key
  std::uint64_t prefixHash_;  // the hash state after keyPrefix_, where every key's hash starts
  std::unique_ptr<platform::TFileStream> ledger_;
  platform::FileStatus ledgerKnown_;  // the ledger as the run last read or wrote it
  std::unique_ptr<Listing> listing_;
  std::unique_ptr<Filter> filter_;
  std::optional<platform::FileStatus> folderKnown_;
  bool folderTrusted_ = false;    // the listing was whole and the folder's times can tell a change
  bool relist_ = false;           // the ledger is another file now: it may be in the listing
  bool rereadLedger_ = false;     // someone else wrote to the ledger since the run read it
  bool endsWithOwnLine_ = false;  // the ledger ends with the line the run appended last
  std::size_t first_ = 0;         // index of the first queued file in the listing
  std::int32_t queued_ = 0;
  std::vector<std::string> claimed_;  // paths claimed and not yet recorded, in claim order
  std::vector<std::string> skipped_;  // paths out of the queue for the run, never recorded
};

}  // namespace qb
