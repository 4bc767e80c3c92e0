// Libraries loaded at run time by file name (no folder: the system's search order
// applies). Loading never shows a message to the user; a failure is a null result.
#pragma once

#include <memory>
#include <string>

namespace qb::platform {

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of an exported name, or null when the library does not export it.
  virtual void* Symbol(const char* name) const = 0;
};

// Null when the library cannot be found or loaded.
std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& fileName);

}  // namespace qb::platform
