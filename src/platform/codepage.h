// Code pages: the program's own 8-bit text (the "ANSI code page": UTF-8 on POSIX) and
// conversions between it, UTF-16 and the charsets that XML files, header words and
// response bodies name. A character that the target cannot hold becomes "?"; a byte
// sequence that the source does not define becomes U+FFFD (in UTF-16) or "?".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qb::platform {

constexpr int kCodePageUtf8 = 65001;
constexpr int kCodePageUtf16LE = 1200;
constexpr int kCodePageUtf16BE = 1201;
constexpr int kCodePageAscii = 20127;
constexpr int kCodePageLatin1 = 28591;

// The code page of the program's own text.
int AnsiCodePage();

// The code page that a charset name denotes ("windows-1251", "KOI8-R", "ISO-8859-1",
// "UTF-8", "GB2312", "Big5", "ISO-2022-JP", "csEUCKR", "us-ascii" ...; case ignored),
// or nothing for a name the platform cannot convert.
std::optional<int> CodePageOfCharset(std::string_view charset);

// Whether conversions to and from `codePage` are available here.
bool IsCodePageSupported(int codePage);

// Conversions between a code page and UTF-16. Code page 0 means the ANSI code page.
// An unsupported code page raises EConvertError.
std::u16string MultiByteToWide(int codePage, std::string_view bytes);
std::string WideToMultiByte(int codePage, std::u16string_view text);

// Direct conversion between two code pages (through UTF-16 where needed).
std::string ConvertCodePage(int fromCodePage, int toCodePage, std::string_view bytes);

// UTF-8 and UTF-16 in portable code: the fast path that every platform shares.
std::u16string Utf8ToUtf16(std::string_view bytes);
std::string Utf16ToUtf8(std::u16string_view text);
// The UTF-8 form of one code point; nothing for surrogates and values above U+10FFFF.
std::optional<std::string> CodePointToUtf8(char32_t codePoint);

// The length in bytes of the well-formed UTF-8 sequence that starts at `index` of `bytes`,
// or 1 for a byte that starts none (a stray, overlong or truncated sequence), so that
// every byte of any input belongs to exactly one character. 0 at or past the end.
std::size_t Utf8CharLength(std::string_view bytes, std::size_t index);
// The same for the program's own text, one character of the ANSI code page ("?" of a
// file mask matches one such character).
std::size_t CharLength(std::string_view text, std::size_t index);

}  // namespace qb::platform
