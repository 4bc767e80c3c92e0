// The errors of the TLS layer: those of the crypto library carry its error code, those of
// a TLS session the SSL_get_error code and the result of the call that failed.
#pragma once

#include <string>
#include <utility>

#include "net/net_exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetOpenSSLError, ENetException);
QB_DECLARE_EXCEPTION(ENetOSSLCouldNotLoadSSLLibrary, ENetOpenSSLError);
QB_DECLARE_EXCEPTION(ENetOSSLGetMethodError, ENetOpenSSLError);
QB_DECLARE_EXCEPTION(ENetOSSLSettingCipherError, ENetOpenSSLError);
QB_DECLARE_EXCEPTION(ENetOSSLCreatingSessionError, ENetOpenSSLError);
// Raised by a proxy's reply to a tunnel request; the HTTP client passes it on.
QB_DECLARE_EXCEPTION(ENetSSLProtocolReplyError, ENetException);

// An error of the crypto library: ErrorCode() is the code taken from the error queue.
class ENetOpenSSLAPICryptoError : public ENetOpenSSLError {
 public:
  ENetOpenSSLAPICryptoError(unsigned long code, std::string message)
      : ENetOpenSSLError(std::move(message)), errorCode_(code) {}
  const char* ClassName() const noexcept override { return "ENetOpenSSLAPICryptoError"; }
  unsigned long ErrorCode() const noexcept { return errorCode_; }

 private:
  unsigned long errorCode_;
};
QB_DECLARE_EXCEPTION(ENetOSSLUnderlyingCryptoError, ENetOpenSSLAPICryptoError);
QB_DECLARE_EXCEPTION(ENetOSSLCreatingContextError, ENetOpenSSLAPICryptoError);
QB_DECLARE_EXCEPTION(ENetOSSLLoadingRootCertError, ENetOpenSSLAPICryptoError);
QB_DECLARE_EXCEPTION(ENetOSSLLoadingCertError, ENetOpenSSLAPICryptoError);
QB_DECLARE_EXCEPTION(ENetOSSLLoadingKeyError, ENetOpenSSLAPICryptoError);
QB_DECLARE_EXCEPTION(ENetOSSLLoadingDHParamsError, ENetOpenSSLAPICryptoError);

// An error of a TLS session: ErrorCode() is the SSL_get_error code, RetCode() the result
// of the call that failed.
class ENetOpenSSLAPISSLError : public ENetOpenSSLError {
 public:
  ENetOpenSSLAPISSLError(int code, int result, std::string message)
      : ENetOpenSSLError(std::move(message)), errorCode_(code), retCode_(result) {}
  const char* ClassName() const noexcept override { return "ENetOpenSSLAPISSLError"; }
  int ErrorCode() const noexcept { return errorCode_; }
  int RetCode() const noexcept { return retCode_; }

 private:
  int errorCode_;
  int retCode_;
};
QB_DECLARE_EXCEPTION(ENetOSSLFDSetError, ENetOpenSSLAPISSLError);
QB_DECLARE_EXCEPTION(ENetOSSLDataBindingError, ENetOpenSSLAPISSLError);
QB_DECLARE_EXCEPTION(ENetOSSLAcceptError, ENetOpenSSLAPISSLError);
QB_DECLARE_EXCEPTION(ENetOSSLConnectError, ENetOpenSSLAPISSLError);

}  // namespace qb
