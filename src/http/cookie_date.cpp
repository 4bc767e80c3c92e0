// Implementation details: one pass over the text splits it into tokens; each token is
// tried, in order, as the time, the day of the month, the month and the year, and fills
// the first of those still missing that it matches (RFC 6265 section 5.1.1). The checks
// read at most a few characters of a token, so a long token costs no more than its scan.
#include "http/cookie_date.h"

#include <array>

namespace qb {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// delimiter = %x09 / %x20-2F / %x3B-40 / %x5B-60 / %x7B-7E
bool IsDelimiter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) || (u >= 0x5B && u <= 0x60) ||
         (u >= 0x7B && u <= 0x7E);
}

// Reads minDigits..maxDigits digits at `pos`, which must be followed by the end of the
// token or a non-digit. Advances `pos` past the digits.
std::optional<int> ReadDigits(std::string_view token, std::size_t& pos, std::size_t minDigits, std::size_t maxDigits) {
  std::size_t end = pos;
  int value = 0;
  while (end < token.size() && IsDigit(token[end]) && end - pos < maxDigits) {
    value = value * 10 + (token[end] - '0');
    ++end;
  }
  if (end - pos < minDigits) return std::nullopt;
  if (end < token.size() && IsDigit(token[end])) return std::nullopt;
  pos = end;
  return value;
}

// hms-time = time-field ":" time-field ":" time-field, then a non-digit or the end.
bool ReadTime(std::string_view token, int& hour, int& minute, int& second) {
  std::size_t pos = 0;
  const auto h = ReadDigits(token, pos, 1, 2);
  if (!h || pos >= token.size() || token[pos++] != ':') return false;
  const auto m = ReadDigits(token, pos, 1, 2);
  if (!m || pos >= token.size() || token[pos++] != ':') return false;
  const auto s = ReadDigits(token, pos, 1, 2);
  if (!s) return false;
  hour = *h;
  minute = *m;
  second = *s;
  return true;
}

std::optional<unsigned> ReadMonth(std::string_view token) {
  static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                               "jul", "aug", "sep", "oct", "nov", "dec"};
  if (token.size() < 3) return std::nullopt;
  char prefix[3];
  for (int i = 0; i < 3; ++i) {
    const char c = token[static_cast<std::size_t>(i)];
    prefix[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  for (unsigned i = 0; i < kMonths.size(); ++i) {
    if (std::string_view(prefix, 3) == kMonths[i]) return i + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<TNetCookieTime> ParseCookieDate(std::string_view text) {
  std::optional<int> hour, minute, second, day, year;
  std::optional<unsigned> month;

  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsDelimiter(text[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
    const std::string_view token = text.substr(start, pos - start);
    if (token.empty()) continue;

    const auto number = [token](std::size_t minDigits, std::size_t maxDigits) {
      std::size_t at = 0;
      return ReadDigits(token, at, minDigits, maxDigits);
    };
    int h = 0, m = 0, s = 0;
    if (!hour && ReadTime(token, h, m, s)) {
      hour = h;
      minute = m;
      second = s;
    } else if (!day && number(1, 2)) {
      day = number(1, 2);
    } else if (!month && ReadMonth(token)) {
      month = ReadMonth(token);
    } else if (!year && number(2, 4)) {
      year = number(2, 4);
    }
  }
  if (!hour || !day || !month || !year) return std::nullopt;

  int fullYear = *year;
  if (fullYear >= 70 && fullYear <= 99) fullYear += 1900;
  if (fullYear >= 0 && fullYear <= 69) fullYear += 2000;
  if (*day < 1 || *day > 31 || fullYear < 1601 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{fullYear}, std::chrono::month{*month},
                                         std::chrono::day{static_cast<unsigned>(*day)}};
  if (!date.ok()) return std::nullopt;  // 30 February and the like
  return TNetCookieTime{std::chrono::sys_days{date}} + std::chrono::hours{*hour} + std::chrono::minutes{*minute} +
         std::chrono::seconds{*second};
}

TNetCookieTime AddCookieSeconds(TNetCookieTime now, std::int64_t seconds) {
  using std::chrono::milliseconds;
  // Both bounds are within ±400,000 years of each other, far inside the 64-bit range of
  // milliseconds, so clamping the seconds first keeps the sum from overflowing.
  const std::int64_t span = std::chrono::duration_cast<std::chrono::seconds>(kCookieTimeMax - kCookieTimeMin).count();
  if (seconds > span) return kCookieTimeMax;
  if (seconds < -span) return kCookieTimeMin;
  if (now < kCookieTimeMin) now = kCookieTimeMin;
  if (now > kCookieTimeMax) now = kCookieTimeMax;
  const TNetCookieTime result = now + milliseconds{seconds * 1000};
  if (result > kCookieTimeMax) return kCookieTimeMax;
  if (result < kCookieTimeMin) return kCookieTimeMin;
  return result;
}

}  // namespace qb
