// The user's locale: case-insensitive comparison and upper-casing of the program's text,
// and the letter tests of XML names.
#pragma once

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

}  // namespace qb::platform
