// Implementation details: LoadLibrary with the system's error box suppressed, so that a
// missing library (or one whose own dependencies are missing) fails quietly. OpenSSL is
// looked for under the names of its 32-bit Windows builds, "libeay32.dll" with
// "ssleay32.dll" or "libssl32.dll", and then under the names that current builds use.
#include "platform/dynamic_library.h"

#include <bit>

#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

class Win32Library final : public DynamicLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { ::FreeLibrary(module_); }
  Win32Library(const Win32Library&) = delete;
  Win32Library& operator=(const Win32Library&) = delete;

  void* Symbol(const char* name) const override { return std::bit_cast<void*>(::GetProcAddress(module_, name)); }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& fileName) {
  if (fileName.empty() || fileName.find('\0') != std::string::npos) return nullptr;
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const HMODULE module = ::LoadLibraryA(fileName.c_str());
  ::SetErrorMode(previous);
  if (!module) return nullptr;
  return std::make_unique<Win32Library>(module);
}

std::vector<OpenSSLLibraryNames> DefaultOpenSSLLibraryNames() {
  return {{"libeay32.dll", "ssleay32.dll"},
          {"libeay32.dll", "libssl32.dll"},
          {"libcrypto-3.dll", "libssl-3.dll"},
          {"libcrypto-1_1.dll", "libssl-1_1.dll"}};
}

}  // namespace qb::platform
