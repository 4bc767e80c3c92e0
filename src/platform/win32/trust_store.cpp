// Implementation details: the "ROOT" store of the current user, which includes the
// machine's roots, read through CryptoAPI. OpenSSL's default paths on Windows name a
// folder of its build machine, so without this a verifying client would trust nothing.
#include "platform/trust_store.h"

#include "platform/win32/win32.h"

#include <wincrypt.h>

namespace qb::platform {

std::vector<std::string> SystemRootCertificates() {
  std::vector<std::string> certificates;
  HCERTSTORE store = ::CertOpenSystemStoreA(0, "ROOT");
  if (!store) return certificates;
  PCCERT_CONTEXT context = nullptr;
  while ((context = ::CertEnumCertificatesInStore(store, context)) != nullptr) {
    if (context->dwCertEncodingType & X509_ASN_ENCODING) {
      certificates.emplace_back(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded);
    }
  }
  ::CertCloseStore(store, 0);
  return certificates;
}

}  // namespace qb::platform
