// Date-time values of the runtime: a double counting days since 1899-12-30, the fraction
// being the time of day. Encoding checks its fields and raises the calendar's conversion
// errors; the XML text form is year-month-day "T" hours:minutes:seconds.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb {

using TDateTime = double;

// Day 0 of the date-time scale.
inline constexpr int kDateTimeEpochYear = 1899;

struct DateTimeParts {
  int year = 0;   // 1..9999
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const DateTimeParts&, const DateTimeParts&) = default;
};

bool IsLeapYear(int year);

// Nothing when a field is out of range (year 1..9999, a day that the month has; hour
// 0..23, minute and second 0..59, millisecond 0..999).
std::optional<TDateTime> TryEncodeDate(int year, int month, int day);
std::optional<TDateTime> TryEncodeTime(int hour, int minute, int second, int millisecond);

// The raising forms: EConvertError "Invalid argument to date encode" or
// "Invalid argument to time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TDateTime EncodeDateTime(const DateTimeParts& parts);

// Fields of a value, rounded to the millisecond. Before day 0 the fraction still counts
// forward from midnight (-1.25 is 1899-12-29 06:00). A value outside years 1..9999 or not
// a number raises EConvertError "Invalid argument to date decode".
DateTimeParts DecodeDateTime(TDateTime value);

// "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", milliseconds dropped.
std::string DateTimeToXmlText(TDateTime value);

// Reads year "-" month "-" day "T" hour ":" minute ":" second from the start of the text;
// a missing separator ends the reading and leaves the later fields 0, so a bare date
// gives midnight. The fields are then encoded (raising on impossible values).
TDateTime XmlTextToDateTime(std::string_view text);

}  // namespace qb
