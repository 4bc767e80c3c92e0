#include "support/strings.h"

#include <algorithm>
#include <limits>

namespace qb {
namespace {

// TryStrToInt's rules (see strings.h).
std::optional<std::int32_t> ReadInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  if (hex) {
    std::uint32_t value = 0;
    int digits = 0;
    for (; i < text.size(); ++i) {
      const int v = HexDigitValue(text[i]);
      if (v < 0 || ++digits > 8) return std::nullopt;
      value = (value << 4) | static_cast<std::uint32_t>(v);
    }
    return static_cast<std::int32_t>(negative ? 0u - value : value);
  }
  constexpr std::uint64_t kLimit = 0x80000000u;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > kLimit) return std::nullopt;
  }
  if (!negative && value == kLimit) return std::nullopt;
  const auto bits = static_cast<std::uint32_t>(value);
  return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

}  // namespace

bool IsTrimmedByte(char c) { return static_cast<unsigned char>(c) <= 32; }

bool IsControlByte(char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }

std::string_view TrimLeft(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsTrimmedByte(text[i])) ++i;
  return text.substr(i);
}

std::string_view TrimRight(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && IsTrimmedByte(text[n - 1])) --n;
  return text.substr(0, n);
}

std::string_view Trim(std::string_view text) { return TrimRight(TrimLeft(text)); }

std::vector<std::string> SplitTrimmed(std::string_view text, char separator) {
  std::vector<std::string> items;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find(separator, at), text.size());
    if (const std::string_view item = Trim(text.substr(at, end - at)); !item.empty()) items.emplace_back(item);
    at = end + 1;
  }
  return items;
}

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string LowerCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool StartsTextAscii(std::string_view prefix, std::string_view text) {
  return text.size() >= prefix.size() && SameTextAscii(prefix, text.substr(0, prefix.size()));
}

std::optional<std::int32_t> TryStrToInt(std::string_view text) { return ReadInteger(text); }

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) { return TryStrToInt(text).value_or(fallback); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendPercentEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

}  // namespace qb
