// Implementation details: the parser reads the text as tokens (words, numbers, a time
// hh:mm:ss and an optional zone) instead of matching three fixed layouts, so that the
// usual small deviations of servers (one-digit days, missing weekday) are still read.
#include "http/http_date.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Days from 1970-01-01 to the date-time origin 1899-12-30.
constexpr std::int64_t kOriginDays = -25569;

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

}  // namespace

std::string FormatHttpDate(double dateTime) {
  // Round to whole seconds first so that 23:59:59.9996 does not print as 24:00:00.
  const auto seconds = static_cast<std::int64_t>(std::llround(dateTime * 86400.0));
  std::int64_t days = seconds / 86400;
  std::int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const std::int64_t unixDays = days + kOriginDays;
  std::int64_t year;
  int month, day;
  CivilFromDays(unixDays, year, month, day);
  const int weekday = static_cast<int>(((unixDays % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  return Format("%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", kDays[weekday], day, kMonths[month - 1],
                static_cast<long long>(year), static_cast<int>(secondOfDay / 3600),
                static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
}

std::optional<double> ParseHttpDate(std::string_view text) {
  // Words are separated by blanks and commas; the RFC 850 date "06-Nov-94" splits at its
  // hyphens, while a zone offset "-0500" stays one word.
  std::vector<std::string_view> tokens;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t end = std::min(text.find_first_of(" \t,", i), text.size());
    std::string_view word = text.substr(i, end - i);
    i = end + 1;
    if (word.size() == 5 && (word[0] == '+' || word[0] == '-') && AllDigits(word.substr(1))) {
      tokens.push_back(word);
      continue;
    }
    for (std::size_t at = 0; at <= word.size();) {
      const std::size_t hyphen = std::min(word.find('-', at), word.size());
      if (hyphen > at) tokens.push_back(word.substr(at, hyphen - at));
      at = hyphen + 1;
    }
  }
  int day = -1, month = -1, year = -1, hour = -1, minute = 0, second = 0, offsetMinutes = 0;
  for (const std::string_view token : tokens) {
    if (token.find(':') != std::string_view::npos) {
      if (hour >= 0 || token.size() != 8 || token[2] != ':' || token[5] != ':' || !AllDigits(token.substr(0, 2)) ||
          !AllDigits(token.substr(3, 2)) || !AllDigits(token.substr(6, 2))) {
        return std::nullopt;
      }
      hour = Number(token.substr(0, 2));
      minute = Number(token.substr(3, 2));
      second = Number(token.substr(6, 2));
    } else if (AllDigits(token)) {
      if (day < 0 && token.size() <= 2) {
        day = Number(token);
      } else if (year < 0 && (token.size() == 2 || token.size() == 4)) {
        year = Number(token);
        if (token.size() == 2) year += year < 70 ? 2000 : 1900;  // RFC 6265 section 5.1.1
      } else {
        return std::nullopt;
      }
    } else if (token.size() == 5 && (token[0] == '+' || token[0] == '-') && AllDigits(token.substr(1))) {
      offsetMinutes = (Number(token.substr(1, 2)) * 60 + Number(token.substr(3, 2))) * (token[0] == '-' ? -1 : 1);
    } else if (month < 0) {
      for (int m = 0; m < 12; ++m) {
        if (SameTextAscii(token, kMonths[m])) month = m + 1;
      }
    }
  }
  if (day < 1 || month < 0 || year < 0 || hour < 0 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (day > kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
  // A leap second is read as the last second of its minute.
  const double secondOfDay = hour * 3600.0 + minute * 60.0 + std::min(second, 59) - offsetMinutes * 60.0;
  return static_cast<double>(DaysFromCivil(year, month, day) - kOriginDays) + secondOfDay / 86400.0;
}

}  // namespace qb
