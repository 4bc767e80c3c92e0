// The --check of a configuration: what a run would meet, tried without sending a request
// or touching the ledger.
#pragma once

#include <string>

namespace qb {

// Reads the configuration at `fileName` as a run does and logs one line per check: each
// element it does not read (a warning), the values, the source folder (listed), the
// ledger's folder (may be written or made; nothing is made), and the connection that a
// run would make (resolved, connected through the proxy, TLS handshake with the
// configured verification), which is closed before any request. Raises the error of the
// first check that fails.
void CheckConfiguration(const std::string& fileName);

}  // namespace qb
