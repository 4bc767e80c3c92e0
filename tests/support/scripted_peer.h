// Scripted peers for transport and HTTP tests: a server on loopback (127.0.0.1 or ::1, a
// port the system picks) that accepts connections on its own thread and runs a script
// for each, plain or over TLS. Every wait is bounded (kPeerTimeoutMs), so a peer whose
// client misbehaves ends by itself; a failed step is kept as text for the test to check.
// The TLS peers link OpenSSL and exist only where the tests have it (QUOBRINA_TLS_PEERS):
// not in a Windows build without the OpenSSL DLLs, whose program then fails https with
// "Could not load SSL library.".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qb::test {

inline constexpr int kPeerTimeoutMs = 10000;
inline constexpr bool kTlsPeers = QUOBRINA_TLS_PEERS;

// A socket of the system (a file descriptor, a Winsock SOCKET); kNoPeerSocket when none.
using PeerSocket = std::intptr_t;
inline constexpr PeerSocket kNoPeerSocket = -1;

// One accepted connection as the script sees it.
class PeerConnection {
 public:
  explicit PeerConnection(PeerSocket socket) : socket_(socket) {}
  virtual ~PeerConnection();
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  PeerSocket socket() const { return socket_; }

  // Sends all bytes; false when the client is gone.
  bool Send(std::string_view bytes);
  // Up to `count` bytes: fewer only when the client closes or the time-out passes.
  std::string Receive(std::size_t count);
  // Everything up to and including `sequence` (or up to the close).
  std::string ReceiveUntil(std::string_view sequence);
  // Everything until the client closes.
  std::string ReceiveAll();
  // Reads and drops up to `count` bytes (fewer when the client closes); returns how many.
  std::size_t Discard(std::size_t count);
  // Waits until the client has closed its side (or the time-out passes).
  bool WaitForClose();

  // Orderly close (over TLS: close notify first).
  virtual void Close();
  // Shuts the sending side down; the client sees the end of the stream.
  void ShutdownWrite();
  // Abortive close: the client sees a reset.
  void Reset();
  // Leaves the socket open and to the caller; this object no longer uses it.
  PeerSocket Release();

 protected:
  // One raw read or write: a count, 0 at the end, -1 on failure.
  virtual long ReadSome(char* buffer, std::size_t size);
  virtual long WriteSome(const char* data, std::size_t size);
  // Whether a read can make progress within the time-out.
  virtual bool WaitReadable(int timeoutMs);
  void CloseSocket();

 private:
  PeerSocket socket_;
  std::string pending_;  // read past a sequence
};

using PeerScript = std::function<void(PeerConnection&)>;

struct PeerOptions {
  bool ipv6 = false;
  int connections = 1;  // how many connections to accept and script
  // Each connection's script runs on a thread of its own, so that several clients are
  // served at once; otherwise one after another.
  bool concurrent = false;
  // An IPv4 loopback address other than 127.0.0.1 and a fixed port (0: the system
  // picks), for tests that need a well-known port; the constructor throws when the
  // address or port cannot be bound.
  const char* address = nullptr;
  std::uint16_t port = 0;
  // Connection requests the listener queues before it accepts them; a listener with a
  // full queue and no connections to script makes a connect hang.
  int backlog = 8;
  // The receive buffer of the accepted connections in bytes (0: the system's): a small
  // one keeps what the script has not read yet on the client's machine, as a slow link
  // would.
  int receiveBuffer = 0;
};

class ScriptedPeer {
 public:
  ScriptedPeer(PeerScript script, PeerOptions options = {});
  virtual ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  // Waits for the scripts to end; returns the first failure text, empty when none.
  std::string Finish();

 protected:
  struct DeferStart {};
  // For derived peers, which call Start() at the end of their own constructor.
  ScriptedPeer(PeerScript script, PeerOptions options, DeferStart);
  void Start();
  // Wraps an accepted socket; TLS peers do their handshake here (null when it failed).
  virtual std::unique_ptr<PeerConnection> Accept(PeerSocket socket);
  void Fail(const std::string& text);

 private:
  void Run();

  PeerScript script_;
  PeerOptions options_;
  std::uint16_t port_ = 0;  // before listener_, whose start sets it
  PeerSocket listener_ = kNoPeerSocket;
  std::thread thread_;
  std::mutex lock_;
  std::string failure_;
};

#if QUOBRINA_TLS_PEERS
// A certificate authority and server certificates, made for a test, all in PEM.
struct TestCertificates {
  struct Server {
    std::string certificatePem;
    std::string keyPem;
  };
  std::string authorityPem;
  Server good;        // signed by the authority for localhost and 127.0.0.1, valid now
  Server expired;     // the same, but expired yesterday
  Server otherName;   // signed by the authority, valid, for other.example only
  Server selfSigned;  // valid, for localhost and 127.0.0.1, but signed by itself
  static TestCertificates Make();
};

// TLS versions as the wire names them (0x0301 TLS 1.0 ... 0x0304 TLS 1.3); 0: no limit.
struct TlsPeerOptions {
  int minVersion = 0;
  int maxVersion = 0;
  bool expiredCertificate = false;
  // Ask for a client certificate and record its subject.
  bool requestClientCertificate = false;
  // The certificate to show instead of one made for the peer.
  const TestCertificates::Server* certificate = nullptr;
  // After the handshake, send a TLS 1.3 key update that asks for one back.
  bool keyUpdate = false;
  // Plain text before the handshake, as through a proxy's tunnel: runs on each connection
  // first and answers whether the handshake and the script follow (false: the connection
  // is closed).
  std::function<bool(PeerConnection&)> beforeHandshake = nullptr;
};

// A peer that speaks TLS with a self-signed certificate made for it.
class ScriptedTlsPeer : public ScriptedPeer {
 public:
  ScriptedTlsPeer(PeerScript script, TlsPeerOptions tls = {}, PeerOptions options = {});
  ~ScriptedTlsPeer() override;

  // What the last handshake carried: the server name (empty when none), the version
  // (0x0303 ...), the client certificate's subject.
  std::string serverName() const;
  int version() const;
  std::string clientSubject() const;
  // How many handshakes resumed an earlier session.
  int resumedSessions() const;

  // A key and self-signed certificate in PEM, for tests that hand them to the client.
  static void MakeCertificatePem(std::string& certificatePem, std::string& keyPem, bool expired = false);

 protected:
  std::unique_ptr<PeerConnection> Accept(PeerSocket socket) override;

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  mutable std::mutex lock_;
  std::string serverName_;
  int version_ = 0;
  int resumed_ = 0;
  std::string clientSubject_;
};
#endif

}  // namespace qb::test
