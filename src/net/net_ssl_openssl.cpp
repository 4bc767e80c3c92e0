// Implementation details: the handler is a socket handler whose primitives go through a
// TLS session once ClearTextMode is off. The socket is non-blocking, so OpenSSL never
// waits: a call that would block returns "want read/write", and the wait happens here or
// in the handler, bounded as the handler's settings say. A read that finds no record
// begun returns at once, so that the wait for an answer is the same as over clear text
// (session tickets and key updates are records without data); the rest of a record that
// has begun, and the handshake, are awaited here within RecordTimeout (ReadTimeout when
// set) and the deadline, since a peer that sends one byte at a time would otherwise keep
// the wait alive. A send that finds no room goes back to the handler, which waits for
// room as it does over clear text and may read meanwhile.
// OpenSSL 3 reports a peer that closes without its closing notice as a library error
// ("unexpected eof"), where earlier versions reported a system-call error with result
// 0; both are treated as the latter, so the messages do not depend on the version.
#include "net/net_ssl_openssl.h"

#include <algorithm>
#include <climits>
#include <string_view>
#include <utility>

#include "platform/trust_store.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

std::string WithText(const std::string& text, const std::string& detail) {
  return text.empty() ? detail : text + "\r\n" + detail;
}

// A crypto error with the next code of the error queue (or `code` when given).
template <typename E>
[[noreturn]] void RaiseCryptoError(const ossl::Api& api, const std::string& text, unsigned long code = 0) {
  if (code == 0) code = api.NextError();
  throw E(code, WithText(text, api.ErrorText(code)));
}

// SSL_R_UNEXPECTED_EOF_WHILE_READING of the SSL library, packed as OpenSSL 3 packs codes.
bool IsUnexpectedEof(const ossl::Api& api, unsigned long code) {
  if (!api.IsVersion3() || (code & 0x80000000UL)) return false;
  return ((code >> 23) & 0xFF) == 20 && (code & 0x7FFFFF) == 294;
}

int ProtocolNumber(TNetSSLVersion version) {
  switch (version) {
    case TNetSSLVersion::sslvSSLv3: return 0x0300;
    case TNetSSLVersion::sslvTLSv1: return 0x0301;
    case TNetSSLVersion::sslvTLSv1_1: return 0x0302;
    case TNetSSLVersion::sslvTLSv1_2: return 0x0303;
    case TNetSSLVersion::sslvTLSv1_3: return 0x0304;
    default: return 0;  // SSL 2 is gone from every OpenSSL we load
  }
}

TNetSSLVersions AllVersions() {
  using V = TNetSSLVersion;
  return {V::sslvSSLv2, V::sslvSSLv3, V::sslvTLSv1, V::sslvTLSv1_1, V::sslvTLSv1_2, V::sslvTLSv1_3};
}

bool IsPkcs12File(const std::string& file) {
  const std::size_t dot = file.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string_view extension(file.data() + dot, file.size() - dot);
  return SameTextAscii(extension, ".p12") || SameTextAscii(extension, ".pfx");
}

TNetSSLSocket* SocketOf(const ossl::Api& api, const ossl::SSL* ssl) {
  return ssl ? static_cast<TNetSSLSocket*>(api.SSL_get_ex_data(ssl, 0)) : nullptr;
}

// The callbacks run inside OpenSSL: nothing may unwind through it.
int PasswordCallback(char* buffer, int size, int rwflag, void* userdata) {
  try {
    auto* owner = static_cast<TNetSSLIOHandlerSocketOpenSSL*>(userdata);
    if (!owner) return 0;  // a shared context has no handler to ask
    std::string password;
    if (owner->Events.OnGetPasswordEx) owner->Events.OnGetPasswordEx(password, rwflag != 0);
    if (owner->Events.OnGetPassword) owner->Events.OnGetPassword(password);
    const int length = std::min(static_cast<int>(password.size()), size);
    std::copy_n(password.data(), length, buffer);
    return length;
  } catch (...) {
    return 0;
  }
}

int VerifyCallback(int ok, ossl::X509_STORE_CTX* store) {
  try {
    const ossl::Api* api = ossl::LoadOpenSSL();
    auto* ssl =
        static_cast<ossl::SSL*>(api->X509_STORE_CTX_get_ex_data(store, api->SSL_get_ex_data_X509_STORE_CTX_idx()));
    TNetSSLSocket* socket = SocketOf(*api, ssl);
    if (!socket || !socket->Parent().Events.OnVerifyPeer) return ok;
    char subject[512] = {};
    if (ossl::X509* cert = api->X509_STORE_CTX_get_current_cert(store)) {
      api->X509_NAME_oneline(api->X509_get_subject_name(cert), subject, sizeof subject);
    }
    return socket->Parent().Events.OnVerifyPeer(subject, ok != 0, api->X509_STORE_CTX_get_error_depth(store),
                                                api->X509_STORE_CTX_get_error(store))
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

void InfoCallback(const ossl::SSL* ssl, int where, int ret) {
  try {
    const ossl::Api* api = ossl::LoadOpenSSL();
    TNetSSLSocket* socket = SocketOf(*api, ssl);
    if (!socket) return;
    const char* state = api->SSL_state_string_long(ssl);
    const std::string text = state ? state : "";
    TNetSSLEvents& events = socket->Parent().Events;
    if (events.OnStatusInfo) events.OnStatusInfo(text);
    if (events.OnStatusInfoEx) events.OnStatusInfoEx(where, ret, text);
  } catch (...) {
  }
}

}  // namespace

// --- Options ---------------------------------------------------------------------------

void TNetSSLOptions::SetMethod(TNetSSLVersion method) {
  method_ = method;
  versions_ = method == TNetSSLVersion::sslvSSLv23 ? AllVersions() : TNetSSLVersions{method};
}

void TNetSSLOptions::SetSSLVersions(TNetSSLVersions versions) {
  if (versions.Count() == 1 && !versions.Contains(TNetSSLVersion::sslvSSLv23)) {
    versions_ = versions;
    for (int v = 0; v <= static_cast<int>(TNetSSLVersion::sslvTLSv1_3); ++v) {
      if (versions.Contains(static_cast<TNetSSLVersion>(v))) method_ = static_cast<TNetSSLVersion>(v);
    }
    return;
  }
  versions.Exclude(TNetSSLVersion::sslvSSLv23);
  versions_ = versions.Empty() ? AllVersions() : versions;
  method_ = TNetSSLVersion::sslvSSLv23;
}

// --- Context ---------------------------------------------------------------------------

TNetSSLContext::TNetSSLContext(const ossl::Api& api, TNetSSLIOHandlerSocketOpenSSL& owner,
                               const TNetSSLOptions& options)
    : api_(api),
      owner_(owner),
      options_(options),
      verifyHooked_(static_cast<bool>(owner.Events.OnVerifyPeer)),
      statusHooked_(owner.Events.OnStatusInfo || owner.Events.OnStatusInfoEx),
      context_(nullptr, ossl::SslCtxDeleter{&api}) {}

TNetSSLContext::~TNetSSLContext() = default;

void TNetSSLContext::InitContext(TNetSSLMode mode) {
  if (mode == TNetSSLMode::sslmUnassigned) mode = TNetSSLMode::sslmClient;
  const ossl::SSL_METHOD* method = mode == TNetSSLMode::sslmClient   ? api_.TLS_client_method()
                                   : mode == TNetSSLMode::sslmServer ? api_.TLS_server_method()
                                                                     : api_.TLS_method();
  const bool pinned = options_.Method() != TNetSSLVersion::sslvSSLv23;
  if (!method || (pinned && ProtocolNumber(options_.Method()) == 0)) {
    throw ENetOSSLGetMethodError("Error getting SSL method.");
  }
  context_.reset(api_.SSL_CTX_new(method));
  if (!context_) RaiseCryptoError<ENetOSSLCreatingContextError>(api_, "Error creating SSL context.");
  ApplyVersions();
  // Without automatic retries a read that meets records without data (TLS 1.3 session
  // tickets, key updates) returns, so the wait for data stays the handler's.
  api_.SSL_CTX_ctrl(context_.get(), ossl::kCtrlClearMode, ossl::kModeAutoRetry, nullptr);
  api_.SSL_CTX_set_default_passwd_cb(context_.get(), PasswordCallback);
  api_.SSL_CTX_set_default_passwd_cb_userdata(context_.get(), &owner_);
  // The system's trust store is read (tens of milliseconds for a full bundle) only when
  // certificates are checked; without VerifyMode nothing ever consults it.
  if (!options_.VerifyMode.Empty() && options_.TrustSystemStore) {
    api_.SSL_CTX_set_default_verify_paths(context_.get());
    TrustSystemRoots();
  }
  if (!options_.VerifyMode.Empty() && options_.VerifyHostName && !api_.CanVerifyHost()) {
    throw ENetOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
  }
  static const unsigned char kSessionIdContext = 1;
  api_.SSL_CTX_set_session_id_context(context_.get(), &kSessionIdContext, 1);
  LoadFiles();
  if (statusHooked_) api_.SSL_CTX_set_info_callback(context_.get(), InfoCallback);
  if (!options_.CipherList.empty() && api_.SSL_CTX_set_cipher_list(context_.get(), options_.CipherList.c_str()) <= 0) {
    throw ENetOSSLSettingCipherError("SetCipher failed.");
  }
  if (!options_.VerifyMode.Empty()) {
    int flags = 0;
    if (options_.VerifyMode.Contains(TNetSSLVerifyMode::sslvrfPeer)) flags |= 0x01;
    if (options_.VerifyMode.Contains(TNetSSLVerifyMode::sslvrfFailIfNoPeerCert)) flags |= 0x02;
    if (options_.VerifyMode.Contains(TNetSSLVerifyMode::sslvrfClientOnce)) flags |= 0x04;
    api_.SSL_CTX_set_verify(context_.get(), flags, verifyHooked_ ? VerifyCallback : nullptr);
    api_.SSL_CTX_set_verify_depth(context_.get(), options_.VerifyDepth);
  }
}

void TNetSSLContext::TrustSystemRoots() {
  const std::vector<std::string> roots = platform::SystemRootCertificates();
  if (roots.empty() || !api_.d2i_X509 || !api_.X509_STORE_add_cert || !api_.SSL_CTX_get_cert_store) return;
  ossl::X509_STORE* store = api_.SSL_CTX_get_cert_store(context_.get());
  for (const std::string& der : roots) {
    const auto* data = reinterpret_cast<const unsigned char*>(der.data());
    if (ossl::X509* cert = api_.d2i_X509(nullptr, &data, static_cast<long>(der.size()))) {
      api_.X509_STORE_add_cert(store, cert);  // a duplicate is refused, and that is fine
      api_.X509_free(cert);
    }
  }
  api_.ERR_clear_error();
}

void TNetSSLContext::ApplyVersions() {
  using V = TNetSSLVersion;
  const struct {
    V version;
    std::uint64_t exclusion;
  } protocols[] = {{V::sslvSSLv3, ossl::kOpNoSSLv3},
                   {V::sslvTLSv1, ossl::kOpNoTLSv1},
                   {V::sslvTLSv1_1, ossl::kOpNoTLSv1_1},
                   {V::sslvTLSv1_2, ossl::kOpNoTLSv1_2},
                   {V::sslvTLSv1_3, ossl::kOpNoTLSv1_3}};
  const bool negotiated = options_.Method() == V::sslvSSLv23;
  for (const auto& p : protocols) {
    if (!options_.SSLVersions().Contains(p.version)) {
      api_.SetOptions(context_.get(), p.exclusion);
    } else if (negotiated) {
      api_.ClearOptions(context_.get(), p.exclusion);
    }
  }
  if (negotiated) return;
  // One version: exactly that one, or none at all when the library cannot speak it.
  const long number = ProtocolNumber(options_.Method());
  if (api_.SSL_CTX_ctrl(context_.get(), ossl::kCtrlSetMinProtoVersion, number, nullptr) <= 0 ||
      api_.SSL_CTX_ctrl(context_.get(), ossl::kCtrlSetMaxProtoVersion, number, nullptr) <= 0) {
    throw ENetOSSLGetMethodError("Error getting SSL method.");
  }
}

void TNetSSLContext::LoadFiles() {
  ossl::SSL_CTX* ctx = context_.get();
  if (!options_.RootCertFile.empty() || !options_.VerifyDirs.empty()) {
    const char* file = options_.RootCertFile.empty() ? nullptr : options_.RootCertFile.c_str();
    const char* dirs = options_.VerifyDirs.empty() ? nullptr : options_.VerifyDirs.c_str();
    if (api_.SSL_CTX_load_verify_locations(ctx, file, dirs) <= 0) {
      RaiseCryptoError<ENetOSSLLoadingRootCertError>(api_, "Could not load root certificate.");
    }
  }
  if (!options_.CertFile.empty()) {
    if (IsPkcs12File(options_.CertFile)) {
      LoadPkcs12(options_.CertFile, true, options_.KeyFile.empty());
    } else if (api_.SSL_CTX_use_certificate_file(ctx, options_.CertFile.c_str(), ossl::kSslFiletypePem) <= 0) {
      RaiseCryptoError<ENetOSSLLoadingCertError>(api_, "Could not load certificate.");
    }
  }
  if (!options_.KeyFile.empty()) {
    if (IsPkcs12File(options_.KeyFile)) {
      LoadPkcs12(options_.KeyFile, false, true);
    } else if (api_.SSL_CTX_use_PrivateKey_file(ctx, options_.KeyFile.c_str(), ossl::kSslFiletypePem) <= 0) {
      RaiseCryptoError<ENetOSSLLoadingKeyError>(api_, "Could not load key, check password.");
    }
    if (api_.SSL_CTX_check_private_key(ctx) <= 0) {
      RaiseCryptoError<ENetOSSLLoadingKeyError>(api_, "Could not load key, check password.");
    }
  }
  if (!options_.DHParamsFile.empty()) {
    ossl::BIO* bio = api_.BIO_new_file(options_.DHParamsFile.c_str(), "r");
    ossl::DH* dh =
        (bio && api_.PEM_read_bio_DHparams) ? api_.PEM_read_bio_DHparams(bio, nullptr, nullptr, nullptr) : nullptr;
    if (bio) api_.BIO_free(bio);
    const bool set = dh && api_.SSL_CTX_ctrl(ctx, ossl::kCtrlSetTmpDh, 0, dh) > 0;
    if (dh && api_.DH_free) api_.DH_free(dh);
    if (!set) RaiseCryptoError<ENetOSSLLoadingDHParamsError>(api_, "Could not load DH Parameters.");
  }
}

void TNetSSLContext::LoadPkcs12(const std::string& file, bool certificate, bool key) {
  std::string password;
  if (owner_.Events.OnGetPasswordEx) owner_.Events.OnGetPasswordEx(password, false);
  if (owner_.Events.OnGetPassword) owner_.Events.OnGetPassword(password);
  ossl::EVP_PKEY* privateKey = nullptr;
  ossl::X509* cert = nullptr;
  void* chain = nullptr;
  bool parsed = false;
  if (ossl::BIO* bio = api_.BIO_new_file(file.c_str(), "rb")) {
    if (ossl::PKCS12* p12 = api_.d2i_PKCS12_bio(bio, nullptr)) {
      parsed = api_.PKCS12_parse(p12, password.c_str(), &privateKey, &cert, &chain) > 0;
      api_.PKCS12_free(p12);
    }
    api_.BIO_free(bio);
  }
  bool ok = parsed;
  if (ok && certificate) ok = cert && api_.SSL_CTX_use_certificate(context_.get(), cert) > 0;
  const bool certOk = ok;
  if (ok && key) ok = privateKey && api_.SSL_CTX_use_PrivateKey(context_.get(), privateKey) > 0;
  if (chain) {
    // The extra chain certificates pass to the context, which frees them.
    for (int i = 0; ok && certificate && i < api_.OPENSSL_sk_num(chain); ++i) {
      api_.SSL_CTX_ctrl(context_.get(), ossl::kCtrlExtraChainCert, 0, api_.OPENSSL_sk_value(chain, i));
    }
    if (!(ok && certificate)) {
      for (int i = 0; i < api_.OPENSSL_sk_num(chain); ++i) {
        api_.X509_free(static_cast<ossl::X509*>(api_.OPENSSL_sk_value(chain, i)));
      }
    }
    api_.OPENSSL_sk_free(chain);
  }
  if (cert) api_.X509_free(cert);
  if (privateKey) api_.EVP_PKEY_free(privateKey);
  if (!ok) {
    if (certificate && !certOk) RaiseCryptoError<ENetOSSLLoadingCertError>(api_, "Could not load certificate.");
    RaiseCryptoError<ENetOSSLLoadingKeyError>(api_, "Could not load key, check password.");
  }
}

// --- Session ---------------------------------------------------------------------------

TNetSSLSocket::TNetSSLSocket(TNetSSLIOHandlerSocketOpenSSL& parent, TNetSSLContext& context)
    : api_(context.Api()), parent_(parent), context_(context), ssl_(nullptr, ossl::SslDeleter{&context.Api()}) {}

TNetSSLSocket::~TNetSSLSocket() { ForgetKeptSession(); }

void TNetSSLSocket::NoteFailure(int result) {
  lastSystemError_ = platform::TakeSystemSocketError();
  lastResult_ = result;
  lastErrorCode_ = api_.SSL_get_error(ssl_.get(), result);
  queuedError_ = 0;
  // On the non-blocking socket a call that wants the socket would have waited for it (an
  // interrupted one too goes through the wait, which then returns at once).
  lastWouldBlock_ = lastErrorCode_ == ossl::kSslErrorWantRead || lastErrorCode_ == ossl::kSslErrorWantWrite;
  if (lastErrorCode_ == ossl::kSslErrorSsl) {
    queuedError_ = api_.NextError();
    if (IsUnexpectedEof(api_, queuedError_)) {
      api_.ERR_clear_error();
      queuedError_ = 0;
      lastErrorCode_ = ossl::kSslErrorSyscall;
      lastResult_ = 0;
    } else {
      // A session whose connection failed in the protocol is not resumed (RFC 5246
      // section 7.2.2); a close without notice, or a reset, is no such failure.
      ForgetKeptSession();
    }
  }
}

template <typename E>
void TNetSSLSocket::RaiseSessionError(const std::string& text) const {
  switch (lastErrorCode_) {
    case ossl::kSslErrorSsl: RaiseCryptoError<ENetOSSLUnderlyingCryptoError>(api_, text, queuedError_);
    case ossl::kSslErrorSyscall: {
      const unsigned long queued = api_.NextError();
      if (queued != 0) RaiseCryptoError<ENetOSSLUnderlyingCryptoError>(api_, text, queued);
      if (lastResult_ == 0) {
        throw E(lastErrorCode_, lastResult_, WithText(text, "EOF was observed that violates the protocol"));
      }
      if (lastResult_ == -1) TNetStack::RaiseSocketError(lastSystemError_);
      break;
    }
    default: break;
  }
  throw E(lastErrorCode_, lastResult_, WithText(text, api_.ErrorText(static_cast<unsigned long>(lastErrorCode_))));
}

void TNetSSLSocket::RaiseLastError() const { RaiseSessionError<ENetOpenSSLAPISSLError>(""); }

void TNetSSLSocket::Connect(platform::SocketHandle socket, ossl::SSL_SESSION* resume,
                            const TNetIOHandler::Deadline& deadline, int waitMs) {
  socket_ = socket;
  ssl_.reset(api_.SSL_new(context_.Context()));
  if (!ssl_) throw ENetOSSLCreatingSessionError("Error creating SSL session.");
  api_.ERR_clear_error();
  if (api_.SSL_set_ex_data) {
    const int result = api_.SSL_set_ex_data(ssl_.get(), 0, this);
    if (result < 1) {
      NoteFailure(result);
      RaiseSessionError<ENetOSSLDataBindingError>("Error binding data to SSL socket.");
    }
  }
  const int fdResult = api_.SSL_set_fd(ssl_.get(), static_cast<int>(socket));
  if (fdResult < 1) {
    NoteFailure(fdResult);
    RaiseSessionError<ENetOSSLFDSetError>("Error setting File Descriptor for SSL");
  }
  if (!HostName.empty()) {
    api_.SSL_ctrl(ssl_.get(), ossl::kCtrlSetTlsextHostname, ossl::kTlsextNametypeHostName, HostName.data());
  }
  // A server that no longer knows the session answers with a full handshake.
  if (resume && api_.CanResumeSessions()) api_.SSL_set_session(ssl_.get(), resume);
  const TNetSSLOptions& options = context_.Options();
  const bool checkIdentity = !options.VerifyMode.Empty() && options.VerifyHostName;
  if (checkIdentity) RequireHostName();
  for (;;) {
    platform::ClearSystemSocketError();
    const int result = api_.SSL_connect(ssl_.get());
    if (result >= 1) break;
    NoteFailure(result);
    if (LastWouldBlock()) {
      const BoundedWait waited = WaitForMore(deadline, waitMs);
      if (waited == BoundedWait::More) continue;
      if (waited == BoundedWait::DeadlinePassed) throw ENetConnectTimeout("Connect timed out.");
      TNetStack::RaiseSocketError(platform::kSocketErrorTimedOut);
    }
    if (checkIdentity) RaiseIfCertificateRefused(result);
    RaiseSessionError<ENetOSSLConnectError>("Error connecting with SSL.");
  }
  KeepSession();
}

void TNetSSLSocket::RequireHostName() {
  ossl::X509_VERIFY_PARAM* param = api_.SSL_get0_param(ssl_.get());
  // An address literal must be named as an address (RFC 6125 section 1.7.2): set1_ip_asc
  // takes only those, any other text is a DNS name.
  // An empty name would switch the check off.
  if (HostName.empty() || (api_.X509_VERIFY_PARAM_set1_ip_asc(param, HostName.c_str()) != 1 &&
                           api_.X509_VERIFY_PARAM_set1_host(param, HostName.c_str(), HostName.size()) != 1)) {
    api_.ERR_clear_error();
    throw ENetOSSLConnectError(0, 0, "Error connecting with SSL.\r\nhostname mismatch");
  }
  api_.ERR_clear_error();
}

void TNetSSLSocket::RaiseIfCertificateRefused(int result) {
  if (!api_.SSL_get_verify_result || !api_.X509_verify_cert_error_string) return;
  const long verdict = api_.SSL_get_verify_result(ssl_.get());
  if (verdict == 0) return;  // X509_V_OK: the handshake failed for another reason
  api_.ERR_clear_error();
  const char* text = api_.X509_verify_cert_error_string(verdict);
  throw ENetOSSLConnectError(lastErrorCode_, result,
                             WithText("Error connecting with SSL.",
                                      text ? text : Format("error %d", static_cast<int>(verdict))));
}

long TNetSSLSocket::ResultOfFailure(int result) const {
  if (lastErrorCode_ == ossl::kSslErrorZeroReturn) return 0;
  if (lastErrorCode_ == ossl::kSslErrorSyscall && lastResult_ == 0) return 0;
  return result;
}

bool TNetSSLSocket::InsideRecord() const {
  if (api_.SSL_has_pending && api_.SSL_has_pending(ssl_.get()) == 1) return true;
  if (!api_.SSL_rstate_string) return false;
  const char* state = api_.SSL_rstate_string(ssl_.get());
  return state && std::string_view(state) == "RB";
}

long TNetSSLSocket::Recv(char* buffer, std::size_t size, const TNetIOHandler::Deadline& deadline, int waitMs) {
  const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  lastTimedOut_ = false;
  for (;;) {
    platform::ClearSystemSocketError();
    const int result = api_.SSL_read(ssl_.get(), buffer, want);
    KeepSession();
    if (result > 0) return result;
    NoteFailure(result);
    if (!LastWouldBlock()) return ResultOfFailure(result);
    // Records without data were read (tickets, a key update), or nothing at all: the
    // handler waits for the next with the caller's time-out.
    if (lastErrorCode_ == ossl::kSslErrorWantRead && !InsideRecord()) return kNetReceivedNoData;
    if (WaitForMore(deadline, waitMs) == BoundedWait::More) continue;
    lastResult_ = result;
    lastTimedOut_ = true;
    platform::SetLastSocketError(platform::kSocketErrorTimedOut);
    return -1;
  }
}

TNetSSLSocket::BoundedWait TNetSSLSocket::WaitForMore(const TNetIOHandler::Deadline& deadline, int waitMs) {
  int wait = waitMs > 0 ? waitMs : -1;
  bool untilDeadline = false;
  if (deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return BoundedWait::DeadlinePassed;
    if (wait < 0 || left <= wait) {
      wait = static_cast<int>(left);
      untilDeadline = true;
    }
  }
  const int ready = lastErrorCode_ == ossl::kSslErrorWantRead ? platform::WaitForReadable(socket_, wait)
                                                              : platform::WaitForWritable(socket_, wait);
  // A failed wait is tried by the call itself, which then reports what went wrong.
  if (ready != 0) return BoundedWait::More;
  return untilDeadline ? BoundedWait::DeadlinePassed : BoundedWait::TimedOut;
}

long TNetSSLSocket::Send(const char* data, std::size_t count) {
  const int piece = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
  lastTimedOut_ = false;
  platform::ClearSystemSocketError();
  // Without partial writes a piece counts only once all of it is written; one that found
  // no room is tried again by the handler with the same bytes.
  const int result = api_.SSL_write(ssl_.get(), data, piece);
  if (result > 0) {
    given_ += static_cast<std::uint64_t>(result);
    return result;
  }
  NoteFailure(result);
  if (!LastWouldBlock()) return ResultOfFailure(result);
  platform::SetLastSocketError(platform::kSocketErrorWouldBlock);
  return -1;
}

std::uint64_t TNetSSLSocket::WrittenToSocket() const {
  if (!api_.SSL_get_wbio || !api_.BIO_number_written) return given_;
  ossl::BIO* bio = api_.SSL_get_wbio(ssl_.get());
  return bio ? api_.BIO_number_written(bio) : given_;
}

void TNetSSLSocket::KeepSession() {
  if (!api_.CanCopySessions()) return;
  const ossl::SSL_SESSION* current = api_.SSL_get_session(ssl_.get());
  // A TLS 1.3 session becomes resumable only with a ticket, which makes a new session.
  if (!current || current == copied_ || api_.SSL_SESSION_is_resumable(current) != 1) return;
  ossl::SSL_SESSION* copy = api_.SSL_SESSION_dup(current);
  if (!copy) return;
  ForgetKeptSession();
  kept_ = copy;
  copied_ = current;
}

void TNetSSLSocket::ForgetKeptSession() {
  if (kept_) api_.SSL_SESSION_free(kept_);
  kept_ = nullptr;
  copied_ = nullptr;
}

ossl::SSL_SESSION* TNetSSLSocket::TakeSession() {
  if (kept_) return std::exchange(kept_, nullptr);
  if (!ssl_ || !api_.CanResumeSessions()) return nullptr;
  ossl::SSL_SESSION* session = api_.SSL_get1_session(ssl_.get());
  // Before 1.1.1 the library cannot tell; a session it will not resume costs nothing.
  if (session && api_.SSL_SESSION_is_resumable && api_.SSL_SESSION_is_resumable(session) != 1) {
    api_.SSL_SESSION_free(session);
    return nullptr;
  }
  return session;
}

bool TNetSSLSocket::Pending() const { return ssl_ && api_.SSL_pending && api_.SSL_pending(ssl_.get()) > 0; }

void TNetSSLSocket::Shutdown(bool twice) {
  if (!ssl_) return;
  const int result = api_.SSL_shutdown(ssl_.get());
  if (twice && result == 0) api_.SSL_shutdown(ssl_.get());
  api_.ERR_clear_error();
}

// --- Session cache ---------------------------------------------------------------------

TNetSSLSessionCache::~TNetSSLSessionCache() = default;

std::shared_ptr<TNetSSLContext> TNetSSLSessionCache::SharedContext(
    const TNetSSLOptions& options, const std::function<std::shared_ptr<TNetSSLContext>()>& make) {
  const std::lock_guard guard(lock_);
  if (context_ && options_ == options) return context_;
  std::shared_ptr<TNetSSLContext> context = make();
  session_.reset();
  server_.clear();
  context_ = context;
  options_ = options;
  return context;
}

TNetSSLSessionCache::SessionPtr TNetSSLSessionCache::SessionFor(const TNetSSLContext* context,
                                                                const std::string& server) {
  const std::lock_guard guard(lock_);
  if (!context || context != context_.get() || server != server_) return nullptr;
  return session_;
}

void TNetSSLSessionCache::KeepSession(const TNetSSLContext* context, ossl::SSL_SESSION* session,
                                      const std::string& server) {
  const ossl::Api* api = &context->Api();
  SessionPtr kept(session, [api](ossl::SSL_SESSION* s) { api->SSL_SESSION_free(s); });
  const std::lock_guard guard(lock_);
  if (context != context_.get()) return;
  // The one before is freed when no handshake holds it any more.
  session_ = std::move(kept);
  server_ = server;
}

// --- Handler ---------------------------------------------------------------------------

TNetSSLIOHandlerSocketOpenSSL::TNetSSLIOHandlerSocketOpenSSL() = default;

TNetSSLIOHandlerSocketOpenSSL::~TNetSSLIOHandlerSocketOpenSSL() { Close(); }

void TNetSSLIOHandlerSocketOpenSSL::InitContext() {
  const ossl::Api* api = ossl::LoadOpenSSL();
  if (!api) throw ENetOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
  auto context = std::make_shared<TNetSSLContext>(*api, *this, SSLOptions);
  context->InitContext(SSLOptions.Mode);
  sslContext_ = std::move(context);
}

bool TNetSSLIOHandlerSocketOpenSSL::ContextShareable() const {
  // Callbacks and key files tie a context to the handler that made it.
  return SessionCache && !Events.OnStatusInfo && !Events.OnStatusInfoEx && !Events.OnGetPassword &&
         !Events.OnGetPasswordEx && !Events.OnVerifyPeer && SSLOptions.CertFile.empty() && SSLOptions.KeyFile.empty();
}

std::string TNetSSLIOHandlerSocketOpenSSL::ServerKey() const {
  if (OpenTunnel) return TunnelTarget;  // Port is the proxy's
  return (sslSocket_ ? sslSocket_->HostName : Host) + ":" + std::to_string(Port);
}

void TNetSSLIOHandlerSocketOpenSSL::ConnectClient() {
  if (!sslContext_) {
    try {
      if (ContextShareable()) {
        sslContext_ = SessionCache->SharedContext(SSLOptions, [this] {
          InitContext();
          // It outlives this handler; with no key file nothing asks for a password.
          sslContext_->Api().SSL_CTX_set_default_passwd_cb_userdata(sslContext_->Context(), nullptr);
          return sslContext_;
        });
      } else {
        InitContext();
      }
    } catch (const ENetOSSLCouldNotLoadSSLLibrary&) {
      if (!clearTextMode_) throw;  // clear text needs no OpenSSL
    }
  }
  // ConnectTimeout bounds the resolver, the connect, a tunnel and the handshake together.
  const Deadline end = ConnectDeadline();
  const bool mode = clearTextMode_;
  clearTextMode_ = true;
  try {
    ConnectSocket(end);
    if (OpenTunnel) OpenTunnel(end);
  } catch (...) {
    clearTextMode_ = mode;
    throw;
  }
  clearTextMode_ = mode;
  if (!clearTextMode_) StartSSL(end);
}

void TNetSSLIOHandlerSocketOpenSSL::StartSSL(const Deadline& end) {
  if (!sslContext_) throw ENetOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
  sslSocket_ = std::make_unique<TNetSSLSocket>(*this, *sslContext_);
  const platform::SocketHandle handle = Binding().Handle();
  std::string host = HostOfUri(TargetUri);
  sslSocket_->HostName = host.empty() ? Host : host;
  const TNetSSLSessionCache::SessionPtr resume =
      SessionCache ? SessionCache->SessionFor(sslContext_.get(), ServerKey()) : nullptr;
  sslSocket_->Connect(handle, resume.get(), end, RecordWait());
  clearTextMode_ = false;
}

void TNetSSLIOHandlerSocketOpenSSL::SetClearTextMode(bool on) {
  if (!SourceIsAvailable()) {
    clearTextMode_ = on;
    return;
  }
  if (on == clearTextMode_) return;
  if (!on) {
    StartSSL(ConnectDeadline());
    return;
  }
  if (sslSocket_) sslSocket_->Shutdown(true);
  sslSocket_.reset();
  clearTextMode_ = true;
}

void TNetSSLIOHandlerSocketOpenSSL::FreeSession() {
  if (!sslSocket_) return;
  if (SourceIsAvailable()) sslSocket_->Shutdown(false);
  // The copy kept while the connection lasted; where the library cannot copy sessions,
  // the session as it stands after the close (a failed connection's is not resumable).
  if (SessionCache && sslContext_) {
    if (ossl::SSL_SESSION* session = sslSocket_->TakeSession()) {
      SessionCache->KeepSession(sslContext_.get(), session, ServerKey());
    }
  }
  sslSocket_.reset();
}

void TNetSSLIOHandlerSocketOpenSSL::CloseSource() {
  FreeSession();
  TNetSSLIOHandlerSocketBase::CloseSource();
}

void TNetSSLIOHandlerSocketOpenSSL::Close() {
  FreeSession();
  sslContext_.reset();
  TNetSSLIOHandlerSocketBase::Close();
}

bool TNetSSLIOHandlerSocketOpenSSL::Readable(int timeoutMs) {
  if (TlsActive() && sslSocket_->Pending()) return true;
  return TNetSSLIOHandlerSocketBase::Readable(timeoutMs);
}

long TNetSSLIOHandlerSocketOpenSSL::ReceiveSome(char* buffer, std::size_t size) {
  if (!TlsActive()) return TNetSSLIOHandlerSocketBase::ReceiveSome(buffer, size);
  return sslSocket_->Recv(buffer, size, ReadDeadline(), RecordWait());
}

long TNetSSLIOHandlerSocketOpenSSL::SendSome(const char* data, std::size_t count) {
  if (!TlsActive()) return TNetSSLIOHandlerSocketBase::SendSome(data, count);
  return sslSocket_->Send(data, count);
}

int TNetSSLIOHandlerSocketOpenSSL::CheckForError(long result) {
  if (!TlsActive()) return TNetSSLIOHandlerSocketBase::CheckForError(result);
  if (sslSocket_->LastTimedOut()) return platform::kSocketErrorTimedOut;
  if (sslSocket_->LastWouldBlock()) return platform::kSocketErrorWouldBlock;
  switch (sslSocket_->LastErrorCode()) {
    case ossl::kSslErrorNone: return 0;
    case ossl::kSslErrorSyscall: return TNetStack::CheckForSocketError();
    default: sslSocket_->RaiseLastError();
  }
}

void TNetSSLIOHandlerSocketOpenSSL::RaiseError(int error) {
  if (!TlsActive() || TNetStack::IsResultError(error)) TNetStack::RaiseSocketError(error);
  sslSocket_->RaiseLastError();
}

bool TNetSSLIOHandlerSocketOpenSSL::SendWaitsForRead() const {
  return TlsActive() && sslSocket_->LastErrorCode() == ossl::kSslErrorWantRead;
}

int TNetSSLIOHandlerSocketOpenSSL::SendStallDefault() const { return TlsActive() ? RecordTimeout : 0; }

std::uint64_t TNetSSLIOHandlerSocketOpenSSL::WrittenToSource() const {
  return TlsActive() ? sslSocket_->WrittenToSocket() : TNetSSLIOHandlerSocketBase::WrittenToSource();
}

std::string HostOfUri(std::string_view uri) {
  const std::size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view authority = uri.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    return std::string(authority.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

}  // namespace qb
