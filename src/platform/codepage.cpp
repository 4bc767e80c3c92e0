// Implementation details: UTF-8 and UTF-16 are converted here in portable code, since they
// are the hot path (the program's own text is UTF-8 on POSIX); every other code page goes
// through the platform's converter in platform/<os>/codepage.cpp. The charset names are
// shared too: each platform only says which code pages it can convert.
#include "platform/codepage.h"

#include <cstring>

#include "support/strings.h"

namespace qb::platform {
namespace {

struct CharsetName {
  const char* name;  // as callers write it, compared ignoring case
  int codePage;
};

constexpr CharsetName kCharsets[] = {
    {"UTF-8", 65001},       {"UTF8", 65001},        {"UTF-16", 1200},       {"UTF-16LE", 1200},
    {"UTF-16BE", 1201},     {"US-ASCII", 20127},    {"ASCII", 20127},       {"WINDOWS-1250", 1250},
    {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252}, {"WINDOWS-1253", 1253}, {"WINDOWS-1254", 1254},
    {"WINDOWS-1255", 1255}, {"WINDOWS-1256", 1256}, {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258},
    {"ISO-8859-1", 28591},  {"ISO-8859-2", 28592},  {"ISO-8859-3", 28593},  {"ISO-8859-4", 28594},
    {"ISO-8859-5", 28595},  {"ISO-8859-6", 28596},  {"ISO-8859-7", 28597},  {"ISO-8859-8", 28598},
    {"ISO-8859-9", 28599},  {"ISO-8859-13", 28603}, {"ISO-8859-15", 28605}, {"LATIN1", 28591},
    {"KOI8-R", 20866},      {"KOI8-U", 21866},      {"GB2312", 936},        {"GBK", 936},
    {"BIG5", 950},          {"ISO-2022-JP", 50220}, {"CSEUCKR", 51949},     {"EUC-KR", 51949},
    {"EUC-JP", 51932},      {"SHIFT_JIS", 932},     {"CP866", 866},         {"IBM866", 866},
};

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::optional<int> CodePageOfCharset(std::string_view charset) {
  const std::string name = UpperCaseAscii(Trim(charset));
  for (const auto& entry : kCharsets) {
    if (name == entry.name) {
      return IsCodePageSupported(entry.codePage) ? std::optional<int>(entry.codePage) : std::nullopt;
    }
  }
  // "windows-NNNN" and "cpNNNN" spellings of the code pages the platform converts.
  for (const char* prefix : {"WINDOWS-", "CP"}) {
    if (name.rfind(prefix, 0) == 0) {
      if (const auto number = TryStrToInt(name.substr(std::strlen(prefix)));
          number && *number > 0 && IsCodePageSupported(*number)) {
        return *number;
      }
    }
  }
  return std::nullopt;
}

std::string ConvertCodePage(int fromCodePage, int toCodePage, std::string_view bytes) {
  if (fromCodePage == 0) fromCodePage = AnsiCodePage();
  if (toCodePage == 0) toCodePage = AnsiCodePage();
  if (fromCodePage == toCodePage && fromCodePage != kCodePageUtf8) return std::string(bytes);
  return WideToMultiByte(toCodePage, MultiByteToWide(fromCodePage, bytes));
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      out += static_cast<char16_t>(b0);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1;
      cp = b0 & 0x1F;
      minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2;
      cp = b0 & 0x0F;
      minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3;
      cp = b0 & 0x07;
      minimum = 0x10000;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= static_cast<std::size_t>(extra); ++k) {
      if (i + k >= n) break;
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k <= static_cast<std::size_t>(extra)) {
      out += kReplacement;
      i += k;
      continue;
    }
    i += k;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += kReplacement;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      out += '?';  // a lone surrogate has no UTF-8 form
      continue;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::optional<std::string> CodePointToUtf8(char32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return std::nullopt;
  std::string out;
  AppendUtf8(out, codePoint);
  return out;
}

std::size_t Utf8CharLength(std::string_view bytes, std::size_t index) {
  if (index >= bytes.size()) return 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[index + k]); };
  const unsigned char b0 = at(0);
  if (b0 < 0x80) return 1;
  // The lead byte fixes the length and the range of the second byte (RFC 3629, section 4),
  // which rules out overlong forms, surrogates and values above U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  if (bytes.size() - index < length) return 1;
  if (at(1) < low || at(1) > high) return 1;
  for (std::size_t k = 2; k < length; ++k) {
    if ((at(k) & 0xC0) != 0x80) return 1;
  }
  return length;
}

}  // namespace qb::platform
