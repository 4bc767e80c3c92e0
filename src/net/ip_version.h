// The address family of a socket, of name resolution and of a parsed URL's host.
#pragma once

#include <cstdint>

namespace qb {

enum TNetIPVersion : std::uint8_t { Net_IPv4, Net_IPv6 };

}  // namespace qb
