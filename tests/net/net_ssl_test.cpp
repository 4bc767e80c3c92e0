// The TLS handler against scripted TLS peers on loopback, and the run-time loading of
// OpenSSL with missing or incomplete libraries. Only where the tests have OpenSSL; what
// needs none is in net_ssl_no_library_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/net_ssl_openssl.h"
#include "net/tls_test_client.h"
#include "support/format.h"
#include "support/peer_socket.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::Client;
using test::ConnectError;
using test::MakeClient;
using test::PeerConnection;
using test::ScriptedPeer;
using test::ScriptedTlsPeer;
using test::TlsPeerOptions;
using V = TNetSSLVersion;

// Answers one line with "pong" and ends with the closing notice.
void PingPong(PeerConnection& c) {
  if (c.ReceiveUntil("\r\n") == "ping\r\n") c.Send("pong\r\n");
  c.Close();
}

void ExpectPingPong(Client& client) {
  client.tcp.OpenConnection();
  client.io().SendLine("ping");
  EXPECT_EQ(client.io().ReadLine(), "pong");
  TMemoryStream rest;
  client.io().ReadToStream(&rest, -1, true);  // the closing notice ends it quietly
  EXPECT_EQ(rest.GetSize(), 0);
}

TEST(NetSslTest, DefaultOptionsReachCurrentServers) {
  const struct {
    int version;
    bool expired;
  } cases[] = {{0x0303, false}, {0x0304, false}, {0x0303, true}};
  for (const auto& c : cases) {
    ScriptedTlsPeer peer(PingPong, {.minVersion = c.version, .maxVersion = c.version, .expiredCertificate = c.expired});
    auto client = MakeClient(peer.port());
    ExpectPingPong(*client);
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(peer.version(), c.version);
  }
}

// Handlers that share a cache share one context, and each connection after the first
// resumes the session of the one before, over TLS 1.2 and 1.3 (whose tickets come after
// the handshake), also when the server closed without its closing notice, and also for
// handlers on threads of their own that connect and close at once. Without a cache, or
// with options other than those the cached context was made with, every handshake is a
// full one.
TEST(NetSslTest, HandlersSharingACacheResumeTheLastSession) {
  const struct {
    int version;
    bool shared;
    bool sameOptions;
    bool closeNotify;  // the server ends each connection with its closing notice
    int resumed;
    int atOnce = 1;  // handlers after the first that connect at the same time
  } cases[] = {{0x0303, true, true, true, 2},     {0x0304, true, true, true, 2},   {0x0303, true, true, false, 2},
               {0x0304, true, true, false, 2},    {0x0304, false, true, true, 0},  {0x0304, true, false, true, 0},
               {0x0303, true, true, false, 4, 4}, {0x0304, true, true, true, 4, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Format("version %x, shared %d, same options %d, close notify %d, at once %d", c.version, int{c.shared},
                        int{c.sameOptions}, int{c.closeNotify}, c.atOnce));
    const auto script = [&c](PeerConnection& connection) {
      if (c.closeNotify) return PingPong(connection);
      if (connection.ReceiveUntil("\r\n") == "ping\r\n") connection.Send("pong\r\n");
    };
    const int rounds = c.atOnce > 1 ? 2 : 3;
    ScriptedTlsPeer peer(script, {.minVersion = c.version, .maxVersion = c.version},
                         {.connections = 1 + (rounds - 1) * c.atOnce, .concurrent = c.atOnce > 1});
    auto cache = std::make_shared<TNetSSLSessionCache>();
    for (int i = 0; i < rounds; ++i) {
      std::vector<std::thread> threads;
      for (int n = 0; n < (i == 0 ? 1 : c.atOnce); ++n) {
        threads.emplace_back([&] {
          auto client = MakeClient(peer.port());
          if (c.shared) client->tls->SessionCache = cache;
          // Another cipher list each time: a context made for other options is not taken.
          if (!c.sameOptions) client->tls->SSLOptions.CipherList = i % 2 ? "DEFAULT" : "HIGH";
          ExpectPingPong(*client);
          client->tcp.CloseConnection();
        });
      }
      for (std::thread& thread : threads) thread.join();
    }
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(c.resumed, peer.resumedSessions());
  }
}

TEST(NetSslTest, ServerNameIsTheHostOfTheTarget) {
  const struct {
    std::string targetUri;
    std::string serverName;
  } cases[] = {
      {"https://127.0.0.1:1/upload", "127.0.0.1"},
      {"https://user:pw@localhost/upload?x=1", "localhost"},
      {"", "127.0.0.1"},  // no target: the connection's host
  };
  for (const auto& c : cases) {
    ScriptedTlsPeer peer(PingPong);
    auto client = MakeClient(peer.port());
    client->tls->TargetUri = c.targetUri;
    ExpectPingPong(*client);
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(peer.serverName(), c.serverName) << c.targetUri;
  }
  EXPECT_EQ(HostOfUri("https://[::1]:8443/x"), "::1");
  EXPECT_EQ(HostOfUri("no scheme"), "");
}

TEST(NetSslTest, UntilCloseReadEndsAtTheClose) {
  const std::string body(200000, 'z');
  for (bool notice : {true, false}) {
    ScriptedTlsPeer peer([&](PeerConnection& c) {
      c.Send(body);
      if (notice) {
        c.Close();
      } else {
        c.PeerConnection::Close();  // the TCP close alone
      }
    });
    auto client = MakeClient(peer.port());
    client->tcp.OpenConnection();
    TMemoryStream out;
    client->io().ReadToStream(&out, -1, true);
    EXPECT_EQ(out.GetSize(), static_cast<std::int64_t>(body.size())) << notice;
    EXPECT_FALSE(client->tcp.IsConnected());
  }
}

// Messages after the handshake (TLS 1.3 session tickets, a key update) come before the
// answer; waiting for the answer then takes as long as it does over plain TCP. Only a
// read that stalls inside a record ends at RecordTimeout.
TEST(NetSslTest, SlowAnswersAreAwaitedLikeOverPlainTcp) {
  const struct {
    const char* name;
    int version;
    bool keyUpdate;
    bool stallInRecord;
    const char* line;  // what the client reads
    bool timedOut;
  } cases[] = {
      {"TLS 1.3 tickets", 0x0304, false, false, "pong", false},
      {"TLS 1.3 key update", 0x0304, true, false, "pong", false},
      {"TLS 1.2", 0x0303, false, false, "pong", false},
      {"stall inside a record", 0x0304, false, true, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTlsPeer peer(
        [&c](PeerConnection& p) {
          if (p.ReceiveUntil("\r\n") != "ping\r\n") return;
          if (c.stallInRecord) {
            // The header of a 32-byte record, and then nothing.
            test::peer_socket::Write(p.socket(), "\x17\x03\x03\x00\x20", 5);
            p.WaitForClose();
            return;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(700));
          p.Send("pong\r\n");
          p.Close();
        },
        {.minVersion = c.version, .maxVersion = c.version, .keyUpdate = c.keyUpdate});
    auto client = MakeClient(peer.port());
    client->tls->RecordTimeout = 250;
    client->tcp.OpenConnection();
    client->io().SendLine("ping");
    EXPECT_EQ(client->io().ReadLine(), c.line);
    EXPECT_EQ(client->io().LineTimedOut(), c.timedOut);
    client->tcp.CloseConnection();
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST(NetSslTest, HandshakeFailures) {
  {  // the server closes during the handshake
    ScriptedPeer peer([](PeerConnection& c) {
      const std::string header = c.Receive(5);  // read the whole hello, so the close is not a reset
      if (header.size() == 5)
        c.Receive(static_cast<unsigned char>(header[3]) * 256u + static_cast<unsigned char>(header[4]));
    });
    auto client = MakeClient(peer.port());
    EXPECT_EQ(ConnectError(*client), std::make_pair(std::string("ENetOSSLConnectError"),
                                                    std::string("Error connecting with SSL.\r\n"
                                                                "EOF was observed that violates the protocol")));
    EXPECT_FALSE(client->tcp.IsConnected());
  }
  {  // a pinned TLS 1.0 against a server that speaks only TLS 1.2
    ScriptedTlsPeer peer(nullptr, {.minVersion = 0x0303, .maxVersion = 0x0303});
    auto client = MakeClient(peer.port());
    client->tls->SSLOptions.SetMethod(V::sslvTLSv1);
    const auto [className, message] = ConnectError(*client);
    EXPECT_EQ(className, "ENetOSSLUnderlyingCryptoError");
    EXPECT_EQ(message.rfind("Error connecting with SSL.\r\nerror:", 0), 0u) << message;
  }
  // A server that never answers the handshake, within the read time-out, with a connect
  // time-out too; and one that sends its handshake a byte at a time, each within the read
  // time-out: the connect time-out bounds the whole.
  for (const bool drip : {false, true}) {
    ScriptedPeer peer([drip](PeerConnection& c) {
      if (!drip) {
        c.WaitForClose();
        return;
      }
      // The header of a handshake record of 16 KiB, then its bytes one by one.
      const char* bytes = "\x16\x03\x03\x40\x00";
      for (int i = 0; i < 100 && test::peer_socket::Write(c.socket(), i < 5 ? bytes + i : "\x02", 1) == 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    auto client = MakeClient(peer.port());
    client->tcp.ReadTimeout = 300;
    client->tcp.ConnectTimeout = 700;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectError(*client),
              drip ? std::make_pair(std::string("ENetConnectTimeout"), std::string("Connect timed out."))
                   : std::make_pair(std::string("ENetSocketError"),
                                    std::string("Socket Error # 10060\r\nConnection timed out.")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_FALSE(client->tcp.IsConnected());
  }
  {  // verification, when asked for, refuses the self-signed certificate
    ScriptedTlsPeer peer(nullptr);
    auto client = MakeClient(peer.port());
    client->tls->SSLOptions.VerifyMode = {TNetSSLVerifyMode::sslvrfPeer};
    const auto [className, message] = ConnectError(*client);
    EXPECT_EQ(className, "ENetOSSLUnderlyingCryptoError");
    EXPECT_NE(message.find("certificate verify failed"), std::string::npos) << message;
  }
}

TEST(NetSslTest, VerifyPeerHookDecides) {
  ScriptedTlsPeer peer(PingPong);
  auto client = MakeClient(peer.port());
  client->tls->SSLOptions.VerifyMode = {TNetSSLVerifyMode::sslvrfPeer};
  std::string subject;
  client->tls->Events.OnVerifyPeer = [&](const std::string& s, bool, int, int) {
    subject = s;
    return true;
  };
  ExpectPingPong(*client);
  EXPECT_EQ(subject, "/CN=localhost");
}

TEST(NetSslTest, ContextOptionErrors) {
  test::ScopedTempDir dir;
  std::string cert, key, otherCert, otherKey;
  ScriptedTlsPeer::MakeCertificatePem(cert, key);
  ScriptedTlsPeer::MakeCertificatePem(otherCert, otherKey);
  test::WriteFile(dir.file("cert.pem"), cert);
  test::WriteFile(dir.file("other-key.pem"), otherKey);
  test::WriteFile(dir.file("junk.p12"), "not pkcs12");
  const std::string missing = dir.file("missing.pem");
  const struct {
    std::function<void(TNetSSLOptions&)> set;
    std::string className;
    std::string message;  // its first line
  } cases[] = {
      {[&](TNetSSLOptions& o) { o.RootCertFile = missing; }, "ENetOSSLLoadingRootCertError",
       "Could not load root certificate."},
      {[&](TNetSSLOptions& o) { o.CertFile = missing; }, "ENetOSSLLoadingCertError", "Could not load certificate."},
      {[&](TNetSSLOptions& o) { o.CertFile = dir.file("junk.p12"); }, "ENetOSSLLoadingCertError",
       "Could not load certificate."},
      {[&](TNetSSLOptions& o) {
         o.CertFile = dir.file("cert.pem");
         o.KeyFile = dir.file("other-key.pem");
       },
       "ENetOSSLLoadingKeyError", "Could not load key, check password."},
      {[&](TNetSSLOptions& o) { o.DHParamsFile = missing; }, "ENetOSSLLoadingDHParamsError",
       "Could not load DH Parameters."},
      {[&](TNetSSLOptions& o) { o.CipherList = "NO-SUCH-CIPHER"; }, "ENetOSSLSettingCipherError", "SetCipher failed."},
      {[&](TNetSSLOptions& o) { o.SetMethod(V::sslvSSLv2); }, "ENetOSSLGetMethodError", "Error getting SSL method."},
  };
  for (const auto& c : cases) {
    auto client = MakeClient(1);  // the context fails before the connect

    c.set(client->tls->SSLOptions);
    const auto [className, message] = ConnectError(*client);
    EXPECT_EQ(className, c.className);
    EXPECT_EQ(message.substr(0, message.find('\r')), c.message);
    EXPECT_FALSE(client->tcp.IsConnected());
  }
}

TEST(NetSslTest, ClientCertificateIsPresented) {
  test::ScopedTempDir dir;
  std::string cert, key;
  ScriptedTlsPeer::MakeCertificatePem(cert, key);
  test::WriteFile(dir.file("cert.pem"), cert);
  test::WriteFile(dir.file("key.pem"), key);
  ScriptedTlsPeer peer(PingPong, {.requestClientCertificate = true});
  auto client = MakeClient(peer.port());
  client->tls->SSLOptions.CertFile = dir.file("cert.pem");
  client->tls->SSLOptions.KeyFile = dir.file("key.pem");
  ExpectPingPong(*client);
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(peer.clientSubject(), "/CN=localhost");
}

TEST(NetSslTest, SwitchingModesOnAConnectedHandler) {
  ScriptedTlsPeer peer(PingPong);
  auto client = MakeClient(peer.port(), false);
  client->tcp.OpenConnection();  // clear text: the peer waits for the handshake
  client->tls->SetClearTextMode(false);
  client->io().SendLine("ping");
  EXPECT_EQ(client->io().ReadLine(), "pong");
  client->tls->SetClearTextMode(true);  // both closing notices exchanged
  EXPECT_EQ(client->tls->SSLSocket(), nullptr);
  EXPECT_EQ(peer.Finish(), "");
}

// The file names of the OpenSSL 3 libraries that the tests link.
#ifdef _WIN32
const char* const kCryptoLibrary = "libcrypto-3.dll";
const char* const kSslLibrary = "libssl-3.dll";
#else
const char* const kCryptoLibrary = "libcrypto.so.3";
const char* const kSslLibrary = "libssl.so.3";
#endif

TEST(NetSslTest, LoaderRecordsWhatIsMissing) {
  using Names = std::vector<platform::OpenSSLLibraryNames>;
  ossl::Loader missing(Names{{"libquobrina-no-crypto.so.9", kSslLibrary}, {kCryptoLibrary, "libquobrina-no-ssl.so.9"}});
  EXPECT_FALSE(missing.Load());
  EXPECT_EQ(missing.LoadFailures(), (std::vector<std::string>{"Failed to load libquobrina-no-crypto.so.9.",
                                                              "Failed to load libquobrina-no-ssl.so.9."}));
  ossl::Loader incomplete(Names{{kCryptoLibrary, kCryptoLibrary}});  // no SSL names in it
  EXPECT_FALSE(incomplete.Load());
  const auto& failures = incomplete.LoadFailures();
  EXPECT_NE(std::find(failures.begin(), failures.end(), "SSL_connect"), failures.end());
  EXPECT_EQ(std::find(failures.begin(), failures.end(), "ERR_clear_error"), failures.end());
  EXPECT_EQ(incomplete.api().SSL_connect, nullptr);
  ossl::Loader complete(platform::DefaultOpenSSLLibraryNames());
  EXPECT_TRUE(complete.Load());
  EXPECT_TRUE(complete.LoadFailures().empty());
}

}  // namespace
}  // namespace qb
