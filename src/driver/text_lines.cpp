// Implementation details: a ledger may hold hundreds of thousands of lines, so the text is
// read in blocks and each block split as it arrives (a CR at the end of one block and an
// LF at the start of the next end one entry).
#include "driver/text_lines.h"

#include <string>
#include <vector>

namespace qb {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

bool StorableAsLine(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos; }

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

}  // namespace qb
