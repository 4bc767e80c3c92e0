// What the TLS handler does that needs no OpenSSL: its method and version options, and a
// process in which OpenSSL cannot be loaded. These run in every build, those whose tests
// have no OpenSSL (Windows without the OpenSSL DLLs) included.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "net/net_ssl_openssl.h"
#include "net/tls_test_client.h"
#include "support/scripted_peer.h"

namespace qb {
namespace {

using test::ConnectError;
using test::MakeClient;
using test::PeerConnection;
using test::ScriptedPeer;
using V = TNetSSLVersion;

TEST(NetSslTest, MethodAndVersionsGoTogether) {
  const TNetSSLVersions all{V::sslvSSLv2, V::sslvSSLv3, V::sslvTLSv1, V::sslvTLSv1_1, V::sslvTLSv1_2, V::sslvTLSv1_3};
  TNetSSLOptions defaults;
  EXPECT_EQ(defaults.Method(), V::sslvSSLv23);
  EXPECT_EQ(defaults.SSLVersions(), (TNetSSLVersions{V::sslvTLSv1, V::sslvTLSv1_1, V::sslvTLSv1_2, V::sslvTLSv1_3}));
  const struct {
    std::function<void(TNetSSLOptions&)> set;
    V method;
    TNetSSLVersions versions;
  } cases[] = {
      {[](TNetSSLOptions& o) { o.SetMethod(V::sslvTLSv1_2); }, V::sslvTLSv1_2, {V::sslvTLSv1_2}},
      {[](TNetSSLOptions& o) { o.SetMethod(V::sslvSSLv23); }, V::sslvSSLv23, all},
      {[](TNetSSLOptions& o) { o.SetSSLVersions({V::sslvTLSv1_1}); }, V::sslvTLSv1_1, {V::sslvTLSv1_1}},
      {[](TNetSSLOptions& o) {
         o.SetSSLVersions({V::sslvTLSv1, V::sslvTLSv1_2});
       },
       V::sslvSSLv23,
       {V::sslvTLSv1, V::sslvTLSv1_2}},
      {[](TNetSSLOptions& o) {
         o.SetSSLVersions({V::sslvSSLv23, V::sslvTLSv1});
       },
       V::sslvSSLv23,
       {V::sslvTLSv1}},
      {[](TNetSSLOptions& o) { o.SetSSLVersions({V::sslvSSLv23}); }, V::sslvSSLv23, all},
      {[](TNetSSLOptions& o) { o.SetSSLVersions({}); }, V::sslvSSLv23, all},
  };
  for (const auto& c : cases) {
    TNetSSLOptions options;
    c.set(options);
    EXPECT_EQ(options.Method(), c.method);
    EXPECT_EQ(options.SSLVersions(), c.versions);
  }
}

// Without OpenSSL (simulated by names that do not exist, in a fresh process, since a
// loaded OpenSSL stays loaded): TLS fails with "Could not load SSL library.", clear text
// works with the same handler.
void RunWithoutOpenSSL() {
  ossl::SetOpenSSLLibraryNames({{"libquobrina-no-crypto.so.9", "libquobrina-no-ssl.so.9"}});
  auto fail = [](const std::string& what) {
    fprintf(stderr, "%s\n", what.c_str());
    std::_Exit(1);
  };
  auto tls = MakeClient(1);  // fails before the connect
  const auto [className, message] = ConnectError(*tls);
  if (className != "ENetOSSLCouldNotLoadSSLLibrary" || message != "Could not load SSL library.") fail(message);
  if (ossl::OpenSSLLoadFailures() != std::vector<std::string>{"Failed to load libquobrina-no-crypto.so.9."}) {
    fail("load failures");
  }
  ScriptedPeer plainPeer([](PeerConnection& c) {
    if (c.ReceiveUntil("\r\n") == "ping\r\n") c.Send("pong\r\n");
  });
  auto plain = MakeClient(plainPeer.port(), false);
  plain->tcp.OpenConnection();
  plain->io().SendLine("ping");
  if (plain->io().ReadLine() != "pong") fail("clear text");
  try {
    plain->tls->SetClearTextMode(false);
    fail("switched to TLS");
  } catch (const ENetOSSLCouldNotLoadSSLLibrary&) {
  }
  std::_Exit(0);
}

TEST(NetSslDeathTest, WithoutOpenSSLClearTextStillWorks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunWithoutOpenSSL(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qb
