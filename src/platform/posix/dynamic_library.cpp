// Implementation details: dlopen with RTLD_NOW so that a library whose own dependencies
// are missing fails here rather than at the first call into it.
#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace qb::platform {
namespace {

class PosixLibrary final : public DynamicLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { ::dlclose(handle_); }
  PosixLibrary(const PosixLibrary&) = delete;
  PosixLibrary& operator=(const PosixLibrary&) = delete;

  void* Symbol(const char* name) const override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& fileName) {
  if (fileName.empty()) return nullptr;
  void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  return std::make_unique<PosixLibrary>(handle);
}

std::vector<OpenSSLLibraryNames> DefaultOpenSSLLibraryNames() {
  return {{"libcrypto.so.3", "libssl.so.3"}, {"libcrypto.so.1.1", "libssl.so.1.1"}, {"libcrypto.so", "libssl.so"}};
}

}  // namespace qb::platform
