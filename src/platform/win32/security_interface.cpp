// Implementation details: the interface is looked for once per process, first in
// "secur32.dll", then in "security.dll", with the system's error box suppressed. The
// library that answers stays loaded for the process: its schemes are registered for good.
#include "platform/security_interface.h"

#include <bit>

#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

bool LoadsFrom(const char* name) {
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const HMODULE module = ::LoadLibraryA(name);
  ::SetErrorMode(previous);
  if (!module) return false;
  using InitSecurityInterface = void*(WINAPI*)();
  const auto init = std::bit_cast<InitSecurityInterface>(::GetProcAddress(module, "InitSecurityInterfaceA"));
  if (init && init()) return true;
  ::FreeLibrary(module);
  return false;
}

}  // namespace

bool SecurityInterfaceLoads() {
  static const bool loads = LoadsFrom("secur32.dll") || LoadsFrom("security.dll");
  return loads;
}

}  // namespace qb::platform
