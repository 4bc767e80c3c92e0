// The user's locale: case-insensitive comparison and upper-casing of the program's text,
// the letter tests of XML names, and the language that picks header-word charsets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qb::platform {

// Compares ignoring letter case under the user's locale: <0, 0 or >0.
int CompareTextIgnoreCase(std::string_view a, std::string_view b);
// Equal ignoring letter case under the user's locale.
bool SameTextLocale(std::string_view a, std::string_view b);
// A key such that two texts have equal keys exactly when SameTextLocale holds.
std::string CaseFoldKey(std::string_view text);
// Upper case under the user's locale.
std::string UpperCaseLocale(std::string_view text);

// "Letter" and "letter or digit" of the program's code page, for one byte of its text.
bool IsCharAlpha(unsigned char c);
bool IsCharAlphaNumeric(unsigned char c);

// The language identifier of the thread locale (low 10 bits primary language, upper 6
// bits sublanguage), English (9) when nothing is known.
std::uint16_t ThreadLanguageId();
// The same rule over a locale name such as "ru_RU.UTF-8" (testable without the process
// environment).
std::uint16_t LanguageIdOfLocaleName(std::string_view localeName);

}  // namespace qb::platform
