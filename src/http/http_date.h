// HTTP dates (RFC 7231 section 7.1.1.1) for the Date, Expires, Last-Modified and
// If-Modified-Since headers. A date-time is the runtime's value: days since 30 December
// 1899, the fraction being the time of day; 0 means "not set". The header fields hold
// Coordinated Universal Time, so no time zone enters the conversion.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb {

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(double dateTime);

// Reads the three forms a server may send (IMF-fixdate, the obsolete RFC 850 form with a
// two-digit year, and the C asctime form), with "GMT", "UTC" or a numeric offset such
// as "+0200"; nothing for text that is not a complete date and time.
std::optional<double> ParseHttpDate(std::string_view text);

}  // namespace qb
