// Implementation details: the user's locale decides through CompareString, LCMapString and
// CharUpperBuff on the program's ANSI text. CaseFoldKey is the locale's sort key with case
// ignored, which the system defines to be equal exactly when CompareString says equal.
#include "platform/locale.h"

#include <algorithm>
#include <climits>

#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

int Length(std::string_view text) { return text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size()); }

}  // namespace

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  const int result = ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), Length(a), b.data(), Length(b));
  if (result == 0) return a.compare(b);  // the locale refused: order the bytes
  return result - CSTR_EQUAL;
}

bool SameTextLocale(std::string_view a, std::string_view b) { return CompareTextIgnoreCase(a, b) == 0; }

std::string CaseFoldKey(std::string_view text) {
  if (text.empty()) return {};
  constexpr DWORD kFlags = LCMAP_SORTKEY | NORM_IGNORECASE;
  const int size = ::LCMapStringA(LOCALE_USER_DEFAULT, kFlags, text.data(), Length(text), nullptr, 0);
  if (size <= 0) return std::string(text);
  std::string key(static_cast<std::size_t>(size), '\0');
  ::LCMapStringA(LOCALE_USER_DEFAULT, kFlags, text.data(), Length(text), key.data(), size);
  while (!key.empty() && key.back() == '\0') key.pop_back();
  return key;
}

std::string UpperCaseLocale(std::string_view text) {
  std::string result(text);
  for (std::size_t done = 0; done < result.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(result.size() - done, 1 << 30));
    ::CharUpperBuffA(result.data() + done, piece);
    done += piece;
  }
  return result;
}

bool IsCharAlpha(unsigned char c) { return ::IsCharAlphaA(static_cast<CHAR>(c)) != FALSE; }

bool IsCharAlphaNumeric(unsigned char c) { return ::IsCharAlphaNumericA(static_cast<CHAR>(c)) != FALSE; }

std::uint16_t ThreadLanguageId() { return LANGIDFROMLCID(::GetThreadLocale()); }

}  // namespace qb::platform
