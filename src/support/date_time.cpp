// Implementation details: the day count uses the proleptic Gregorian calendar through a
// days-from-civil conversion over 400-year eras, so every year 1..9999 is exact without
// tables. Decoding rounds the whole value to milliseconds first, as the runtime does, so
// 23:59:59.9996 becomes the next day's midnight rather than second 60.
#include "support/date_time.h"

#include <cmath>
#include <cstdint>

#include "support/exception.h"
#include "support/format.h"

namespace qb {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

const std::int64_t kEpochDays = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A run of decimal digits from `i`; 0 when there is none. Saturates instead of
// overflowing, so that an absurd field fails the encoding instead of wrapping.
int ReadDigits(std::string_view text, std::size_t& i) {
  std::int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (value < 1000000000) value = value * 10 + (text[i] - '0');
    ++i;
  }
  return static_cast<int>(value);
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

std::optional<TDateTime> TryEncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    return std::nullopt;
  }
  return static_cast<TDateTime>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                                kEpochDays);
}

std::optional<TDateTime> TryEncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999) {
    return std::nullopt;
  }
  const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<TDateTime>(ms) / kMsPerDay;
}

TDateTime EncodeDate(int year, int month, int day) {
  if (const auto value = TryEncodeDate(year, month, day)) return *value;
  throw EConvertError("Invalid argument to date encode");
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (const auto value = TryEncodeTime(hour, minute, second, millisecond)) return *value;
  throw EConvertError("Invalid argument to time encode");
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
  const TDateTime date = EncodeDate(p.year, p.month, p.day);
  const TDateTime time = EncodeTime(p.hour, p.minute, p.second, p.millisecond);
  // Before day 0 the time still counts forward from that day's midnight.
  return date < 0 ? date - time : date + time;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  // Years 1..9999 lie within these day numbers; anything else (or NaN) has no fields.
  if (!(value > -693594.0 && value < 2958466.0)) throw EConvertError("Invalid argument to date decode");
  const auto total = static_cast<std::int64_t>(std::llround(value * kMsPerDay));
  const std::int64_t days = total / kMsPerDay;  // truncates towards zero, as the scale wants
  std::int64_t ms = total % kMsPerDay;
  if (ms < 0) ms = -ms;
  DateTimeParts p;
  CivilFromDays(kEpochDays + days, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  p.second = static_cast<int>(ms % 60);
  ms /= 60;
  p.minute = static_cast<int>(ms % 60);
  p.hour = static_cast<int>(ms / 60);
  return p;
}

std::string DateTimeToXmlText(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return Format("%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", p.year, p.month, p.day, p.hour, p.minute, p.second);
}

TDateTime XmlTextToDateTime(std::string_view text) {
  DateTimeParts p;
  int* const fields[] = {&p.year, &p.month, &p.day, &p.hour, &p.minute, &p.second};
  static constexpr char kSeparators[] = {'-', '-', 'T', ':', ':'};
  std::size_t i = 0;
  for (std::size_t f = 0; f < 6; ++f) {
    *fields[f] = ReadDigits(text, i);
    if (f == 5) break;
    if (i >= text.size() || text[i] != kSeparators[f]) break;
    ++i;
  }
  return EncodeDateTime(p);
}

}  // namespace qb
