// The ledger's text format: one entry per line, every line ended by CR LF when written;
// on reading, CR, LF or CR LF ends a line and the first 0 byte ends the text.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "support/stream.h"

namespace qb {

// What reading the text format found, in bytes from where the reading began.
struct TextLineScan {
  std::int64_t text = 0;      // bytes before the first 0 byte (the whole text without one)
  std::int64_t complete = 0;  // bytes up to the end of the last line break within them
  bool stoppedAtZero = false;
};

// Reads the text format from `stream` (from its position to the end, or to the first 0
// byte) and hands every entry to `line` as it is found, with whether a line break ended
// it (only a final entry may lack one). The text is valid only during the call. Text after
// the last break is a final entry; a text ending in a break adds none; empty lines between
// breaks are empty entries; entries are not trimmed.
TextLineScan ForEachTextLine(TStream& stream, const std::function<void(std::string_view, bool)>& line);

// Whether `text` can be one entry of the text format: it holds no CR, LF or 0 byte. POSIX
// file names may hold line breaks, and such a path cannot be recorded in a ledger.
bool StorableAsLine(std::string_view text);

}  // namespace qb
