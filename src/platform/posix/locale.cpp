// Implementation details: the program's text is UTF-8 here. Case-insensitive comparison
// folds ASCII directly and every other character through towlower on its decoded code
// point, so "Ä" and "ä" compare equal whatever the process locale; the "C" locale's
// towlower knows only ASCII, so a UTF-8 locale is switched on for the folding.
#include "platform/locale.h"

#include <clocale>
#include <cstdlib>
#include <cwctype>
#include <mutex>

#include "platform/codepage.h"
#include "support/strings.h"

namespace qb::platform {
namespace {

locale_t FoldingLocale() {
  static locale_t locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t l = ::newlocale(LC_CTYPE_MASK, name, locale_t{})) return l;
    }
    return locale_t{};
  }();
  return locale;
}

char32_t FoldCodePoint(char32_t cp, bool upper) {
  if (cp < 0x80) {
    if (upper && cp >= 'a' && cp <= 'z') return cp - 'a' + 'A';
    if (!upper && cp >= 'A' && cp <= 'Z') return cp - 'A' + 'a';
    return cp;
  }
  if (const locale_t l = FoldingLocale()) {
    return static_cast<char32_t>(upper ? ::towupper_l(static_cast<wint_t>(cp), l)
                                       : ::towlower_l(static_cast<wint_t>(cp), l));
  }
  return cp;
}

// Maps every character of UTF-8 text through FoldCodePoint; bytes that are not valid
// UTF-8 are kept as they are.
std::string MapText(std::string_view text, bool upper) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out += static_cast<char>(FoldCodePoint(b0, upper));
      ++i;
      continue;
    }
    const std::size_t length = (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 1;
    const std::u16string wide = length > 1 && i + length <= text.size() ? Utf8ToUtf16(text.substr(i, length)) : u"";
    char32_t cp = 0;
    if (wide.size() == 1 && wide[0] != 0xFFFD) {
      cp = wide[0];
    } else if (wide.size() == 2) {
      cp = 0x10000 + ((wide[0] - 0xD800) << 10) + (wide[1] - 0xDC00);
    } else {
      out += text[i];
      ++i;
      continue;
    }
    const auto mapped = CodePointToUtf8(FoldCodePoint(cp, upper));
    out += mapped ? *mapped : std::string(text.substr(i, length));
    i += length;
  }
  return out;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string CaseFoldKey(std::string_view text) { return IsAscii(text) ? LowerCaseAscii(text) : MapText(text, false); }

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  const std::string x = CaseFoldKey(a);
  const std::string y = CaseFoldKey(b);
  return x.compare(y);
}

bool SameTextLocale(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) return SameTextAscii(a, b);
  return CaseFoldKey(a) == CaseFoldKey(b);
}

std::string UpperCaseLocale(std::string_view text) {
  return IsAscii(text) ? UpperCaseAscii(text) : MapText(text, true);
}

bool IsCharAlpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128; }

bool IsCharAlphaNumeric(unsigned char c) { return IsCharAlpha(c) || (c >= '0' && c <= '9'); }

}  // namespace qb::platform
