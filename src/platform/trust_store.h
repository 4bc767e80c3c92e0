// The certificates the operating system trusts as roots of TLS servers, for a TLS layer
// that has no way to read the system's store itself.
#pragma once

#include <string>
#include <vector>

namespace qb::platform {

// Each root certificate of the system's store, DER encoded. Empty where the TLS library
// finds the system's roots on its own (POSIX: OpenSSL's default paths).
std::vector<std::string> SystemRootCertificates();

}  // namespace qb::platform
