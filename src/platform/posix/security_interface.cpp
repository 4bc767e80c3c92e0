// POSIX has no security support interface: its schemes are not registered.
#include "platform/security_interface.h"

namespace qb::platform {

bool SecurityInterfaceLoads() { return false; }

}  // namespace qb::platform
