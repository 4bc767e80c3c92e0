// Implementation details: matching walks name and mask once, remembering only the last
// "*" seen; on a mismatch that "*" takes one more character and matching resumes after
// it. An earlier "*" never needs to take more, so the work is bounded by the product of
// the two lengths whatever the mask ("*a*a*a*a*b" included), with no recursion. Positions
// advance by whole characters of the program's code page, so "?" takes a multi-byte
// character as one.
#include "driver/file_mask.h"

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/locale.h"

namespace qb {

FolderAndMasks SplitFolderAndMasks(std::string_view path) {
  FolderAndMasks result;
  // The folder keeps its final separator: that is the text a name is prefixed with and
  // the folder the platform enumerates (a root "/" stays "/", "dir/" lists "dir"). A
  // Windows drive-relative "C:" stays "C:" rather than turning into the root "C:\".
  const std::size_t separator = platform::LastPathSeparator(path);
  std::string_view rest = path;
  if (separator != std::string_view::npos) {
    result.folder = std::string(path.substr(0, separator + 1));
    rest = path.substr(separator + 1);
  }
  while (!rest.empty()) {
    const std::size_t semicolon = rest.find(';');
    result.masks.emplace_back(rest.substr(0, semicolon));
    rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
  }
  return result;
}

namespace {

// Whether `pattern` covers the whole of `text`, both already upper-cased.
bool Covers(std::string_view text, std::string_view pattern) {
  std::size_t at = 0;                         // position in text
  std::size_t pos = 0;                        // position in pattern
  std::size_t star = std::string_view::npos;  // pattern position of the last "*"
  std::size_t starAt = 0;                     // text position that "*" has reached
  while (at < text.size()) {
    if (pos < pattern.size()) {
      if (pattern[pos] == '*') {
        star = pos++;
        starAt = at;
        continue;
      }
      const std::size_t textLength = platform::CharLength(text, at);
      const std::size_t patternLength = platform::CharLength(pattern, pos);
      if (pattern[pos] == '?' || pattern.substr(pos, patternLength) == text.substr(at, textLength)) {
        pos += patternLength;
        at += textLength;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    starAt += platform::CharLength(text, starAt);
    at = starAt;
    pos = star + 1;
  }
  while (pos < pattern.size() && pattern[pos] == '*') ++pos;
  return pos == pattern.size();
}

}  // namespace

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask.empty() || mask == "*" || mask == "*.*") return true;
  const std::string text = platform::UpperCaseLocale(name);
  const std::string pattern = platform::UpperCaseLocale(mask);
  // The "." given to a name without one lets "*." select such names; the name as it is
  // is tried too, or a mask would never match a name without "." that it spells out
  // ("README") or ends with ("*c").
  if (name.find('.') == std::string_view::npos && Covers(text + '.', pattern)) return true;
  return Covers(text, pattern);
}

}  // namespace qb
