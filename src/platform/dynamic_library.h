// Libraries loaded at run time by file name (no folder: the system's search order
// applies). Loading never shows a message to the user; a failure is a null result.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qb::platform {

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of an exported name, or null when the library does not export it.
  virtual void* Symbol(const char* name) const = 0;
};

// Null when the library cannot be found or loaded.
std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& fileName);

// The file names under which the platform's OpenSSL is looked for, in order: each pair
// is a crypto library and the SSL library that goes with it.
struct OpenSSLLibraryNames {
  std::string crypto;
  std::string ssl;
};
std::vector<OpenSSLLibraryNames> DefaultOpenSSLLibraryNames();

}  // namespace qb::platform
