#include "platform/trust_store.h"

namespace qb::platform {

// OpenSSL's default paths are the system's store here.
std::vector<std::string> SystemRootCertificates() { return {}; }

}  // namespace qb::platform
