// Quoted names: how a form field name or file name travels inside the quotes of a part
// header (raw UTF-8 with a few bytes escaped, the form receiving servers store as it is),
// and the extended parameter value that repeats it for receivers reading Latin-1.
#pragma once

#include <string>
#include <string_view>

namespace qb {

// The quoted-string content for a form field name or file name (program text): the name
// as UTF-8 (converted from the ANSI code page where that is not UTF-8), with `"`, `\`,
// control bytes other than tab and bytes outside well-formed UTF-8 sequences written as
// "%XX" (uppercase hex). A "%" becomes "%25" only where the two characters after it would
// read as such an escape ("%" itself included), so that decoding every "%XX" of an
// escaped byte gives the name back and other names with "%" go out as they are. ASCII
// names without those bytes are copied unchanged.
std::string EncodeQuotedName(std::string_view text);

// The same name as an extended parameter value (RFC 5987: "UTF-8''" and the bytes of
// `quoted`, the result of EncodeQuotedName, outside the attribute characters as "%XX"),
// for receivers that read the quoted form as Latin-1; empty for an ASCII `quoted`.
std::string ExtendedNameValue(std::string_view quoted);

// Whether `byte` is written as "%XX" inside a quoted name (see EncodeQuotedName) when it
// stands on its own; bytes of well-formed UTF-8 sequences go out raw all the same.
bool IsEscapedNameByte(unsigned char byte);

}  // namespace qb
