// Implementation details: the user's locale decides through CompareString, LCMapString and
// CharUpperBuff. CaseFoldKey is the locale's sort key with case ignored, which the system
// defines to be equal exactly when CompareString says equal. Where the ANSI code page is
// UTF-8 (a process setting since Windows 10), the text is widened first and the "W"
// functions decide, since one byte of UTF-8 is no character the "A" functions could
// classify; the letter tests then follow the POSIX rule (every byte from 128 on is part of
// a letter), as on the other platform whose text is UTF-8.
#include "platform/locale.h"

#include <algorithm>
#include <climits>

#include "platform/codepage.h"
#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

bool Utf8Text() { return ::GetACP() == CP_UTF8; }

template <typename Text>
int Length(const Text& text) {
  return text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
}

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

constexpr DWORD kSortKey = LCMAP_SORTKEY | NORM_IGNORECASE;

}  // namespace

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  int result = 0;
  if (Utf8Text()) {
    const std::u16string x = Utf8ToUtf16(a);
    const std::u16string y = Utf8ToUtf16(b);
    result = ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, Wide(x), Length(x), Wide(y), Length(y));
  } else {
    result = ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), Length(a), b.data(), Length(b));
  }
  if (result == 0) return a.compare(b);  // the locale refused: order the bytes
  return result - CSTR_EQUAL;
}

bool SameTextLocale(std::string_view a, std::string_view b) { return CompareTextIgnoreCase(a, b) == 0; }

std::string CaseFoldKey(std::string_view text) {
  if (text.empty()) return {};
  std::string key;
  if (Utf8Text()) {
    const std::u16string wide = Utf8ToUtf16(text);
    const int size = ::LCMapStringW(LOCALE_USER_DEFAULT, kSortKey, Wide(wide), Length(wide), nullptr, 0);
    if (size <= 0) return std::string(text);
    key.resize(static_cast<std::size_t>(size));
    // A sort key is bytes, whichever function wrote it.
    ::LCMapStringW(LOCALE_USER_DEFAULT, kSortKey, Wide(wide), Length(wide), reinterpret_cast<wchar_t*>(key.data()),
                   size);
  } else {
    const int size = ::LCMapStringA(LOCALE_USER_DEFAULT, kSortKey, text.data(), Length(text), nullptr, 0);
    if (size <= 0) return std::string(text);
    key.resize(static_cast<std::size_t>(size));
    ::LCMapStringA(LOCALE_USER_DEFAULT, kSortKey, text.data(), Length(text), key.data(), size);
  }
  while (!key.empty() && key.back() == '\0') key.pop_back();
  return key;
}

std::string UpperCaseLocale(std::string_view text) {
  if (Utf8Text()) {
    std::u16string wide = Utf8ToUtf16(text);
    if (!wide.empty()) ::CharUpperBuffW(reinterpret_cast<wchar_t*>(wide.data()), static_cast<DWORD>(wide.size()));
    return Utf16ToUtf8(wide);
  }
  std::string result(text);
  for (std::size_t done = 0; done < result.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(result.size() - done, 1 << 30));
    ::CharUpperBuffA(result.data() + done, piece);
    done += piece;
  }
  return result;
}

bool IsCharAlpha(unsigned char c) {
  if (Utf8Text()) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128;
  return ::IsCharAlphaA(static_cast<CHAR>(c)) != FALSE;
}

bool IsCharAlphaNumeric(unsigned char c) {
  if (Utf8Text()) return IsCharAlpha(c) || (c >= '0' && c <= '9');
  return ::IsCharAlphaNumericA(static_cast<CHAR>(c)) != FALSE;
}

}  // namespace qb::platform
