// Implementation details: the "ROOT" store of the current user, which includes the
// machine's roots, read through CryptoAPI. OpenSSL's default paths on Windows name a
// folder of its build machine, so without this a verifying client would trust nothing.
// crypt32.dll is loaded when asked for, as every library beyond the basic system ones.
#include "platform/trust_store.h"

#include "platform/dynamic_library.h"
#include "platform/win32/win32.h"

#include <wincrypt.h>

#include <cstring>

namespace qb::platform {
namespace {

template <typename F>
F Entry(const DynamicLibrary& library, const char* name) {
  F function = nullptr;
  void* symbol = library.Symbol(name);
  static_assert(sizeof function == sizeof symbol);
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

}  // namespace

std::vector<std::string> SystemRootCertificates() {
  using OpenStore = HCERTSTORE(WINAPI*)(HCRYPTPROV_LEGACY, LPCSTR);
  using EnumCertificates = PCCERT_CONTEXT(WINAPI*)(HCERTSTORE, PCCERT_CONTEXT);
  using CloseStore = BOOL(WINAPI*)(HCERTSTORE, DWORD);
  std::vector<std::string> certificates;
  const std::unique_ptr<DynamicLibrary> crypt32 = LoadDynamicLibrary("crypt32.dll");
  if (!crypt32) return certificates;
  const auto open = Entry<OpenStore>(*crypt32, "CertOpenSystemStoreA");
  const auto next = Entry<EnumCertificates>(*crypt32, "CertEnumCertificatesInStore");
  const auto close = Entry<CloseStore>(*crypt32, "CertCloseStore");
  if (!open || !next || !close) return certificates;
  HCERTSTORE store = open(0, "ROOT");
  if (!store) return certificates;
  for (PCCERT_CONTEXT context = next(store, nullptr); context; context = next(store, context)) {
    if (context->dwCertEncodingType & X509_ASN_ENCODING) {
      certificates.emplace_back(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded);
    }
  }
  close(store, 0);
  return certificates;
}

}  // namespace qb::platform
