// Header words: how a form field name or file name travels inside the quotes of a part
// header (raw UTF-8 with a few bytes escaped, the form receiving servers store as it
// is), and the RFC 2047 encoded words with the charset a language calls for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/net_exception.h"

namespace qb {

// "Could not encode header data using charset "%s"": the charset cannot be used here.
QB_DECLARE_EXCEPTION(ENetHeaderEncodeError, ENetException);

// The charset and encoding letter ("B" or "Q") for header words under a language
// identifier (low 10 bits primary language, upper 6 bits sublanguage).
struct THeaderWordCharset {
  std::string charset;
  char encoding;
};
THeaderWordCharset DefaultWordCharset(std::uint16_t languageId);

// The language of the thread locale as the process found it when first asked; it does
// not change while the process runs.
std::uint16_t StartupLanguageId();

// Encodes the words of `text` (program text) that are not plain printable ASCII as
// encoded words "=?charset?B?...?=" or "=?charset?Q?...?=", folding encoded runs so that
// no line passes 75 characters. Bytes listed in `specials` count as not plain and are
// never copied raw into a "Q" word. CR and LF are never copied raw either: they belong
// to the word around them and are encoded with it, so the result holds no line break
// but the folds the encoder makes itself.
// Raises ENetHeaderEncodeError for a charset that cannot be used or an encoding letter
// other than "B" and "Q".
std::string EncodeHeaderWords(std::string_view text, std::string_view charset, char encoding,
                              std::string_view specials = {});

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
