// MD5 message digest (RFC 1321). Used by Digest authentication, where every hash is
// written as 32 lower-case hexadecimal digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qb {

class Md5 {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  Md5();
  // Adds bytes to the message; may be called any number of times before Final.
  void Update(std::string_view bytes);
  // Pads the message and returns its digest; the object starts over afterwards.
  Digest Final();

 private:
  void Transform(const std::uint8_t* block);
  void Restart();

  std::array<std::uint32_t, 4> state_{};
  std::uint64_t length_ = 0;  // message length in bytes
  std::array<std::uint8_t, 64> buffer_{};
};

Md5::Digest Md5Of(std::string_view bytes);
// The digest as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view bytes);

}  // namespace qb
