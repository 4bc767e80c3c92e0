// Byte-string helpers of the runtime: trimming, ASCII case mapping, the integer
// conversion rules that the command line and the XML attributes share, percent escapes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// Removes the characters with codes 0 to 32 from both ends (or one end).
std::string_view Trim(std::string_view text);
std::string_view TrimLeft(std::string_view text);
std::string_view TrimRight(std::string_view text);
// The items of a list that `separator` divides, each trimmed; empty items are left out.
std::vector<std::string> SplitTrimmed(std::string_view text, char separator);
// Whether Trim removes `c`: a blank or any byte below it (codes 0 to 32).
bool IsTrimmedByte(char c);
// A control byte: codes 0 to 31 and DEL (127). Tab is one; the rules that allow it say so.
bool IsControlByte(char c);

// Maps only a..z onto A..Z (or back); every other byte stays as it is.
std::string UpperCaseAscii(std::string_view text);
std::string LowerCaseAscii(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsTextAscii(std::string_view prefix, std::string_view text);

// The runtime's integer reading: leading blanks, an optional sign, then decimal digits or
// a hexadecimal number introduced by "$", "x", "X", "0x" or "0X"; the whole text must be
// used. Decimal values must fit a signed 32-bit integer; hexadecimal ones have at most
// eight digits and are read as the bit pattern of one. Returns nothing otherwise.
std::optional<std::int32_t> TryStrToInt(std::string_view text);
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

// The value of a hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);
// Appends `byte` as "%" and two uppercase hexadecimal digits (RFC 3986 section 2.1).
void AppendPercentEscape(std::string& out, unsigned char byte);

}  // namespace qb
