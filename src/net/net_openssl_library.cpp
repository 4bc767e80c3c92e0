// Implementation details: every entry point is looked up by name into one table; a
// required name that is missing is recorded, never left to be called through a null
// pointer. OpenSSL 1.1 and later lock internally, so no locking callbacks are installed.
// The process-wide loader is never destroyed: OpenSSL's own exit handlers may run after
// static destructors, and must find the libraries still mapped.
#include "net/net_openssl_library.h"

#include <cstring>

#include "support/format.h"

namespace qb::ossl {
namespace {

template <typename F>
void Assign(F& slot, void* symbol) {
  static_assert(sizeof(F) == sizeof(void*));
  std::memcpy(&slot, &symbol, sizeof slot);
}

class Binder {
 public:
  Binder(const platform::DynamicLibrary& library, std::vector<std::string>& failures)
      : library_(library), failures_(failures) {}

  template <typename F>
  void Required(F& slot, const char* name) {
    Assign(slot, library_.Symbol(name));
    if (!slot) failures_.push_back(name);
  }
  template <typename F>
  void Optional(F& slot, const char* name) {
    Assign(slot, library_.Symbol(name));
  }

 private:
  const platform::DynamicLibrary& library_;
  std::vector<std::string>& failures_;
};

#define QB_REQUIRED(binder, name) binder.Required(api.name, #name)
#define QB_OPTIONAL(binder, name) binder.Optional(api.name, #name)

void BindSsl(Binder& b, Api& api) {
  QB_REQUIRED(b, OPENSSL_init_ssl);
  QB_REQUIRED(b, TLS_method);
  QB_REQUIRED(b, TLS_client_method);
  QB_REQUIRED(b, TLS_server_method);
  QB_REQUIRED(b, SSL_CTX_new);
  QB_REQUIRED(b, SSL_CTX_free);
  QB_REQUIRED(b, SSL_CTX_ctrl);
  QB_REQUIRED(b, SSL_CTX_set_options);
  QB_REQUIRED(b, SSL_CTX_clear_options);
  QB_REQUIRED(b, SSL_CTX_set_default_passwd_cb);
  QB_REQUIRED(b, SSL_CTX_set_default_passwd_cb_userdata);
  QB_REQUIRED(b, SSL_CTX_set_default_verify_paths);
  QB_REQUIRED(b, SSL_CTX_load_verify_locations);
  QB_REQUIRED(b, SSL_CTX_use_certificate_file);
  QB_REQUIRED(b, SSL_CTX_use_PrivateKey_file);
  QB_REQUIRED(b, SSL_CTX_use_certificate);
  QB_REQUIRED(b, SSL_CTX_use_PrivateKey);
  QB_REQUIRED(b, SSL_CTX_check_private_key);
  QB_REQUIRED(b, SSL_CTX_set_cipher_list);
  QB_REQUIRED(b, SSL_CTX_set_verify);
  QB_REQUIRED(b, SSL_CTX_set_verify_depth);
  QB_REQUIRED(b, SSL_CTX_set_session_id_context);
  QB_REQUIRED(b, SSL_CTX_set_info_callback);
  QB_REQUIRED(b, SSL_new);
  QB_REQUIRED(b, SSL_free);
  QB_REQUIRED(b, SSL_set_fd);
  QB_REQUIRED(b, SSL_ctrl);
  QB_REQUIRED(b, SSL_connect);
  QB_REQUIRED(b, SSL_read);
  QB_REQUIRED(b, SSL_write);
  QB_REQUIRED(b, SSL_get_error);
  QB_REQUIRED(b, SSL_shutdown);
  QB_REQUIRED(b, SSL_get_ex_data);
  QB_REQUIRED(b, SSL_get_ex_data_X509_STORE_CTX_idx);
  QB_REQUIRED(b, SSL_state_string_long);
  QB_OPTIONAL(b, SSL_pending);
  QB_OPTIONAL(b, SSL_has_pending);
  QB_OPTIONAL(b, SSL_rstate_string);
  QB_OPTIONAL(b, SSL_set_ex_data);
  QB_OPTIONAL(b, SSL_get_verify_result);
  QB_OPTIONAL(b, SSL_get0_param);
  QB_OPTIONAL(b, SSL_CTX_get_cert_store);
  QB_OPTIONAL(b, SSL_get1_session);
  QB_OPTIONAL(b, SSL_set_session);
  QB_OPTIONAL(b, SSL_SESSION_free);
  QB_OPTIONAL(b, SSL_SESSION_is_resumable);
  QB_OPTIONAL(b, SSL_get_session);
  QB_OPTIONAL(b, SSL_SESSION_dup);
}

void BindCrypto(Binder& b, Api& api) {
  QB_REQUIRED(b, OpenSSL_version_num);
  QB_REQUIRED(b, ERR_clear_error);
  QB_REQUIRED(b, X509_STORE_CTX_get_ex_data);
  QB_REQUIRED(b, X509_STORE_CTX_get_error);
  QB_REQUIRED(b, X509_STORE_CTX_get_error_depth);
  QB_REQUIRED(b, X509_STORE_CTX_get_current_cert);
  QB_REQUIRED(b, X509_get_subject_name);
  QB_REQUIRED(b, X509_NAME_oneline);
  QB_REQUIRED(b, X509_free);
  QB_REQUIRED(b, EVP_PKEY_free);
  QB_REQUIRED(b, BIO_new_file);
  QB_REQUIRED(b, BIO_free);
  QB_REQUIRED(b, d2i_PKCS12_bio);
  QB_REQUIRED(b, PKCS12_parse);
  QB_REQUIRED(b, PKCS12_free);
  QB_REQUIRED(b, OPENSSL_sk_num);
  QB_REQUIRED(b, OPENSSL_sk_value);
  QB_REQUIRED(b, OPENSSL_sk_free);
  QB_OPTIONAL(b, ERR_get_error);
  QB_OPTIONAL(b, ERR_error_string_n);
  QB_OPTIONAL(b, PEM_read_bio_DHparams);
  QB_OPTIONAL(b, DH_free);
  QB_OPTIONAL(b, X509_VERIFY_PARAM_set1_host);
  QB_OPTIONAL(b, X509_VERIFY_PARAM_set1_ip_asc);
  QB_OPTIONAL(b, X509_verify_cert_error_string);
  QB_OPTIONAL(b, d2i_X509);
  QB_OPTIONAL(b, X509_STORE_add_cert);
  QB_OPTIONAL(b, BIO_number_written);
}

#undef QB_REQUIRED
#undef QB_OPTIONAL

template <typename Wide, typename Narrow>
void CallOptions(const Api& api, void* function, SSL_CTX* ctx, std::uint64_t options) {
  if (api.IsVersion3()) {
    Wide call;
    Assign(call, function);
    call(ctx, options);
  } else {
    Narrow call;
    Assign(call, function);
    call(ctx, static_cast<unsigned long>(options));
  }
}

using WideOptions = std::uint64_t (*)(SSL_CTX*, std::uint64_t);
using NarrowOptions = unsigned long (*)(SSL_CTX*, unsigned long);

struct ProcessState {
  std::mutex lock;
  std::vector<platform::OpenSSLLibraryNames> names = platform::DefaultOpenSSLLibraryNames();
  std::unique_ptr<Loader> loaded;  // set once, on success
  std::vector<std::string> failures;
};

ProcessState& State() {
  static ProcessState& state = *new ProcessState();  // never destroyed, see above
  return state;
}

}  // namespace

void Api::SetOptions(SSL_CTX* ctx, std::uint64_t options) const {
  CallOptions<WideOptions, NarrowOptions>(*this, SSL_CTX_set_options, ctx, options);
}

void Api::ClearOptions(SSL_CTX* ctx, std::uint64_t options) const {
  CallOptions<WideOptions, NarrowOptions>(*this, SSL_CTX_clear_options, ctx, options);
}

std::string Api::ErrorText(unsigned long code) const {
  if (!ERR_error_string_n) return Format("error:%.8x", static_cast<unsigned>(code));
  char buffer[161] = {};
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

bool Loader::LoadPair(const platform::OpenSSLLibraryNames& pair, std::vector<std::string>& failures) {
  crypto_ = platform::LoadDynamicLibrary(pair.crypto);
  if (!crypto_) {
    failures.push_back(Format("Failed to load %s.", pair.crypto));
    return false;
  }
  ssl_ = platform::LoadDynamicLibrary(pair.ssl);
  if (!ssl_) {
    failures.push_back(Format("Failed to load %s.", pair.ssl));
    return false;
  }
  api_ = Api();
  const std::size_t before = failures.size();
  Binder crypto(*crypto_, failures);
  BindCrypto(crypto, api_);
  Binder ssl(*ssl_, failures);
  BindSsl(ssl, api_);
  if (failures.size() != before) return false;
  if (api_.OPENSSL_init_ssl(kInitLoadSslStrings | kInitLoadCryptoStrings, nullptr) <= 0) {
    failures.push_back("OPENSSL_init_ssl failed.");
    return false;
  }
  return true;
}

bool Loader::Load() {
  failures_.clear();
  std::vector<std::string> failures;
  for (const platform::OpenSSLLibraryNames& pair : names_) {
    if (LoadPair(pair, failures)) return true;
  }
  api_ = Api();
  ssl_.reset();
  crypto_.reset();
  failures_ = std::move(failures);
  if (names_.empty()) failures_.push_back("No OpenSSL library names.");
  return false;
}

const Api* LoadOpenSSL() {
  ProcessState& state = State();
  std::lock_guard guard(state.lock);
  if (state.loaded) return &state.loaded->api();
  auto loader = std::make_unique<Loader>(state.names);
  if (!loader->Load()) {
    state.failures = loader->LoadFailures();
    return nullptr;
  }
  state.failures.clear();
  state.loaded = std::move(loader);
  return &state.loaded->api();
}

std::vector<std::string> OpenSSLLoadFailures() {
  ProcessState& state = State();
  std::lock_guard guard(state.lock);
  return state.failures;
}

void SetOpenSSLLibraryNames(std::vector<platform::OpenSSLLibraryNames> names) {
  ProcessState& state = State();
  std::lock_guard guard(state.lock);
  state.names = std::move(names);
}

}  // namespace qb::ossl
