// Implementation details: a ledger may hold hundreds of thousands of lines, so loading
// reads the file in blocks and splits each block as it arrives (a CR at the end of one
// block and an LF at the start of the next end one entry), and saving gathers lines into
// blocks before writing. A load builds a new sequence and swaps it in only at the end, so
// a read error leaves the list as it was.
#include "driver/string_list.h"

#include "platform/files.h"
#include "platform/locale.h"
#include "support/format.h"

namespace qb {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

bool StorableAsLine(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos; }

std::size_t TQbStringList::CheckedIndex(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError(Format("List index out of bounds (%d)", index));
  return static_cast<std::size_t>(index);
}

int TQbStringList::Add(std::string_view text) {
  items_.emplace_back(text);
  return Count() - 1;
}

const std::string& TQbStringList::Item(int index) const { return items_[CheckedIndex(index)]; }

bool TQbStringList::SameEntry(std::string_view a, std::string_view b) const {
  return caseSensitive_ ? a == b : platform::SameTextLocale(a, b);
}

int TQbStringList::IndexOf(std::string_view text) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (SameEntry(items_[i], text)) return static_cast<int>(i);
  }
  return -1;
}

void TQbStringList::Delete(int index) {
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(CheckedIndex(index)));
}

void TQbStringList::DeleteMarked(const std::vector<bool>& marked) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i < marked.size() && marked[i]) continue;
    if (kept != i) items_[kept] = std::move(items_[i]);
    ++kept;
  }
  items_.resize(kept);
}

TextLineScan ForEachTextLine(TStream& stream, const std::function<void(std::string_view, bool)>& line) {
  TextLineScan scan;
  std::string pending;     // text of the entry not yet ended by a break
  bool pendingCr = false;  // the previous block ended with CR: an LF now ends nothing
  std::vector<char> block(kBlockSize);
  for (;;) {
    const std::size_t size = stream.Read(block.data(), block.size());
    if (size == 0) break;
    const std::string_view bytes(block.data(), size);
    std::size_t at = pendingCr && bytes[0] == '\n' ? 1 : 0;
    if (at == 1) scan.complete = scan.text + 1;
    pendingCr = false;
    bool stop = false;
    while (at < size) {
      const std::size_t end = bytes.find_first_of(std::string_view("\r\n\0", 3), at);
      if (end == bytes.npos) {
        pending.append(bytes.substr(at));
        break;
      }
      pending.append(bytes.substr(at, end - at));
      if (bytes[end] == '\0') {  // the rest of the file is ignored
        scan.stoppedAtZero = true;
        scan.text += static_cast<std::int64_t>(end);
        stop = true;
        break;
      }
      line(pending, true);
      pending.clear();
      at = end + 1;
      if (bytes[end] == '\r') {
        if (at == size) {
          pendingCr = true;
        } else if (bytes[at] == '\n') {
          ++at;
        }
      }
      scan.complete = scan.text + static_cast<std::int64_t>(at);
    }
    if (stop) break;
    scan.text += static_cast<std::int64_t>(size);
  }
  // Text after the last break is a final entry; a file ending in a break adds none.
  if (!pending.empty()) line(pending, false);
  return scan;
}

void TQbStringList::LoadFromStream(TStream& stream) {
  std::vector<std::string> loaded;
  ForEachTextLine(stream, [&](std::string_view entry, bool) { loaded.emplace_back(entry); });
  items_.swap(loaded);
}

void TQbStringList::CheckStorable() const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (StorableAsLine(items_[i])) continue;
    // Written as it is, the entry would come back as other entries (or cut the file
    // short at the 0 byte), and a path recorded that way would never match again.
    std::string shown = items_[i];
    for (char& c : shown) {
      if (c == '\r' || c == '\n' || c == '\0') c = '?';
    }
    throw EStringListError(
        Format("List entry %d (\"%s\") holds a line break or a 0 byte, which a line of a text file cannot keep",
               static_cast<int>(i), shown));
  }
}

void TQbStringList::SaveToStream(TStream& stream) const {
  CheckStorable();
  std::string buffer;
  buffer.reserve(kBlockSize + kLineEnd.size());
  for (const std::string& item : items_) {
    buffer += item;
    buffer += kLineEnd;
    if (buffer.size() >= kBlockSize) {
      stream.WriteBuffer(buffer.data(), buffer.size());
      buffer.clear();
    }
  }
  if (!buffer.empty()) stream.WriteBuffer(buffer.data(), buffer.size());
}

Ref<IQbStringList> TQbStringList::LoadFromFile(const std::string& path) {
  const auto file = platform::TFileStream::OpenReadExclusive(path);
  LoadFromStream(*file);
  return Ref<IQbStringList>(this);
}

Ref<IQbStringList> TQbStringList::SaveToFile(const std::string& path, bool flushToDisk) {
  CheckStorable();  // before the file is created, so an existing file is not truncated
  const auto file = platform::TFileStream::Create(path);
  SaveToStream(*file);
  // A file moved into place right after it is saved must have its bytes on the disk by
  // then, and a write error that shows only now must still be raised here.
  if (flushToDisk) file->FlushToDisk();
  return Ref<IQbStringList>(this);
}

Ref<IQbStringList> CreateQbStringList() { return MakeRef<TQbStringList>(); }

}  // namespace qb
