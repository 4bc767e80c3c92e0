#include "support/base64.h"

#include <cstdint>

namespace qb {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::uint32_t SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                            (static_cast<std::uint8_t>(bytes[i + 1]) << 8) | static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const std::string_view group = text.substr(i, 4);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = (v << 6) | (k < group.size() ? SextetOf(group[k]) : 0);
    // "=" in third place leaves one byte, in fourth place two; a short group keeps the
    // bytes its characters fully cover.
    std::size_t produced = 3;
    if (group.size() < 4) produced = group.size() <= 1 ? 0 : group.size() - 1;
    if (group.size() >= 3 && group[2] == '=') {
      produced = 1;
    } else if (group.size() == 4 && group[3] == '=') {
      produced = 2;
    }
    if (produced >= 1) out += static_cast<char>((v >> 16) & 0xFF);
    if (produced >= 2) out += static_cast<char>((v >> 8) & 0xFF);
    if (produced >= 3) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

}  // namespace qb
