// A temporary folder that is removed with everything in it when the test ends, also when
// an assertion fails.
#pragma once

#include <string>

namespace qb::test {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // The folder's path, without a trailing delimiter.
  const std::string& path() const { return path_; }
  // `name` inside the folder, joined with the platform's delimiter.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// A path written with "/" in the platform's form ("\" on Windows).
std::string PlatformPath(std::string path);

// Whole-file helpers for test data.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

}  // namespace qb::test
