// Implementation details: the queue is still every listed file minus what the ledger
// names, in listing order, but a run no longer rebuilds it from scratch in every step.
// The ledger is read once, streamed line by line against a hash table of the folder's
// names, so memory follows the folder, not the ledger; a recorded file is appended as one
// line and forced onto the disk. The ledger stays open, locked against other runs, and
// its size, time and identity after the run's last read or write tell whether someone
// else changed it (then it is read again). The folder is listed again only when its times
// or identity changed; times too close to the listing cannot tell a later change in the
// same clock tick, so such a listing is not trusted and the next step lists again. A
// relisting keeps what it knew of names it listed before; a new name is looked up in a
// fixed-size filter of the ledger's lines, and only a possible match reads the ledger again.
// A listing that did not run to its end is used but not trusted. The ledger and its
// temporary file are left out of every listing by identity, so that neither a ledger kept
// in the source folder nor a link to it is ever sent; and since a listing may be older
// than the files it names, the first queued file is looked at before its turn. Uploads
// that run at the same time claim their files: a claimed file is out of the queue until
// its line is written, its line's room is reserved with the others', and the lines of
// uploads that end together share one flush; an upload that ends out of order costs no
// search of the listing.
#include "driver/ledger_queue.h"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <limits>

#include "driver/file_mask.h"
#include "driver/list_utils.h"
#include "driver/qvor_main.h"
#include "driver/text_lines.h"
#include "platform/locale.h"
#include "services/logger.h"
#include "support/format.h"

namespace qb {
namespace {

constexpr std::uint64_t kFnvBasis = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;
// Folder times younger than this at the listing may hide a change made after it.
constexpr std::int64_t kUntrustedNs = 3'000'000'000;

std::uint64_t Hash(std::string_view bytes, std::uint64_t state = kFnvBasis) {
  for (const unsigned char c : bytes) state = (state ^ c) * kFnvPrime;
  return state;
}

std::uint64_t Mixed(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  return h ^ (h >> 33);
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool SameFolderStatus(const std::optional<platform::FileStatus>& a, const std::optional<platform::FileStatus>& b) {
  if (!a || !b) return false;
  return a->isDirectory == b->isDirectory && a->modifiedNs == b->modifiedNs && a->changedNs == b->changedNs &&
         a->device == b->device && a->fileId == b->fileId;
}

[[noreturn]] void ThrowLedgerNotWritten(const std::string& ledgerPath, const char* reason) {
  throw EFCreateError(Format("Cannot create file \"%s\". %s", platform::ExpandFileName(ledgerPath), reason));
}

}  // namespace

// The files of one listing in listing order, their keys (the name, or its case-folded
// form) in one block of bytes, and an open-addressing table over the keys' hashes, each
// taken after the folder's key, as the ledger's lines are hashed.
// Its own table, not std::unordered_map: a ledger line is hashed once for it and the filter.
class LedgerQueue::Listing {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  Listing(bool exact, std::uint64_t prefixState) : exact_(exact), prefixState_(prefixState) {}

  void Add(const std::string& name, bool link) {
    linked.push_back(link);
    names_.append(name);
    nameEnds_.push_back(Offset(names_));
    if (!exact_) {
      keys_.append(platform::CaseFoldKey(name));
      keyEnds_.push_back(Offset(keys_));
    }
  }

  void Index() {
    const std::size_t count = nameEnds_.size();
    recorded.assign(count, false);
    dropped.assign(count, false);
    claimed.assign(count, false);
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    mask_ = capacity - 1;
    table_.assign(capacity, 0);
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t slot = Mixed(HashOf(i)) & mask_;
      while (table_[slot] != 0) slot = (slot + 1) & mask_;
      table_[slot] = static_cast<std::uint32_t>(i + 1);
    }
  }

  // The index of the file whose key is `key`, hashed with the folder as `hash`.
  std::size_t Find(std::string_view key, std::uint64_t hash) const {
    for (std::size_t slot = Mixed(hash) & mask_; table_[slot] != 0; slot = (slot + 1) & mask_) {
      const std::size_t index = table_[slot] - 1;
      if (Key(index) == key) return index;
    }
    return kNone;
  }

  std::size_t size() const { return nameEnds_.size(); }
  std::string_view Name(std::size_t i) const { return Slice(names_, nameEnds_, i); }
  std::string_view Key(std::size_t i) const { return exact_ ? Name(i) : Slice(keys_, keyEnds_, i); }
  std::uint64_t HashOf(std::size_t i) const { return Hash(Key(i), prefixState_); }
  // Queued: neither recorded, nor dropped, nor claimed.
  bool Waiting(std::size_t i) const { return !recorded[i] && !dropped[i] && !claimed[i]; }

  std::vector<bool> recorded;  // the ledger names the file
  std::vector<bool> dropped;   // gone (or no longer a file) when its turn came
  std::vector<bool> claimed;   // being uploaded, not yet recorded
  std::vector<bool> linked;    // listed through a link, whose target may go unseen

 private:
  static std::uint32_t Offset(const std::string& bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) throw Exception("Folder listing too large");
    return static_cast<std::uint32_t>(bytes.size());
  }
  static std::string_view Slice(const std::string& bytes, const std::vector<std::uint32_t>& ends, std::size_t i) {
    const std::size_t start = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(start, ends[i] - start);
  }

  bool exact_;
  std::uint64_t prefixState_;
  std::string names_;
  std::vector<std::uint32_t> nameEnds_;
  std::string keys_;
  std::vector<std::uint32_t> keyEnds_;
  std::vector<std::uint32_t> table_;  // 1 + index of a file, 0 for an empty slot
  std::size_t mask_ = 0;
};

// Which ledger lines may exist: a bit array of fixed size (three bits per line), so that
// "certainly not in the ledger" costs no reading of it. Its size follows the ledger's up
// to a cap; beyond that more names look possible and cost a reading.
class LedgerQueue::Filter {
 public:
  explicit Filter(std::int64_t ledgerBytes) {
    std::size_t bits = std::size_t{1} << 16;
    while (bits < (std::size_t{1} << 25) && static_cast<std::int64_t>(bits) < ledgerBytes * 2) bits *= 2;
    words_.assign(bits / 64, 0);
    mask_ = bits - 1;
  }

  void Add(std::uint64_t hash) {
    for (int k = 0; k < 3; ++k) {
      const std::size_t bit = Bit(hash, k);
      words_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
  }

  bool MayHold(std::uint64_t hash) const {
    for (int k = 0; k < 3; ++k) {
      const std::size_t bit = Bit(hash, k);
      if ((words_[bit / 64] & (std::uint64_t{1} << (bit % 64))) == 0) return false;
    }
    return true;
  }

 private:
  std::size_t Bit(std::uint64_t hash, int k) const {
    const std::uint64_t mixed = Mixed(hash);
    return static_cast<std::size_t>((mixed + static_cast<std::uint64_t>(k) * ((mixed >> 32) | 1)) & mask_);
  }

  std::vector<std::uint64_t> words_;
  std::size_t mask_;
};

LedgerQueue::LedgerQueue(const std::string& sourceFolder, const std::string& configFolder)
    : source_(SplitFolderAndMasks(sourceFolder + "*.*").folder),
      ledgerPath_(configFolder + kLedgerFileName),
      tempPath_(configFolder + kLedgerTempFileName),
      exact_(!platform::FileNamesIgnoreCase()),
      keyPrefix_(exact_ ? source_ : platform::CaseFoldKey(source_)),
      prefixHash_(Hash(keyPrefix_)) {}

LedgerQueue::~LedgerQueue() = default;

std::int32_t LedgerQueue::Refresh() {
  bool read = !ledger_ || rereadLedger_;
  if (!ledger_) {
    OpenLedger();
  } else if (LedgerChanged()) {
    read = true;
  }
  const std::optional<platform::FileStatus> folder = platform::GetFileStatus(source_);
  const bool list = !listing_ || !folderTrusted_ || relist_ || !SameFolderStatus(folder, folderKnown_);
  if (list) {
    const std::int64_t listedAt = NowNs();
    auto fresh = std::make_unique<Listing>(exact_, prefixHash_);
    // Files only, and only names that one ledger line can hold: a directory or a FIFO
    // would fail to open and block every file after it, and a file that cannot be
    // recorded would be sent again at every start.
    bool complete = false;
    if (StorableAsLine(source_)) {
      complete = ForEachListedEntry(
          source_ + "*.*", kAllEntryAttributes & ~platform::NonFileAttributes(),
          [&](const std::string&, const std::string& name, std::uint32_t attributes) {
            if (StorableAsLine(name)) fresh->Add(name, (attributes & platform::kAttrLink) != 0);
          },
          OwnFiles());
    }
    fresh->Index();
    folderKnown_ = folder;
    relist_ = false;
    // A change of the entries sets the modification time (and the change time) to the
    // clock's time: an old time cannot stay the same through one. A listing cut short by
    // a failing read is used, and made again at the next step.
    folderTrusted_ = complete && folder && folder->modifiedNs < listedAt - kUntrustedNs;
    if (!read) {
      for (std::size_t i = 0; i < fresh->size() && !read; ++i) {
        const std::uint64_t hash = fresh->HashOf(i);
        const std::size_t before = listing_->Find(fresh->Key(i), hash);
        if (before != Listing::kNone) {
          fresh->recorded[i] = listing_->recorded[before];
        } else if (filter_->MayHold(hash)) {
          read = true;  // a name new to the run that the ledger may hold
        }
      }
    }
    listing_ = std::move(fresh);
    // Out of the queue as before the listing: claimed files, and skipped ones, which
    // count as claimed for good.
    for (const std::vector<std::string>* out : {&claimed_, &skipped_}) {
      for (const std::string& path : *out) {
        std::uint64_t hash = 0;
        const std::size_t index = IndexOf(path, hash);
        if (index != Listing::kNone) listing_->claimed[index] = true;
      }
    }
  }
  if (read) ReadLedger();
  if (read || list) FindFirst();
  DropGoneFirst();
  return queued_;
}

std::string LedgerQueue::First() const { return source_ + std::string(listing_->Name(first_)); }

void LedgerQueue::ReserveLine(const std::string& path) {
  // Reserving may set the file's times; that is no change by someone else.
  if (LedgerChanged()) rereadLedger_ = true;
  // The line, every claimed one, and the LF that may complete a last line's bare CR.
  std::int64_t bytes = static_cast<std::int64_t>(path.size()) + 3;
  for (const std::string& claimed : claimed_) bytes += static_cast<std::int64_t>(claimed.size()) + 2;
  ledger_->ReserveAppend(bytes);
  ledgerKnown_ = ledger_->Status();
}

std::string LedgerQueue::ClaimFirst() {
  std::string path = First();
  ReserveLine(path);
  claimed_.push_back(path);
  listing_->claimed[first_] = true;
  --queued_;
  SkipToWaiting();
  return path;
}

void LedgerQueue::Record(const std::string& path) { Record(std::vector<std::string>{path}); }

void LedgerQueue::Record(const std::vector<std::string>& paths) {
  // What someone else wrote since the run last read the ledger is read first, so that
  // their lines count and their unfinished last line is cut off before this one follows.
  bool reread = LedgerChanged() || rereadLedger_;
  if (reread) ReadLedger();
  std::string lines = LineBreakBeforeAppend(reread);
  for (const std::string& path : paths) lines += path + "\r\n";
  const std::int64_t before = ledger_->Status().size;
  try {
    ledger_->WriteBuffer(lines.data(), lines.size());
    ledger_->FlushToDisk();
  } catch (...) {
    // A part of a line would run into the next one: take it back where the system lets us.
    try {
      ledger_->SetSize(before);
    } catch (...) {
    }
    throw;
  }
  ledgerKnown_ = ledger_->Status();
  endsWithOwnLine_ = true;
  for (const std::string& path : paths) {
    ForgetClaim(path);
    std::uint64_t hash = 0;
    const std::size_t index = IndexOf(path, hash);
    filter_->Add(hash);
    if (index == Listing::kNone) continue;
    const bool waiting = listing_->Waiting(index);
    listing_->recorded[index] = true;
    listing_->claimed[index] = false;
    // A claimed file was counted out when it was claimed: its line changes neither the
    // count nor the first file, whatever order the uploads end in.
    if (!reread && waiting) {
      --queued_;
      if (index == first_) SkipToWaiting();
    }
  }
  if (reread) FindFirst();
}

void LedgerQueue::Skip(const std::string& path) {
  // A claimed file's line needs no room any more.
  ForgetClaim(path);
  skipped_.push_back(path);
  std::uint64_t hash = 0;
  const std::size_t index = IndexOf(path, hash);
  if (index == Listing::kNone) return;
  const bool waiting = listing_->Waiting(index);
  listing_->claimed[index] = true;
  if (waiting) {
    --queued_;
    if (index == first_) SkipToWaiting();
  }
}

void LedgerQueue::ForgetClaim(const std::string& path) {
  if (const auto at = std::find(claimed_.begin(), claimed_.end(), path); at != claimed_.end()) claimed_.erase(at);
}

std::size_t LedgerQueue::IndexOf(std::string_view path, std::uint64_t& hash) const {
  const std::string_view name = path.substr(source_.size());
  const std::string folded = exact_ ? std::string() : platform::CaseFoldKey(name);
  const std::string_view key = exact_ ? name : std::string_view(folded);
  hash = Hash(key, prefixHash_);
  return listing_->Find(key, hash);
}

std::string LedgerQueue::LineBreakBeforeAppend(bool& reread) {
  // Unchanged since the run's own last line (size and time tell): it ends with CR LF.
  if (endsWithOwnLine_ && !reread) return std::string();
  // Reading again cuts an unfinished last line; one that is there again at once is being
  // written by someone else right now, and this line must not run into it.
  for (int attempt = 0;; ++attempt) {
    const std::int64_t size = ledger_->Status().size;
    if (size == 0) return std::string();
    char last = 0;
    ledger_->SetPosition(size - 1);
    ledger_->ReadBuffer(&last, 1);
    if (last == '\n') return std::string();
    if (last == '\r') return "\n";  // a line that lost only its LF: completed, not kept as it is
    if (attempt == 2) throw EWriteError("Stream write error. Someone else is writing a line into the ledger");
    ReadLedger();
    reread = true;
  }
}

void LedgerQueue::OpenLedger() {
  // A directory in the ledger's place would take the ledger as a file inside it, and
  // every file would be sent again at every step.
  if (platform::DirectoryExists(ledgerPath_)) ThrowLedgerNotWritten(ledgerPath_, "A directory has that name");
  if (!platform::GetFileStatus(ledgerPath_)) {
    // The temporary file is the run's own scratch name: anything else standing there (a
    // link, a FIFO) would stop every first run until someone removed it by hand.
    if (platform::RemoveUnlessRegularFile(tempPath_)) {
      LogMessage(3, "Removed \"%s\", which was not a regular file, to write the ledger's temporary file there",
                 platform::ExpandFileName(tempPath_));
    }
    // An empty ledger, made to appear whole: created aside and renamed unless another
    // run made one first.
    platform::CreateEmptyFileVia(tempPath_, ledgerPath_);
    if (platform::DirectoryExists(ledgerPath_)) ThrowLedgerNotWritten(ledgerPath_, "A directory has that name");
  }
  ledger_ = platform::TFileStream::OpenAppendLocked(ledgerPath_);
  relist_ = true;
}

bool LedgerQueue::LedgerChanged() {
  const std::optional<platform::FileStatus> path = platform::GetFileStatus(ledgerPath_);
  const platform::FileStatus open = ledger_->Status();
  if (!path || path->isDirectory || path->device != open.device || path->fileId != open.fileId) {
    ledger_.reset();  // removed or replaced: the file now at the path is the ledger
    OpenLedger();
    return true;
  }
  return open.size != ledgerKnown_.size || open.modifiedNs != ledgerKnown_.modifiedNs;
}

void LedgerQueue::ReadLedger() {
  rereadLedger_ = false;
  endsWithOwnLine_ = false;
  listing_->recorded.assign(listing_->size(), false);
  const std::int64_t size = ledger_->Status().size;
  filter_ = std::make_unique<Filter>(size);
  ledger_->SetPosition(0);
  std::string folded;
  const TextLineScan scan = ForEachTextLine(*ledger_, [&](std::string_view line, bool ended) {
    // Only lines of the source folder can name a listed file. Where case is ignored, the
    // folder and the name are folded apart: a sort key of the whole line is not the
    // folder's key followed by the name's.
    if (!ended || line.size() < source_.size()) return;
    const std::string_view folder = line.substr(0, source_.size());
    if (exact_ ? folder != keyPrefix_ : platform::CaseFoldKey(folder) != keyPrefix_) return;
    std::string_view key = line.substr(source_.size());
    if (!exact_) {
      folded = platform::CaseFoldKey(key);
      key = folded;
    }
    const std::uint64_t hash = Hash(key, prefixHash_);
    filter_->Add(hash);
    const std::size_t index = listing_->Find(key, hash);
    if (index != Listing::kNone) listing_->recorded[index] = true;
  });
  // A last line without its line break is what a write cut short leaves (or a hand edit
  // without one): the next line would run into it, and what is left of a path may name
  // another file. It is cut off, with anything after a 0 byte, which no reader sees.
  if (scan.complete < size) {
    ledger_->SetSize(scan.complete);
    ledger_->FlushToDisk();
  }
  ledgerKnown_ = ledger_->Status();
}

void LedgerQueue::FindFirst() {
  first_ = listing_->size();
  queued_ = 0;
  for (std::size_t i = listing_->size(); i-- > 0;) {
    if (!listing_->Waiting(i)) continue;
    first_ = i;
    ++queued_;
  }
}

void LedgerQueue::DropGoneFirst() {
  // A file that goes, or is replaced, changes the folder's times, and the folder is listed
  // again; the target of a link can go without that. So a linked first file is looked at.
  while (first_ < listing_->size() && listing_->linked[first_]) {
    const std::optional<platform::FileStatus> status = platform::GetFileStatus(First());
    if (status && status->isRegular) return;
    listing_->dropped[first_] = true;
    --queued_;
    SkipToWaiting();
  }
}

void LedgerQueue::SkipToWaiting() {
  while (first_ < listing_->size() && !listing_->Waiting(first_)) ++first_;
}

std::vector<platform::FileStatus> LedgerQueue::OwnFiles() const {
  std::vector<platform::FileStatus> own{ledger_->Status()};
  // The temporary file only as what the run would write: a link there is not it.
  const std::optional<platform::FileStatus> temp = platform::GetFileStatus(tempPath_, false);
  if (temp && temp->isRegular) own.push_back(*temp);
  return own;
}

}  // namespace qb
