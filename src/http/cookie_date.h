// Times of the cookie store and the cookie date grammar of "Expires" attributes. Cookie
// times are UTC with millisecond resolution, from 1 January 0001 to the end of 9999.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qb {

using TNetCookieTime = std::chrono::sys_time<std::chrono::milliseconds>;

// The earliest cookie time, given to cookies that a server deletes with a negative age.
inline constexpr TNetCookieTime kCookieTimeMin{std::chrono::sys_days{std::chrono::year{1} / 1 / 1}};
// The expiry of a session cookie: 31 December 9999 23:59:59.999.
inline constexpr TNetCookieTime kCookieTimeMax{std::chrono::sys_days{std::chrono::year{10000} / 1 / 1} -
                                               std::chrono::milliseconds{1}};

// Reads a cookie date (RFC 6265 section 5.1.1): the tokens between delimiters give a time
// "h:m:s", a day of the month, a month name (its first three letters count) and a year,
// in any order, with anything else ignored. This covers the RFC 1123 form
// ("Sun, 06 Nov 1994 08:49:37 GMT"), the older "Sunday, 06-Nov-94 08:49:37 GMT" and
// "Sun Nov  6 08:49:37 1994" forms and the common variants of them. Two-digit years 70-99
// are 1970-1999, 00-69 are 2000-2069. Zones are ignored: every date is UTC. Nothing when
// a part is missing, out of range, or the day does not exist in that month.
std::optional<TNetCookieTime> ParseCookieDate(std::string_view text);

// `now` plus `seconds` (which may be negative), kept within the cookie time range.
TNetCookieTime AddCookieSeconds(TNetCookieTime now, std::int64_t seconds);

}  // namespace qb
