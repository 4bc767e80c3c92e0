// OpenSSL as the TLS layer sees it: opaque handle types, the table of the entry points we
// call, declared here ourselves (no OpenSSL header is included and nothing links against
// it), and the process-wide loader that fills the table from the shared libraries at run
// time. One build runs against OpenSSL 3 and 1.1, and without OpenSSL at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"

namespace qb::ossl {

struct SSL;
struct SSL_CTX;
struct SSL_SESSION;
struct SSL_METHOD;
struct X509;
struct X509_NAME;
struct X509_STORE_CTX;
struct EVP_PKEY;
struct BIO;
struct PKCS12;
struct DH;
struct X509_STORE;
struct X509_VERIFY_PARAM;

using PasswordCallback = int (*)(char* buffer, int size, int rwflag, void* userdata);
using VerifyCallback = int (*)(int preverifyOk, X509_STORE_CTX* store);
using InfoCallback = void (*)(const SSL* ssl, int where, int ret);

// Values of the OpenSSL interface that we pass or compare.
inline constexpr int kSslErrorNone = 0;
inline constexpr int kSslErrorSsl = 1;
inline constexpr int kSslErrorWantRead = 2;
inline constexpr int kSslErrorWantWrite = 3;
inline constexpr int kSslErrorSyscall = 5;
inline constexpr int kSslErrorZeroReturn = 6;
inline constexpr int kSslFiletypePem = 1;
inline constexpr int kCtrlSetTmpDh = 3;
inline constexpr int kCtrlExtraChainCert = 14;
inline constexpr int kCtrlSetTlsextHostname = 55;
inline constexpr int kCtrlSetMinProtoVersion = 123;
inline constexpr int kCtrlSetMaxProtoVersion = 124;
inline constexpr int kCtrlClearMode = 78;
inline constexpr long kTlsextNametypeHostName = 0;
inline constexpr long kModeAutoRetry = 4;
inline constexpr std::uint64_t kOpNoSSLv3 = 0x02000000;
inline constexpr std::uint64_t kOpNoTLSv1 = 0x04000000;
inline constexpr std::uint64_t kOpNoTLSv1_2 = 0x08000000;
inline constexpr std::uint64_t kOpNoTLSv1_1 = 0x10000000;
inline constexpr std::uint64_t kOpNoTLSv1_3 = 0x20000000;
inline constexpr std::uint64_t kInitLoadCryptoStrings = 0x00000002;
inline constexpr std::uint64_t kInitLoadSslStrings = 0x00200000;

struct Api {
  // SSL library.
  int (*OPENSSL_init_ssl)(std::uint64_t options, const void* settings) = nullptr;
  const SSL_METHOD* (*TLS_method)() = nullptr;
  const SSL_METHOD* (*TLS_client_method)() = nullptr;
  const SSL_METHOD* (*TLS_server_method)() = nullptr;
  SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD* method) = nullptr;
  void (*SSL_CTX_free)(SSL_CTX* ctx) = nullptr;
  long (*SSL_CTX_ctrl)(SSL_CTX* ctx, int cmd, long larg, void* parg) = nullptr;
  // uint64_t in 3.x, unsigned long in 1.1: the same on LP64; see SetOptions.
  void* SSL_CTX_set_options = nullptr;
  void* SSL_CTX_clear_options = nullptr;
  void (*SSL_CTX_set_default_passwd_cb)(SSL_CTX* ctx, PasswordCallback cb) = nullptr;
  void (*SSL_CTX_set_default_passwd_cb_userdata)(SSL_CTX* ctx, void* userdata) = nullptr;
  int (*SSL_CTX_set_default_verify_paths)(SSL_CTX* ctx) = nullptr;
  int (*SSL_CTX_load_verify_locations)(SSL_CTX* ctx, const char* file, const char* path) = nullptr;
  int (*SSL_CTX_use_certificate_file)(SSL_CTX* ctx, const char* file, int type) = nullptr;
  int (*SSL_CTX_use_PrivateKey_file)(SSL_CTX* ctx, const char* file, int type) = nullptr;
  int (*SSL_CTX_use_certificate)(SSL_CTX* ctx, X509* x) = nullptr;
  int (*SSL_CTX_use_PrivateKey)(SSL_CTX* ctx, EVP_PKEY* key) = nullptr;
  int (*SSL_CTX_check_private_key)(const SSL_CTX* ctx) = nullptr;
  int (*SSL_CTX_set_cipher_list)(SSL_CTX* ctx, const char* list) = nullptr;
  void (*SSL_CTX_set_verify)(SSL_CTX* ctx, int mode, VerifyCallback cb) = nullptr;
  void (*SSL_CTX_set_verify_depth)(SSL_CTX* ctx, int depth) = nullptr;
  int (*SSL_CTX_set_session_id_context)(SSL_CTX* ctx, const unsigned char* id, unsigned int length) = nullptr;
  void (*SSL_CTX_set_info_callback)(SSL_CTX* ctx, InfoCallback cb) = nullptr;
  SSL* (*SSL_new)(SSL_CTX* ctx) = nullptr;
  void (*SSL_free)(SSL* ssl) = nullptr;
  int (*SSL_set_fd)(SSL* ssl, int fd) = nullptr;
  long (*SSL_ctrl)(SSL* ssl, int cmd, long larg, void* parg) = nullptr;
  int (*SSL_connect)(SSL* ssl) = nullptr;
  int (*SSL_read)(SSL* ssl, void* buffer, int size) = nullptr;
  int (*SSL_write)(SSL* ssl, const void* data, int size) = nullptr;
  int (*SSL_get_error)(const SSL* ssl, int result) = nullptr;
  int (*SSL_shutdown)(SSL* ssl) = nullptr;
  void* (*SSL_get_ex_data)(const SSL* ssl, int index) = nullptr;
  int (*SSL_get_ex_data_X509_STORE_CTX_idx)() = nullptr;
  const char* (*SSL_state_string_long)(const SSL* ssl) = nullptr;
  // Optional in the SSL library.
  int (*SSL_pending)(const SSL* ssl) = nullptr;
  // Whether a record has begun and not ended: part of its header buffered, or its header
  // read and its body awaited ("RB").
  int (*SSL_has_pending)(const SSL* ssl) = nullptr;
  const char* (*SSL_rstate_string)(const SSL* ssl) = nullptr;
  // The socket's own count of the bytes written to it, records and all (a rate limit
  // charges those).
  BIO* (*SSL_get_wbio)(const SSL* ssl) = nullptr;
  int (*SSL_set_ex_data)(SSL* ssl, int index, void* data) = nullptr;
  // For checking the server's certificate (VerifyHostName, the system's root store).
  long (*SSL_get_verify_result)(const SSL* ssl) = nullptr;
  X509_VERIFY_PARAM* (*SSL_get0_param)(SSL* ssl) = nullptr;
  X509_STORE* (*SSL_CTX_get_cert_store)(const SSL_CTX* ctx) = nullptr;
  // For resuming the session of an earlier connection (is_resumable from 1.1.1 on).
  SSL_SESSION* (*SSL_get1_session)(SSL* ssl) = nullptr;
  int (*SSL_set_session)(SSL* ssl, SSL_SESSION* session) = nullptr;
  void (*SSL_SESSION_free)(SSL_SESSION* session) = nullptr;
  int (*SSL_SESSION_is_resumable)(const SSL_SESSION* session) = nullptr;
  // For keeping a copy of the session while the connection still offers it (1.1.1 on).
  SSL_SESSION* (*SSL_get_session)(const SSL* ssl) = nullptr;
  SSL_SESSION* (*SSL_SESSION_dup)(const SSL_SESSION* session) = nullptr;

  // Crypto library.
  unsigned long (*OpenSSL_version_num)() = nullptr;
  void (*ERR_clear_error)() = nullptr;
  void* (*X509_STORE_CTX_get_ex_data)(const X509_STORE_CTX* store, int index) = nullptr;
  int (*X509_STORE_CTX_get_error)(const X509_STORE_CTX* store) = nullptr;
  int (*X509_STORE_CTX_get_error_depth)(const X509_STORE_CTX* store) = nullptr;
  X509* (*X509_STORE_CTX_get_current_cert)(const X509_STORE_CTX* store) = nullptr;
  X509_NAME* (*X509_get_subject_name)(const X509* x) = nullptr;
  char* (*X509_NAME_oneline)(const X509_NAME* name, char* buffer, int size) = nullptr;
  void (*X509_free)(X509* x) = nullptr;
  void (*EVP_PKEY_free)(EVP_PKEY* key) = nullptr;
  BIO* (*BIO_new_file)(const char* name, const char* mode) = nullptr;
  int (*BIO_free)(BIO* bio) = nullptr;
  PKCS12* (*d2i_PKCS12_bio)(BIO* bio, PKCS12** out) = nullptr;
  int (*PKCS12_parse)(PKCS12* p12, const char* password, EVP_PKEY** key, X509** cert, void** ca) = nullptr;
  void (*PKCS12_free)(PKCS12* p12) = nullptr;
  int (*OPENSSL_sk_num)(const void* stack) = nullptr;
  void* (*OPENSSL_sk_value)(const void* stack, int index) = nullptr;
  void (*OPENSSL_sk_free)(void* stack) = nullptr;
  // Optional in the crypto library.
  unsigned long (*ERR_get_error)() = nullptr;
  void (*ERR_error_string_n)(unsigned long code, char* buffer, std::size_t size) = nullptr;
  DH* (*PEM_read_bio_DHparams)(BIO* bio, DH** out, PasswordCallback cb, void* userdata) = nullptr;
  void (*DH_free)(DH* dh) = nullptr;
  int (*X509_VERIFY_PARAM_set1_host)(X509_VERIFY_PARAM* param, const char* name, std::size_t length) = nullptr;
  int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM* param, const char* address) = nullptr;
  const char* (*X509_verify_cert_error_string)(long code) = nullptr;
  X509* (*d2i_X509)(X509** out, const unsigned char** in, long length) = nullptr;
  int (*X509_STORE_add_cert)(X509_STORE* store, X509* x) = nullptr;
  std::uint64_t (*BIO_number_written)(BIO* bio) = nullptr;

  // Whether every entry point is there that resuming a session, copying one, or checking
  // a server's certificate needs.
  bool CanResumeSessions() const { return SSL_get1_session && SSL_set_session && SSL_SESSION_free; }
  bool CanCopySessions() const {
    return CanResumeSessions() && SSL_get_session && SSL_SESSION_dup && SSL_SESSION_is_resumable;
  }
  bool CanVerifyHost() const {
    return SSL_get_verify_result && SSL_get0_param && X509_VERIFY_PARAM_set1_host && X509_VERIFY_PARAM_set1_ip_asc &&
           X509_verify_cert_error_string;
  }

  // OpenSSL 3 or later: wider option masks, and its own packing of error codes.
  bool IsVersion3() const { return OpenSSL_version_num() >= 0x30000000UL; }
  // SSL_CTX_set_options / SSL_CTX_clear_options with the width of the loaded version.
  void SetOptions(SSL_CTX* ctx, std::uint64_t options) const;
  void ClearOptions(SSL_CTX* ctx, std::uint64_t options) const;
  // The next code of the error queue (0 when empty or when ERR_get_error is missing).
  unsigned long NextError() const { return ERR_get_error ? ERR_get_error() : 0; }
  // ERR_error_string_n of a code, at most 160 characters.
  std::string ErrorText(unsigned long code) const;
};

// Loads one pair of libraries and fills the table. Load() tries the pairs of names in
// order and keeps the first one that loads with every required name; otherwise
// LoadFailures() lists "Failed to load %s." for each library that did not load and the
// required names that a loaded pair lacks.
class Loader {
 public:
  explicit Loader(std::vector<platform::OpenSSLLibraryNames> names) : names_(std::move(names)) {}
  bool Load();
  const std::vector<std::string>& LoadFailures() const { return failures_; }
  const Api& api() const { return api_; }

 private:
  bool LoadPair(const platform::OpenSSLLibraryNames& pair, std::vector<std::string>& failures);

  std::vector<platform::OpenSSLLibraryNames> names_;
  std::unique_ptr<platform::DynamicLibrary> crypto_;
  std::unique_ptr<platform::DynamicLibrary> ssl_;
  std::vector<std::string> failures_;
  Api api_;
};

// The process-wide OpenSSL: loaded once under a lock at the first call; a failure is
// tried again at the next call, a success is kept until the process ends. Null when
// OpenSSL cannot be loaded.
const Api* LoadOpenSSL();
// The load failures of the last attempt of the process-wide loader.
std::vector<std::string> OpenSSLLoadFailures();
// The names the process-wide loader tries (the platform's by default); settable so that
// tests can make OpenSSL missing or incomplete. Takes effect at the next load attempt.
void SetOpenSSLLibraryNames(std::vector<platform::OpenSSLLibraryNames> names);

// Owners of OpenSSL objects; their deleters call through the loaded table.
struct SslDeleter {
  const Api* api;
  void operator()(SSL* ssl) const { api->SSL_free(ssl); }
};
struct SslCtxDeleter {
  const Api* api;
  void operator()(SSL_CTX* ctx) const { api->SSL_CTX_free(ctx); }
};
using SslPtr = std::unique_ptr<SSL, SslDeleter>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

}  // namespace qb::ossl
