// TLS for the transport: an I/O handler that runs either in clear-text mode (bytes pass
// unchanged) or in TLS mode over OpenSSL, loaded at run time at the first context. The
// receive and send primitives of the socket handler dispatch on the mode; the connect
// adds the handshake after the TCP connect.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/net_io_handler.h"
#include "net/net_openssl_library.h"
#include "net/net_set.h"
#include "net/net_ssl_exception.h"

namespace qb {

// --- Options ---------------------------------------------------------------------------

enum class TNetSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3 };
enum class TNetSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum class TNetSSLVerifyMode { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };

using TNetSSLVersions = TNetSet<TNetSSLVersion>;
using TNetSSLVerifyModeSet = TNetSet<TNetSSLVerifyMode>;

class TNetSSLOptions {
 public:
  std::string RootCertFile;
  std::string CertFile;
  std::string KeyFile;
  std::string DHParamsFile;
  TNetSSLMode Mode = TNetSSLMode::sslmUnassigned;
  TNetSSLVerifyModeSet VerifyMode;
  int VerifyDepth = 0;
  std::string VerifyDirs;
  std::string CipherList;
  // With VerifyMode set: the certificate must also name the host of the handshake (a DNS
  // name, or an address for an IP literal), and a refused certificate fails the handshake
  // with ENetOSSLConnectError and the verification's own text ("certificate has expired")
  // instead of the library's "certificate verify failed".
  bool VerifyHostName = false;
  // With VerifyMode set: the system's root certificates are trusted besides RootCertFile
  // and VerifyDirs. Off, only those two are.
  bool TrustSystemStore = true;

  // The default negotiates the best version both sides have: sslvSSLv23 with TLS 1.0 to
  // TLS 1.3. Setting Method to one version pins it (SSLVersions holds just it); setting
  // it to sslvSSLv23 allows every version. Setting SSLVersions to one version makes it
  // the Method; to several, Method becomes sslvSSLv23; an empty set, or one holding only
  // sslvSSLv23, allows every version.
  friend bool operator==(const TNetSSLOptions&, const TNetSSLOptions&) = default;

  TNetSSLVersion Method() const { return method_; }
  void SetMethod(TNetSSLVersion method);
  const TNetSSLVersions& SSLVersions() const { return versions_; }
  void SetSSLVersions(TNetSSLVersions versions);

 private:
  TNetSSLVersion method_ = TNetSSLVersion::sslvSSLv23;
  TNetSSLVersions versions_{TNetSSLVersion::sslvTLSv1, TNetSSLVersion::sslvTLSv1_1, TNetSSLVersion::sslvTLSv1_2,
                            TNetSSLVersion::sslvTLSv1_3};
};

// --- Handlers --------------------------------------------------------------------------

class TNetSSLIOHandlerSocketBase : public TNetIOHandlerStack {
 public:
  bool ClearTextMode() const { return clearTextMode_; }
  // On a connected handler the switch happens at once: to TLS with a handshake, back to
  // clear text with a shutdown of the session.
  virtual void SetClearTextMode(bool on) { clearTextMode_ = on; }
  // The URL being served; its host is the server name sent in the handshake.
  std::string TargetUri;
  // A tunnel through a proxy, which Host and Port then name: after the TCP connect and
  // before the handshake, OpenTunnel runs in clear text with the connect's deadline (the
  // one ConnectTimeout sets for the connect and the handshake together) and leaves the
  // connection at the server of TargetUri. TunnelTarget ("host:port") names that server
  // for what is its own, such as its TLS sessions. None: a direct connection.
  std::function<void(const Deadline& end)> OpenTunnel;
  std::string TunnelTarget;

 protected:
  bool clearTextMode_ = true;
};

class TNetSSLContext;
class TNetSSLSocket;
class TNetSSLIOHandlerSocketOpenSSL;

// Hooks a program may set; the upload sets none.
struct TNetSSLEvents {
  std::function<void(const std::string& state)> OnStatusInfo;
  std::function<void(int where, int ret, const std::string& state)> OnStatusInfoEx;
  std::function<void(std::string& password)> OnGetPassword;
  std::function<void(std::string& password, bool isWrite)> OnGetPasswordEx;
  // Called for each certificate of the chain when VerifyMode is set; answers whether to
  // accept it.
  std::function<bool(const std::string& subject, bool ok, int depth, int error)> OnVerifyPeer;
};

// One SSL_CTX with a copy of the options it was made from.
class TNetSSLContext {
 public:
  TNetSSLContext(const ossl::Api& api, TNetSSLIOHandlerSocketOpenSSL& owner, const TNetSSLOptions& options);
  ~TNetSSLContext();
  TNetSSLContext(const TNetSSLContext&) = delete;
  TNetSSLContext& operator=(const TNetSSLContext&) = delete;

  // Creates the context for `mode` (sslmUnassigned: client) and applies the options.
  void InitContext(TNetSSLMode mode);
  ossl::SSL_CTX* Context() const { return context_.get(); }
  const ossl::Api& Api() const { return api_; }
  const TNetSSLOptions& Options() const { return options_; }

 private:
  void ApplyVersions();
  void TrustSystemRoots();
  void LoadFiles();
  void LoadPkcs12(const std::string& file, bool certificate, bool key);
  const ossl::Api& api_;
  TNetSSLIOHandlerSocketOpenSSL& owner_;
  TNetSSLOptions options_;
  bool verifyHooked_;
  bool statusHooked_;
  ossl::SslCtxPtr context_;
};

// One TLS session on a connected socket.
class TNetSSLSocket {
 public:
  TNetSSLSocket(TNetSSLIOHandlerSocketOpenSSL& parent, TNetSSLContext& context);
  ~TNetSSLSocket();
  TNetSSLSocket(const TNetSSLSocket&) = delete;
  TNetSSLSocket& operator=(const TNetSSLSocket&) = delete;

  std::string HostName;

  // Creates the session, sends HostName as server name and does the handshake on the
  // non-blocking `socket`, offering to resume `resume` (a session of an earlier connection
  // to the same server) if given. It does not go on past the deadline, however slowly the
  // server's part trickles in (ENetConnectTimeout), nor waits `waitMs` without a byte (the
  // socket error 10060; -1: no such limit).
  void Connect(platform::SocketHandle socket, ossl::SSL_SESSION* resume = nullptr,
               const TNetIOHandler::Deadline& deadline = std::nullopt, int waitMs = -1);
  // The session as another connection could resume it (the caller owns it), or nothing.
  ossl::SSL_SESSION* TakeSession();
  // The primitives: a count, 0 for a close by the peer, negative on failure. A receive
  // that finds no record begun gives kNetReceivedNoData, and the caller waits for one with
  // its own limits; the rest of a record that has begun is awaited here, at most until the
  // deadline and `waitMs` without a byte (-1: no such limit), and a wait that runs out is
  // a time-out (LastTimedOut). A send that finds no room gives -1 with LastWouldBlock.
  long Recv(char* buffer, std::size_t size, const TNetIOHandler::Deadline& deadline = std::nullopt, int waitMs = -1);
  long Send(const char* data, std::size_t count);
  // The bytes written to the socket by the session so far, records and all (where the
  // library cannot tell: the bytes given to it).
  std::uint64_t WrittenToSocket() const;
  bool Pending() const;
  // Sends the closing notice; a second call when the first reports it unfinished.
  void Shutdown(bool twice);

  // The SSL_get_error code and call result of the last failure.
  int LastErrorCode() const { return lastErrorCode_; }
  int LastResult() const { return lastResult_; }
  bool LastTimedOut() const { return lastTimedOut_; }
  // Whether the last failure asks to wait for the socket (a want-read or want-write: on
  // the non-blocking socket the call would have waited).
  bool LastWouldBlock() const { return lastWouldBlock_; }
  TNetSSLIOHandlerSocketOpenSSL& Parent() const { return parent_; }

  // Raises the session error for the last failure (ENetOpenSSLAPISSLError, or the class
  // given): `text` and CR LF, then the detail that the SSL_get_error code calls for.
  [[noreturn]] void RaiseLastError() const;

 private:
  // Records a failed call: its SSL_get_error code and the system's socket error.
  void NoteFailure(int result);
  // After NoteFailure of a read or write that wants neither a read nor a write: 0 for a
  // close by the peer, else the call's own result.
  long ResultOfFailure(int result) const;
  // Whether a record has begun and not ended.
  bool InsideRecord() const;
  // Waits for what the last failure wants, within the deadline and waitMs, and says which
  // ran out.
  enum class BoundedWait { More, TimedOut, DeadlinePassed };
  BoundedWait WaitForMore(const TNetIOHandler::Deadline& deadline, int waitMs);
  template <typename E>
  [[noreturn]] void RaiseSessionError(const std::string& text) const;
  // Copies the session whenever the connection has a new resumable one (after the
  // handshake; TLS 1.3 tickets arrive with later reads): OpenSSL marks the session itself
  // unresumable when the peer closes without its closing notice, which a server may do
  // right after its answer.
  void KeepSession();
  void ForgetKeptSession();
  // Makes the handshake check that the certificate names HostName.
  void RequireHostName();
  // After a failed handshake: raises ENetOSSLConnectError with the verification's own
  // text ("certificate has expired") when the server's certificate was refused.
  void RaiseIfCertificateRefused(int result);

  const ossl::Api& api_;
  TNetSSLIOHandlerSocketOpenSSL& parent_;
  TNetSSLContext& context_;
  ossl::SslPtr ssl_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  int lastErrorCode_ = 0;
  int lastResult_ = 0;
  bool lastWouldBlock_ = false;
  bool lastTimedOut_ = false;
  int lastSystemError_ = 0;
  unsigned long queuedError_ = 0;
  const ossl::SSL_SESSION* copied_ = nullptr;  // the connection's session that kept_ copies
  ossl::SSL_SESSION* kept_ = nullptr;          // owned
  std::uint64_t given_ = 0;                    // bytes SSL_write took
};

// What one caller's connections can share from one to the next: the TLS context, whose
// making costs about as much as the rest of a small upload, and the session of the last
// connection to a server, which the next connection there resumes instead of a full
// handshake. A caller that connects again and again (one connection per file) gives the
// same cache to each of its handlers; handlers on several threads at once may share it.
// Handlers with callbacks or a key of their own build their own context, as without a
// cache.
class TNetSSLSessionCache {
 public:
  TNetSSLSessionCache() = default;
  ~TNetSSLSessionCache();
  TNetSSLSessionCache(const TNetSSLSessionCache&) = delete;
  TNetSSLSessionCache& operator=(const TNetSSLSessionCache&) = delete;

 private:
  friend class TNetSSLIOHandlerSocketOpenSSL;
  // Held by a handshake that offers it: the cache may take another session meanwhile.
  using SessionPtr = std::shared_ptr<ossl::SSL_SESSION>;

  // The context made for `options`; without one, `make` makes it (once, however many
  // handlers ask at the same time) and it replaces the one before, with its session.
  std::shared_ptr<TNetSSLContext> SharedContext(const TNetSSLOptions& options,
                                                const std::function<std::shared_ptr<TNetSSLContext>()>& make);
  // The session of the last connection to `server` through `context`, or none.
  SessionPtr SessionFor(const TNetSSLContext* context, const std::string& server);
  // Takes `session` (owned) as the last one to `server` through `context`; frees it when
  // the cache holds another context by now.
  void KeepSession(const TNetSSLContext* context, ossl::SSL_SESSION* session, const std::string& server);

  std::mutex lock_;
  std::shared_ptr<TNetSSLContext> context_;
  TNetSSLOptions options_;  // those the context was made with
  std::string server_;      // host and port the session belongs to
  SessionPtr session_;
};

class TNetSSLIOHandlerSocketOpenSSL : public TNetSSLIOHandlerSocketBase {
 public:
  TNetSSLIOHandlerSocketOpenSSL();
  ~TNetSSLIOHandlerSocketOpenSSL() override;

  TNetSSLOptions SSLOptions;
  TNetSSLEvents Events;
  // Milliseconds that a read may stall inside a record, the handshake may wait for a byte,
  // or a send may go without a byte leaving, when ReadTimeout (or, for a send,
  // SendTimeout) sets no limit of its own.
  int RecordTimeout = 30000;
  // Shared with the caller's other handlers; none: every connection starts afresh.
  std::shared_ptr<TNetSSLSessionCache> SessionCache;

  void SetClearTextMode(bool on) override;
  void Close() override;

  TNetSSLSocket* SSLSocket() const { return sslSocket_.get(); }
  TNetSSLContext* SSLContext() const { return sslContext_.get(); }

 protected:
  void ConnectClient() override;
  void CloseSource() override;
  bool Readable(int timeoutMs) override;
  long ReceiveSome(char* buffer, std::size_t size) override;
  long SendSome(const char* data, std::size_t count) override;
  int CheckForError(long result) override;
  [[noreturn]] void RaiseError(int error) override;
  bool SendWaitsForRead() const override;
  int SendStallDefault() const override;
  std::uint64_t WrittenToSource() const override;

 private:
  // How long a wait inside a record or the handshake may go without a byte.
  int RecordWait() const { return ReadTimeout > 0 ? ReadTimeout : RecordTimeout; }
  void InitContext();
  // The handshake, done by `end` when there is one.
  void StartSSL(const Deadline& end);
  void FreeSession();
  bool TlsActive() const { return !clearTextMode_ && sslSocket_; }
  bool ContextShareable() const;
  std::string ServerKey() const;

  std::shared_ptr<TNetSSLContext> sslContext_;
  std::unique_ptr<TNetSSLSocket> sslSocket_;
};

// The host of a URL ("https://user@[::1]:8443/x" gives "::1"); empty when it has none.
// The transport sits below the HTTP layer's URI parser, so it reads the host itself; the
// HTTP client hands it URLs that parser composed.
std::string HostOfUri(std::string_view uri);

}  // namespace qb
