// Header-word encoding (RFC 2047 encoded words): how a form field name or file name
// that is not plain ASCII travels in a part header, and which charset carries it.
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

}  // namespace qb
