#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/files.h"

namespace qb::test {

ScopedTempDir::ScopedTempDir() {
  // A random name, taken only when create_directory made it: no other test shares it.
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("quobrina-test-" + std::to_string(random() % 100000000));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();  // the platform's own form: "C:\users\...\Temp\..." on Windows
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  // Read-only folders made by a test must not stop the removal.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string ScopedTempDir::file(const std::string& name) const { return path_ + platform::PathDelimiter() + name; }

std::string PlatformPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = platform::PathDelimiter();
  }
  return path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qb::test
