// The TLS side of the scripted peers, linked against OpenSSL directly (only the tests do
// that; the program loads OpenSSL at run time). Each peer makes its own EC key and
// self-signed certificate, expired on request.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <stdexcept>

#include "support/peer_socket.h"
#include "support/scripted_peer.h"

namespace qb::test {
namespace {

struct KeyAndCertificate {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  ~KeyAndCertificate() {
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
};

void MakeKeyAndCertificate(KeyAndCertificate& out, bool expired) {
  out.key = EVP_EC_gen("P-256");
  out.certificate = X509_new();
  if (!out.key || !out.certificate) throw std::runtime_error("peer: key generation failed");
  X509* cert = out.certificate;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  const long day = 24L * 3600;
  X509_gmtime_adj(X509_getm_notBefore(cert), expired ? -30 * day : -day);
  X509_gmtime_adj(X509_getm_notAfter(cert), expired ? -day : 30 * day);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, out.key);
  if (X509_sign(cert, out.key, EVP_sha256()) <= 0) throw std::runtime_error("peer: signing failed");
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!extension || X509_add_ext(cert, extension, -1) != 1) throw std::runtime_error("peer: extension failed");
  X509_EXTENSION_free(extension);
}

// A certificate for `names` (subjectAltName text), signed by `issuer` (null: by itself).
void MakeSignedCertificate(KeyAndCertificate& out, const char* commonName, const char* names, long serial, bool expired,
                           const KeyAndCertificate* issuer, bool authority) {
  out.key = EVP_EC_gen("P-256");
  out.certificate = X509_new();
  if (!out.key || !out.certificate) throw std::runtime_error("peer: key generation failed");
  X509* cert = out.certificate;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  const long day = 24L * 3600;
  X509_gmtime_adj(X509_getm_notBefore(cert), expired ? -30 * day : -day);
  X509_gmtime_adj(X509_getm_notAfter(cert), expired ? -day : 30 * day);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* issuerCert = issuer ? issuer->certificate : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  X509_set_pubkey(cert, out.key);
  if (authority) {
    AddExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert, issuerCert, NID_subject_alt_name, names);
  }
  if (X509_sign(cert, issuer ? issuer->key : out.key, EVP_sha256()) <= 0)
    throw std::runtime_error("peer: signing failed");
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

class TlsPeerConnection final : public PeerConnection {
 public:
  TlsPeerConnection(PeerSocket socket, SSL* ssl) : PeerConnection(socket), ssl_(ssl) {}
  ~TlsPeerConnection() override { SSL_free(ssl_); }

  void Close() override {
    if (socket() != kNoPeerSocket) SSL_shutdown(ssl_);
    CloseSocket();
  }

 protected:
  long ReadSome(char* buffer, std::size_t size) override {
    const int n = SSL_read(ssl_, buffer, static_cast<int>(size));
    return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
  }
  long WriteSome(const char* data, std::size_t size) override {
    const int n = SSL_write(ssl_, data, static_cast<int>(size));
    return n > 0 ? n : -1;
  }
  bool WaitReadable(int timeoutMs) override {
    if (SSL_pending(ssl_) > 0) return true;
    return PeerConnection::WaitReadable(timeoutMs);
  }

 private:
  SSL* ssl_;
};

}  // namespace

struct ScriptedTlsPeer::Context {
  SSL_CTX* ctx = nullptr;
  bool keyUpdate = false;
  std::function<bool(PeerConnection&)> beforeHandshake;
  ~Context() { SSL_CTX_free(ctx); }
};

ScriptedTlsPeer::ScriptedTlsPeer(PeerScript script, TlsPeerOptions tls, PeerOptions options)
    : ScriptedPeer(std::move(script), options, DeferStart{}), context_(std::make_unique<Context>()) {
#ifdef SIGPIPE
  // OpenSSL writes to the socket without MSG_NOSIGNAL: a script that sends after the
  // client has gone would otherwise end the test process.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  context_->ctx = ctx;
  if (!ctx) throw std::runtime_error("peer: TLS context failed");
  context_->keyUpdate = tls.keyUpdate;
  context_->beforeHandshake = std::move(tls.beforeHandshake);
  if (tls.certificate) {
    BIO* certBio = BIO_new_mem_buf(tls.certificate->certificatePem.data(), -1);
    BIO* keyBio = BIO_new_mem_buf(tls.certificate->keyPem.data(), -1);
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    const bool used = cert && key && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    if (!used) throw std::runtime_error("peer: TLS certificate failed");
  } else {
    KeyAndCertificate material;
    MakeKeyAndCertificate(material, tls.expiredCertificate);
    if (SSL_CTX_use_certificate(ctx, material.certificate) != 1 || SSL_CTX_use_PrivateKey(ctx, material.key) != 1) {
      throw std::runtime_error("peer: TLS context failed");
    }
  }
  // Old protocol versions need the lowest security level to be offered at all.
  if (tls.minVersion != 0 && tls.minVersion < TLS1_2_VERSION) SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  if (tls.minVersion) SSL_CTX_set_min_proto_version(ctx, tls.minVersion);
  if (tls.maxVersion) SSL_CTX_set_max_proto_version(ctx, tls.maxVersion);
  if (tls.requestClientCertificate) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  }
  Start();
}

ScriptedTlsPeer::~ScriptedTlsPeer() { Finish(); }

std::unique_ptr<PeerConnection> ScriptedTlsPeer::Accept(PeerSocket socket) {
  if (context_->beforeHandshake) {
    PeerConnection plain(socket);
    if (!context_->beforeHandshake(plain)) return nullptr;
    plain.Release();
  }
  SSL* ssl = SSL_new(context_->ctx);
  SSL_set_fd(ssl, static_cast<int>(socket));  // a Winsock SOCKET fits too, as OpenSSL expects
  auto connection = std::make_unique<TlsPeerConnection>(socket, ssl);
  // The socket is blocking; the wait bounds it for a client that never speaks.
  if (!peer_socket::WaitReadable(socket, kPeerTimeoutMs) || SSL_accept(ssl) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  if (context_->keyUpdate && (SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(ssl) != 1)) {
    ERR_clear_error();
    return nullptr;
  }
  std::lock_guard guard(lock_);
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  serverName_ = name ? name : "";
  version_ = SSL_version(ssl);
  if (SSL_session_reused(ssl)) ++resumed_;
  clientSubject_.clear();
  if (X509* peer = SSL_get1_peer_certificate(ssl)) {
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    clientSubject_ = subject;
    X509_free(peer);
  }
  return connection;
}

std::string ScriptedTlsPeer::serverName() const {
  std::lock_guard guard(lock_);
  return serverName_;
}

int ScriptedTlsPeer::version() const {
  std::lock_guard guard(lock_);
  return version_;
}

int ScriptedTlsPeer::resumedSessions() const {
  std::lock_guard guard(lock_);
  return resumed_;
}

std::string ScriptedTlsPeer::clientSubject() const {
  std::lock_guard guard(lock_);
  return clientSubject_;
}

namespace {

TestCertificates::Server PemOf(const KeyAndCertificate& material) {
  TestCertificates::Server pem;
  BIO* certBio = BIO_new(BIO_s_mem());
  BIO* keyBio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certBio, material.certificate);
  PEM_write_bio_PrivateKey(keyBio, material.key, nullptr, nullptr, 0, nullptr, nullptr);
  pem.certificatePem = BioText(certBio);
  pem.keyPem = BioText(keyBio);
  BIO_free(certBio);
  BIO_free(keyBio);
  return pem;
}

}  // namespace

void ScriptedTlsPeer::MakeCertificatePem(std::string& certificatePem, std::string& keyPem, bool expired) {
  KeyAndCertificate material;
  MakeKeyAndCertificate(material, expired);
  TestCertificates::Server pem = PemOf(material);
  certificatePem = std::move(pem.certificatePem);
  keyPem = std::move(pem.keyPem);
}

TestCertificates TestCertificates::Make() {
  constexpr const char* kNames = "DNS:localhost,IP:127.0.0.1";
  KeyAndCertificate authority, good, expired, otherName, selfSigned;
  MakeSignedCertificate(authority, "Test Authority", nullptr, 1, false, nullptr, true);
  MakeSignedCertificate(good, "localhost", kNames, 2, false, &authority, false);
  MakeSignedCertificate(expired, "localhost", kNames, 3, true, &authority, false);
  MakeSignedCertificate(otherName, "other.example", "DNS:other.example", 4, false, &authority, false);
  MakeSignedCertificate(selfSigned, "localhost", kNames, 5, false, nullptr, false);
  TestCertificates made;
  made.authorityPem = PemOf(authority).certificatePem;
  made.good = PemOf(good);
  made.expired = PemOf(expired);
  made.otherName = PemOf(otherName);
  made.selfSigned = PemOf(selfSigned);
  return made;
}

}  // namespace qb::test
