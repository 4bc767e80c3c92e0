// The string list that the upload queue and its ledger are made of: an ordered sequence of
// 8-bit strings, duplicates allowed, handed out as the reference-counted IQbStringList,
// with the ledger's text-file format (every entry followed by CR LF).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/exception.h"
#include "support/ref_counted.h"
#include "support/stream.h"

namespace qb {

// An index outside the list: "List index out of bounds (%d)".
QB_DECLARE_EXCEPTION(EStringListError, Exception);

class TQbStringList;

class IQbStringList : public RefCounted {
 public:
  // Appends `text` at the end and returns its index.
  virtual int Add(std::string_view text) = 0;
  virtual int Count() const = 0;
  // The entry at `index` (0 to Count() - 1); EStringListError otherwise.
  virtual const std::string& Item(int index) const = 0;
  // Index of the first entry equal to `text` under the list's case mode, or -1.
  virtual int IndexOf(std::string_view text) const = 0;
  // Removes the entry at `index`; later entries move down by one.
  virtual void Delete(int index) = 0;
  // Replaces the content with the entries of a text file, opened while other processes
  // may read it but not write it. EFOpenError when it cannot be opened; the list is left
  // as it was when the file cannot be opened or read.
  virtual Ref<IQbStringList> LoadFromFile(const std::string& path) = 0;
  // Creates the file, or truncates an existing one, and writes the list to it.
  // EFCreateError when it cannot be created; EStringListError, before the file is
  // touched, when an entry holds a byte that the format cannot keep (CR, LF, 0).
  // With `flushToDisk` the bytes are on the disk when it returns (a file that is about
  // to replace another one needs that); without, they may still sit in the system's cache.
  virtual Ref<IQbStringList> SaveToFile(const std::string& path, bool flushToDisk) = 0;
  Ref<IQbStringList> SaveToFile(const std::string& path) { return SaveToFile(path, true); }
  // The list object itself, for routines that take a plain list.
  virtual TQbStringList& List() = 0;
};

class TQbStringList final : public IQbStringList {
 public:
  TQbStringList() = default;

  int Add(std::string_view text) override;
  int Count() const override { return static_cast<int>(items_.size()); }
  const std::string& Item(int index) const override;
  int IndexOf(std::string_view text) const override;
  void Delete(int index) override;
  Ref<IQbStringList> LoadFromFile(const std::string& path) override;
  Ref<IQbStringList> SaveToFile(const std::string& path, bool flushToDisk) override;
  using IQbStringList::SaveToFile;
  TQbStringList& List() override { return *this; }

  // Equality of entries: off (the default) compares ignoring letter case under the
  // user's locale, on compares the bytes.
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool on) { caseSensitive_ = on; }
  // Whether two texts are equal under the list's case mode.
  bool SameEntry(std::string_view a, std::string_view b) const;

  void Clear() { items_.clear(); }
  const std::vector<std::string>& Items() const { return items_; }

  // Removes the entries whose flag in `marked` (one per entry) is set, keeping the order
  // of the rest, in one pass.
  void DeleteMarked(const std::vector<bool>& marked);

  // The text format over any stream: loading reads from the current position to the end
  // (or the first 0 byte) and replaces the content only once all of it is read; saving
  // writes every entry followed by CR LF.
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;

 private:
  // Only references own a list, so that the one returned by LoadFromFile and SaveToFile
  // can never outlive it.
  ~TQbStringList() override = default;

  std::size_t CheckedIndex(int index) const;
  // EStringListError when an entry cannot be written as one line of the text format.
  void CheckStorable() const;

  std::vector<std::string> items_;
  bool caseSensitive_ = false;
};

// What reading the text format found, in bytes from where the reading began.
struct TextLineScan {
  std::int64_t text = 0;      // bytes before the first 0 byte (the whole text without one)
  std::int64_t complete = 0;  // bytes up to the end of the last line break within them
  bool stoppedAtZero = false;
};

// Reads the text format from `stream` (from its position to the end, or to the first 0
// byte) and hands every entry to `line` as it is found, with whether a line break ended
// it (only a final entry may lack one). The text is valid only during the call.
TextLineScan ForEachTextLine(TStream& stream, const std::function<void(std::string_view, bool)>& line);

// A new empty list (case ignored).
Ref<IQbStringList> CreateQbStringList();

// Whether `text` can be one entry of the text format: it holds no CR, LF or 0 byte. POSIX
// file names may hold line breaks, and such a path cannot be recorded in a ledger.
bool StorableAsLine(std::string_view text);

}  // namespace qb
