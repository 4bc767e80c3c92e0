// Implementation details: every code page but UTF-8 and UTF-16 goes through
// MultiByteToWideChar / WideCharToMultiByte. A character that the target cannot hold
// becomes "?" and is never replaced by a look-alike ("best fit"): a best-fit mapping turns
// a full-width quote into '"' and a full-width reverse solidus into "\", which would
// change the meaning of header lines and paths.
#include "platform/codepage.h"

#include "platform/win32/win32.h"
#include "support/exception.h"
#include "support/format.h"

namespace qb::platform {
namespace {

int Resolve(int codePage) { return codePage == 0 ? AnsiCodePage() : codePage; }

[[noreturn]] void ThrowUnsupported(int codePage) {
  throw EConvertError(Format("No mapping for the code page %d", codePage));
}

// Code pages for which the conversion functions refuse the flags and default character.
bool TakesNoFlags(int codePage) {
  return codePage == 42 || codePage == 65000 || codePage == 54936 || (codePage >= 50220 && codePage <= 50229) ||
         (codePage >= 57002 && codePage <= 57011);
}

std::u16string Utf16FromBytes(std::string_view bytes, bool bigEndian) {
  std::u16string out;
  out.reserve(bytes.size() / 2 + 1);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    out += static_cast<char16_t>(bigEndian ? (first << 8) | second : first | (second << 8));
  }
  if (bytes.size() % 2 != 0) out += u'\xFFFD';  // half a character at the end
  return out;
}

std::string Utf16ToBytes(std::u16string_view text, bool bigEndian) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char16_t c : text) {
    const char high = static_cast<char>(c >> 8);
    const char low = static_cast<char>(c & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  }
  return out;
}

}  // namespace

int AnsiCodePage() { return static_cast<int>(::GetACP()); }

std::size_t CharLength(std::string_view text, std::size_t index) {
  if (index >= text.size()) return 0;
  const UINT codePage = ::GetACP();
  if (codePage == CP_UTF8) return Utf8CharLength(text, index);
  const bool lead = ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[index])) != FALSE;
  return lead && index + 1 < text.size() ? 2 : 1;
}

bool IsCodePageSupported(int codePage) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8 || codePage == kCodePageUtf16LE || codePage == kCodePageUtf16BE) return true;
  return codePage > 0 && ::IsValidCodePage(static_cast<UINT>(codePage));
}

std::u16string MultiByteToWide(int codePage, std::string_view bytes) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8) return Utf8ToUtf16(bytes);
  if (codePage == kCodePageUtf16LE || codePage == kCodePageUtf16BE) {
    return Utf16FromBytes(bytes, codePage == kCodePageUtf16BE);
  }
  if (!IsCodePageSupported(codePage)) ThrowUnsupported(codePage);
  if (bytes.empty()) return {};
  std::u16string out;
  // Converted in pieces so that no length overflows the API's int.
  constexpr std::size_t kPiece = 1 << 26;
  while (!bytes.empty()) {
    std::size_t take = std::min(bytes.size(), kPiece);
    // Never cut a double-byte character in two.
    if (take < bytes.size()) {
      std::size_t i = 0;
      while (i < take) i += ::IsDBCSLeadByteEx(static_cast<UINT>(codePage), static_cast<BYTE>(bytes[i])) ? 2 : 1;
      if (i > take) --take;
    }
    const auto length = static_cast<int>(take);
    const int wide = ::MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), length, nullptr, 0);
    if (wide <= 0) ThrowUnsupported(codePage);
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(wide));
    ::MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), length, reinterpret_cast<wchar_t*>(&out[at]),
                          wide);
    bytes.remove_prefix(take);
  }
  return out;
}

std::string WideToMultiByte(int codePage, std::u16string_view text) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8) return Utf16ToUtf8(text);
  if (codePage == kCodePageUtf16LE || codePage == kCodePageUtf16BE) {
    return Utf16ToBytes(text, codePage == kCodePageUtf16BE);
  }
  if (!IsCodePageSupported(codePage)) ThrowUnsupported(codePage);
  if (text.empty()) return {};
  const bool plain = TakesNoFlags(codePage);
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = plain ? nullptr : "?";
  std::string out;
  constexpr std::size_t kPiece = 1 << 24;
  while (!text.empty()) {
    std::size_t take = std::min(text.size(), kPiece);
    // A surrogate pair stays together.
    if (take < text.size() && text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
    const auto length = static_cast<int>(take);
    const auto* source = reinterpret_cast<const wchar_t*>(text.data());
    const int bytes =
        ::WideCharToMultiByte(static_cast<UINT>(codePage), flags, source, length, nullptr, 0, defaultChar, nullptr);
    if (bytes <= 0) ThrowUnsupported(codePage);
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(bytes));
    ::WideCharToMultiByte(static_cast<UINT>(codePage), flags, source, length, &out[at], bytes, defaultChar, nullptr);
    text.remove_prefix(take);
  }
  return out;
}

}  // namespace qb::platform
