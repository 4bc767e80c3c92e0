// Base64 with the standard alphabet and "=" padding, no line breaks (RFC 4648 section 4).
#pragma once

#include <string>
#include <string_view>

namespace qb {

std::string Base64Encode(std::string_view bytes);

// Decodes groups of four characters; characters outside the alphabet count as 0, and a
// final group shorter than four characters is decoded as far as it goes.
std::string Base64Decode(std::string_view text);

}  // namespace qb
