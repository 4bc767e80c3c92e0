// Ledger text and file masks from outside. The first byte picks the target:
// - even: the bytes read as a ledger; no entry holds a break or a 0 byte, only the last
//   may lack its break, the text before `complete` reads as the same ended entries, and
//   writing them with CR LF and reading again gives the same entries;
// - odd: the rest is "name\nmask"; MatchesMask agrees with a table-filling matcher.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver/file_mask.h"
#include "driver/text_lines.h"
#include "platform/codepage.h"
#include "platform/locale.h"

namespace {

std::vector<std::string_view> Characters(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = qb::platform::CharLength(text, at);
    out.push_back(text.substr(at, length));
    at += length;
  }
  return out;
}

// covers[i][j]: the first i mask characters cover the first j name characters.
bool CoversByTable(std::string_view name, std::string_view mask) {
  const auto n = Characters(name);
  const auto m = Characters(mask);
  std::vector<std::vector<char>> covers(m.size() + 1, std::vector<char>(n.size() + 1, 0));
  covers[0][0] = 1;
  for (std::size_t i = 1; i <= m.size(); ++i) {
    const bool star = m[i - 1] == "*";
    covers[i][0] = star && covers[i - 1][0];
    for (std::size_t j = 1; j <= n.size(); ++j) {
      covers[i][j] = star ? (covers[i - 1][j] || covers[i][j - 1])
                          : (covers[i - 1][j - 1] && (m[i - 1] == "?" || m[i - 1] == n[j - 1]));
    }
  }
  return covers[m.size()][n.size()];
}

bool MatchesByTable(std::string_view name, std::string_view mask) {
  if (mask.empty() || mask == "*" || mask == "*.*") return true;
  const std::string upperName = qb::platform::UpperCaseLocale(name);
  const std::string upperMask = qb::platform::UpperCaseLocale(mask);
  if (name.find('.') == std::string_view::npos && CoversByTable(upperName + '.', upperMask)) return true;
  return CoversByTable(upperName, upperMask);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    const auto read = [](std::string_view bytes, std::vector<std::string>& entries, bool& unended) {
      qb::TMemoryStream stream(bytes);
      unended = false;
      return qb::ForEachTextLine(stream, [&](std::string_view line, bool ended) {
        if (unended) std::abort();  // an entry without its break after another one
        unended = !ended;
        entries.emplace_back(line);
      });
    };
    std::vector<std::string> entries;
    bool unended = false;
    const qb::TextLineScan scan = read(input, entries, unended);
    std::string written;
    for (const std::string& entry : entries) {
      if (!qb::StorableAsLine(entry)) std::abort();
      written += entry + "\r\n";
    }
    std::vector<std::string> complete;
    bool cut = false;
    read(input.substr(0, static_cast<std::size_t>(scan.complete)), complete, cut);
    const std::vector<std::string> ended(entries.begin(), entries.end() - (unended ? 1 : 0));
    if (cut || complete != ended) std::abort();
    std::vector<std::string> again;
    read(written, again, cut);
    if (cut || again != entries) std::abort();
  } else {
    const std::size_t split = input.find('\n');
    if (split == std::string_view::npos || input.size() > 512) return 0;
    const std::string_view name = input.substr(0, split);
    const std::string_view mask = input.substr(split + 1);
    if (qb::MatchesMask(name, mask) != MatchesByTable(name, mask)) std::abort();
  }
  return 0;
}
