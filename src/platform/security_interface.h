// The operating system's security support interface, which serves the NTLM and Negotiate
// authentication schemes where it exists.
#pragma once

namespace qb::platform {

// Whether the interface can be loaded on this machine (never on POSIX).
bool SecurityInterfaceLoads();

}  // namespace qb::platform
