#include "http/authentication.h"

#include <gtest/gtest.h>

#include "http/header_info.h"
#include "platform/security_interface.h"

namespace qb {
namespace {

TEST(AuthenticationTest, ChallengeParameters) {
  struct Case {
    std::vector<std::string> challenges;
    const char* scheme;
    std::vector<std::pair<const char*, const char*>> expected;
  };
  const Case cases[] = {
      {{"Basic realm=\"Upload \\\"area\\\"\""}, "basic", {{"realm", "Upload \"area\""}}},
      {{"Basic realm=\"a\\\\b\\c\", charset=\"UTF-8\""}, "Basic", {{"realm", "a\\bc"}, {"charset", "UTF-8"}}},
      {{"Digest realm=\"x, y\" , nonce = abc ,qop=\"auth,auth-int\", stale=TRUE"},
       "Digest",
       {{"REALM", "x, y"}, {"nonce", "abc"}, {"qop", "auth,auth-int"}, {"stale", "TRUE"}}},
      {{"Negotiate", "Digest realm=\"first\"", "Digest realm=\"second\""}, "Digest", {{"realm", "first"}}},
      {{"Basicx realm=\"no\"", "  BASIC realm=yes"}, "Basic", {{"realm", "yes"}}},
      {{"Basic realm=\"unterminated"}, "Basic", {{"realm", "unterminated"}}},
      {{"Basic realm=\"a\"junk, charset=x"}, "Basic", {{"realm", "a"}, {"charset", "x"}}},
      {{"Basic token68=="}, "Basic", {{"token68", "="}}},
      {{"Basic novalue"}, "Basic", {{"novalue", ""}}},
      {{"Basic realm=\"trailing backslash\\"}, "Basic", {{"realm", "trailing backslash\\"}}},
      {{"Basic"}, "Basic", {}},
  };
  for (const Case& c : cases) {
    const TNetNameValueList params = ParseChallenge(c.challenges, c.scheme);
    EXPECT_EQ(c.expected.size(), params.Count()) << c.challenges[0];
    for (const auto& [name, value] : c.expected) EXPECT_EQ(value, params.Value(name)) << c.challenges[0];
  }
}

TEST(AuthenticationTest, BasicValueAndItsCharset) {
  struct Case {
    const char* user;
    const char* password;
    const char* charset;
    const char* value;
  };
  const Case cases[] = {
      {"uploader", "s3cret", "", "Basic dXBsb2FkZXI6czNjcmV0"},
      {"", "secret", "", "Basic OnNlY3JldA=="},
      {"", "", "", "Basic Og=="},
      // Before a challenge: characters 0..255 become single bytes (Latin-1).
      {"jos\xC3\xA9", "p\xC3\xA4ss", "", "Basic am9z6Tpw5HNz"},
      // Beyond 255 one byte per character cannot hold them: sent as UTF-8, not as "?".
      {"\xD0\x9F\xD1\x91\xD1\x82\xD1\x80", "x", "", "Basic 0J/RkdGC0YA6eA=="},
      {"jos\xC3\xA9", "p\xC3\xA4ss", "UTF-8", "Basic am9zw6k6cMOkc3M="},
      {"jos\xC3\xA9", "p\xC3\xA4ss", "ISO-8859-1", "Basic am9z6Tpw5HNz"},
      {"jos\xC3\xA9", "p\xC3\xA4ss", "unknown-charset", "Basic am9z6Tpw5HNz"},
  };
  for (const Case& c : cases) {
    TNetBasicAuthentication basic;
    basic.SetUsername(c.user);
    basic.SetPassword(c.password);
    basic.Charset = c.charset;
    EXPECT_EQ(c.value, basic.Authentication()) << c.user << " / " << c.charset;
  }
}

TEST(AuthenticationTest, BasicNextStep) {
  struct Case {
    const char* challenge;
    const char* user;
    int step;
    NextAction action;
    const char* realm;
    const char* charset;
  };
  const Case cases[] = {
      {"Basic realm=\"r\"", "u", 0, NextAction::SendAgain, "r", "ISO-8859-1"},
      {"Basic realm=\"r\", charset=\"UTF-8\"", "", 0, NextAction::NeedCredentials, "r", "UTF-8"},
      {"Basic accept-charset=koi8-r", "u", 0, NextAction::SendAgain, "", "koi8-r"},
      {"Basic encoding=a, enc=b", "u", 0, NextAction::SendAgain, "", "a"},
      {"Basic enc=b", "u", 0, NextAction::SendAgain, "", "b"},
      {"Digest realm=\"d\"", "u", 0, NextAction::SendAgain, "", "ISO-8859-1"},
      {"Basic realm=\"r\"", "u", 1, NextAction::GiveUp, "r", "ISO-8859-1"},
  };
  for (const Case& c : cases) {
    TNetBasicAuthentication basic;
    basic.SetUsername(c.user);
    basic.AuthStep = c.step;
    basic.ChallengeLines = {c.challenge};
    EXPECT_EQ(c.action, basic.Next()) << c.challenge;
    EXPECT_EQ(c.realm, basic.Realm) << c.challenge;
    EXPECT_EQ(c.charset, basic.Charset) << c.challenge;
    EXPECT_EQ(c.step, basic.AuthStep);
  }
}

std::unique_ptr<TNetDigestAuthentication> DigestFor(const std::string& challenge, const char* method = "GET") {
  auto digest = std::make_unique<TNetDigestAuthentication>();
  digest->SetUsername("Mufasa");
  digest->SetPassword("Circle Of Life");
  digest->ChallengeLines = {challenge};
  digest->CnonceSource = [] { return std::string("0a4f113b"); };
  digest->SetRequest(method, "/dir/index.html");
  return digest;
}

TEST(AuthenticationTest, DigestKnownVectors) {
  // RFC 2617 section 3.5.
  auto digest = DigestFor(
      "Digest realm=\"testrealm@host.com\", qop=\"auth\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
  ASSERT_EQ(NextAction::SendAgain, digest->Next());
  EXPECT_EQ(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "algorithm=\"MD5\", uri=\"/dir/index.html\", qop=\"auth\", nc=00000001, cnonce=\"0a4f113b\", "
      "response=\"6629fae49393a05397450978507c4ef1\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      digest->Authentication());
  EXPECT_EQ(0, digest->AuthStep);
  EXPECT_EQ(2, digest->NonceCount);

  // RFC 7616 section 3.9.1, MD5.
  TNetDigestAuthentication rfc7616;
  rfc7616.SetUsername("Mufasa");
  rfc7616.SetPassword("Circle of Life");
  rfc7616.ChallengeLines = {
      "Digest realm=\"http-auth@example.org\", qop=\"auth\", algorithm=MD5, "
      "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
      "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""};
  rfc7616.CnonceSource = [] { return std::string("f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"); };
  rfc7616.SetRequest("GET", "/dir/index.html");
  ASSERT_EQ(NextAction::SendAgain, rfc7616.Next());
  const std::string value = rfc7616.Authentication();
  EXPECT_NE(std::string::npos, value.find("response=\"8ca523f5e9506fed4657c9700eebdbec\"")) << value;
}

TEST(AuthenticationTest, DigestVariants) {
  struct Case {
    const char* parameters;
    const char* method;
    const char* response;
    const char* qopPart;
  };
  const Case cases[] = {
      // MD5-sess with auth-int (computed independently), on the second use of the nonce.
      {"realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", qop=\"auth-int\", "
       "algorithm=md5-sess",
       "POST", "ac875a30236938e3dfd0af9ddb7547cb", "qop=\"auth-int\", nc=00000002, cnonce=\"0a4f113b\", "},
      {"realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"", "GET",
       "670fd8c2df070c60b045671b8b24ff02", ""},
  };
  for (const Case& c : cases) {
    auto digest = DigestFor(std::string("Digest ") + c.parameters, c.method);
    digest->Nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    digest->NonceCount = 2;  // the same nonce keeps its count
    ASSERT_EQ(NextAction::SendAgain, digest->Next());
    const std::string value = digest->Authentication();
    EXPECT_NE(std::string::npos, value.find(std::string(c.qopPart) + "response=\"" + c.response + "\"")) << value;
  }

  // A realm with an escaped quote hashes the plain quote and is sent escaped again.
  auto quoted = DigestFor("Digest realm=\"a\\\"b\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"");
  ASSERT_EQ(NextAction::SendAgain, quoted->Next());
  EXPECT_EQ("a\"b", quoted->Realm);
  const std::string value = quoted->Authentication();
  EXPECT_NE(std::string::npos, value.find("realm=\"a\\\"b\"")) << value;
  EXPECT_NE(std::string::npos, value.find("response=\"e0e52fdcf40c41767670d45199d7b53e\"")) << value;
}

TEST(AuthenticationTest, DigestStepsNonceCountAndAlgorithm) {
  auto digest = DigestFor("Digest realm=\"r\", nonce=\"one\", domain=\"/a /b\", stale=true, opaque=o");
  EXPECT_EQ("Digest", digest->Authentication());  // step 0
  ASSERT_EQ(NextAction::SendAgain, digest->Next());
  EXPECT_EQ(1, digest->AuthStep);
  EXPECT_EQ(NextAction::SendAgain, digest->Next());  // not at step 0: nothing is read again
  EXPECT_EQ((std::vector<std::string>{"/a", "/b"}), digest->Domain);
  EXPECT_TRUE(digest->Stale);
  EXPECT_EQ("MD5", digest->Algorithm);
  digest->Authentication();
  EXPECT_EQ(2, digest->NonceCount);
  ASSERT_EQ(NextAction::SendAgain, digest->Next());  // the same nonce counts on
  EXPECT_NE(std::string::npos, digest->Authentication().find(", opaque=\"o\""));
  EXPECT_EQ(3, digest->NonceCount);
  digest->ChallengeLines = {"Digest realm=\"r\", nonce=\"two\""};
  ASSERT_EQ(NextAction::SendAgain, digest->Next());  // a new nonce starts at 1
  EXPECT_EQ(1, digest->NonceCount);
  EXPECT_TRUE(digest->Domain.empty());
  EXPECT_FALSE(digest->Stale);

  auto anonymous = DigestFor("Digest realm=\"r\", nonce=\"n\"");
  anonymous->SetUsername("");
  EXPECT_EQ(NextAction::NeedCredentials, anonymous->Next());
  EXPECT_EQ(0, anonymous->AuthStep);

  for (const char* algorithm : {"SHA-256", "SHA-512-256-sess", "MD5x"}) {
    auto other = DigestFor(std::string("Digest realm=\"r\", nonce=\"n\", algorithm=") + algorithm);
    try {
      other->Next();
      ADD_FAILURE() << algorithm;
    } catch (const ENetInvalidAlgorithm& e) {
      EXPECT_EQ("Unsupported hash algorithm. This implementation supports only MD5 encoding.", e.Message());
      EXPECT_STREQ("ENetInvalidAlgorithm", e.ClassName());
    }
  }
}

TEST(AuthenticationTest, SchemeRegistry) {
  using Schemes = std::vector<std::pair<std::string, const TNetAuthenticationClass*>>;
  TNetAuthSchemeRegistry plain;
  plain.RegisterStandardSchemes(false);
  EXPECT_EQ((Schemes{{"Basic", &kBasicAuthenticationClass},
                     {"NTLM", &kNTLMAuthenticationClass},
                     {"Digest", &kDigestAuthenticationClass}}),
            plain.Schemes());
  TNetAuthSchemeRegistry withSecurity;
  withSecurity.RegisterStandardSchemes(true);
  EXPECT_EQ((Schemes{{"Basic", &kBasicAuthenticationClass},
                     {"NTLM", &kSSPINTLMAuthenticationClass},
                     {"Negotiate", &kSSPINTLMAuthenticationClass},
                     {"Digest", &kDigestAuthenticationClass}}),
            withSecurity.Schemes());
  withSecurity.Register("digest", &kBasicAuthenticationClass);
  EXPECT_EQ(&kBasicAuthenticationClass, withSecurity.Find("DIGEST"));
  EXPECT_EQ(4u, withSecurity.Schemes().size());

  // The process-wide registry of this platform: the security interface (never on POSIX)
  // serves NTLM and Negotiate where it loads.
  const bool security = platform::SecurityInterfaceLoads();
  EXPECT_EQ(&kBasicAuthenticationClass, FindAuthScheme("basic"));
  EXPECT_EQ(security ? &kSSPINTLMAuthenticationClass : &kNTLMAuthenticationClass, FindAuthScheme("NTLM"));
  EXPECT_EQ(security ? &kSSPINTLMAuthenticationClass : nullptr, FindAuthScheme("Negotiate"));
  EXPECT_EQ(nullptr, FindAuthScheme(""));
}

TEST(AuthenticationTest, NtlmHandlersTakeOnlyTheirFirstStep) {
  TNetNTLMAuthentication ntlm;
  EXPECT_EQ(NextAction::NeedCredentials, ntlm.Next());
  ntlm.SetUsername("u");
  EXPECT_EQ(NextAction::SendAgain, ntlm.Next());
  EXPECT_TRUE(ntlm.KeepAlive());
  EXPECT_EQ(3, ntlm.Steps());
  EXPECT_THROW(ntlm.Authentication(), ENetException);  // no message is ever made up

  TNetSSPINTLMAuthentication sspi;
  EXPECT_EQ(NextAction::SendAgain, sspi.Next());  // the logged-on user needs no name

  SetCryptoLibraryCheck([] { throw ENetException("Could not load SSL library."); });
  EXPECT_THROW(kNTLMAuthenticationClass.Create(), ENetException);
  SetCryptoLibraryCheck(nullptr);
  EXPECT_NE(nullptr, kNTLMAuthenticationClass.Create());
}

// A request after its first send, and the 401 answer to it.
struct Exchange {
  TNetHTTPRequest request;
  TNetHTTPResponse response;
  int attempts = 0;

  Exchange(const char* user, const char* password, std::vector<std::string> challenges) {
    request.BasicAuthentication = *user != '\0' || *password != '\0';
    request.Username = user;
    request.Password = password;
    request.SetHeaders();
    response.SetStatusLine("HTTP/1.1 401 Unauthorized");
    for (const std::string& challenge : challenges) response.RawHeaders.AddValue("WWW-Authenticate", challenge);
    response.ProcessHeaders();
  }
};

TEST(AuthenticationTest, UnauthorizedAnswerIsRetriedOnlyInProcess) {
  struct Case {
    const char* user;
    const char* password;
    std::vector<std::string> challenges;
    bool answerable;
    const char* handlerClass;  // nullptr: none
  };
  const Case cases[] = {
      {"uploader", "s3cret", {"Basic realm=\"r\""}, true, "TNetBasicAuthentication"},
      {"uploader", "s3cret", {"Negotiate", "Digest realm=\"r\", nonce=\"n\""}, true, "TNetBasicAuthentication"},
      {"", "s3cret", {"Basic realm=\"r\""}, false, "TNetBasicAuthentication"},
      {"", "", {"Basic realm=\"quoted \\\"realm\\\"\""}, false, "TNetBasicAuthentication"},
      {"", "", {}, false, nullptr},
  };
  // The security interface's handler needs no user name: it takes the logged-on user's.
  const bool security = platform::SecurityInterfaceLoads();
  const std::vector<Case> platformCases = {
      {"", "", {"Negotiate"}, security, security ? "TNetSSPINTLMAuthentication" : nullptr},
      {"", "", {"Bearer x", "NTLM"}, security, security ? "TNetSSPINTLMAuthentication" : "TNetNTLMAuthentication"},
  };
  std::vector<Case> allCases(std::begin(cases), std::end(cases));
  allCases.insert(allCases.end(), platformCases.begin(), platformCases.end());
  for (const Case& c : allCases) {
    for (const bool inProcessAuth : {false, true}) {
      Exchange exchange(c.user, c.password, c.challenges);
      const TNetAuthDecision decision =
          DecideUnauthorized(exchange.request, exchange.response, exchange.attempts, 3, inProcessAuth, {});
      EXPECT_EQ(c.answerable && inProcessAuth ? TNetAuthDecision::RetryWithAuth : TNetAuthDecision::ProtocolError,
                decision)
          << c.user << "/" << c.password << " inProcessAuth=" << inProcessAuth;
      EXPECT_EQ(1, exchange.attempts);
      if (!c.handlerClass) {
        EXPECT_EQ(nullptr, exchange.request.AuthHandler);
      } else {
        ASSERT_NE(nullptr, exchange.request.AuthHandler);
        EXPECT_STREQ(c.handlerClass, exchange.request.AuthHandler->ClassName());
        EXPECT_EQ(0, exchange.request.AuthHandler->AuthStep);
      }
    }
  }
  // Out of attempts: not even asked.
  Exchange exhausted("uploader", "s3cret", {"Basic realm=\"r\""});
  exhausted.attempts = 3;
  EXPECT_EQ(TNetAuthDecision::ProtocolError,
            DecideUnauthorized(exhausted.request, exhausted.response, exhausted.attempts, 3, true, {}));
  EXPECT_EQ(3, exhausted.attempts);
}

TEST(AuthenticationTest, DigestHandlerIsMadeFromTheChallengeAndRetriedInProcess) {
  Exchange exchange("Mufasa", "Circle Of Life", {"Bearer x", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\""});
  exchange.request.BasicAuthentication = false;
  exchange.request.AuthHandler.reset();
  ASSERT_EQ(TNetAuthDecision::RetryWithAuth,
            DecideUnauthorized(exchange.request, exchange.response, exchange.attempts, 3, true, {}));
  exchange.request.RequestMethod = "POST";
  exchange.request.TargetUrl = "/u";
  exchange.request.SetHeaders();
  const std::string value = exchange.request.RawHeaders.Value("Authorization");
  EXPECT_EQ(0u, value.find("Digest username=\"Mufasa\", realm=\"r\", nonce=\"n\", algorithm=\"MD5\", uri=\"/u\", "
                           "qop=\"auth\", nc=00000001, cnonce=\""))
      << value;
}

TEST(AuthenticationTest, AuthorizationEvents) {
  // OnAuthorization supplies credentials, which go back into the request.
  Exchange asked("", "", {"Basic realm=\"r\""});
  int calls = 0;
  TNetAuthEvents events;
  events.OnAuthorization = [&](TNetAuthentication& handler) {
    ++calls;
    handler.SetUsername("given");
    handler.SetPassword("pw");
    return true;
  };
  EXPECT_EQ(TNetAuthDecision::RetryWithAuth,
            DecideUnauthorized(asked.request, asked.response, asked.attempts, 3, true, events));
  EXPECT_EQ(1, calls);
  EXPECT_EQ("given", asked.request.Username);
  EXPECT_EQ("pw", asked.request.Password);

  // A callback that reports success without giving anything is not asked for ever.
  Exchange stubborn("", "", {"Basic realm=\"r\""});
  calls = 0;
  events.OnAuthorization = [&](TNetAuthentication&) { return ++calls < 1000; };
  EXPECT_EQ(TNetAuthDecision::ProtocolError,
            DecideUnauthorized(stubborn.request, stubborn.response, stubborn.attempts, 3, true, events));
  EXPECT_EQ(1, calls);
  // Nor one that keeps changing nothing useful.
  Exchange fickle("", "", {"Basic realm=\"r\""});
  calls = 0;
  events.OnAuthorization = [&](TNetAuthentication& handler) {
    handler.SetPassword(std::to_string(++calls));
    return true;
  };
  EXPECT_EQ(TNetAuthDecision::ProtocolError,
            DecideUnauthorized(fickle.request, fickle.response, fickle.attempts, 3, true, events));
  EXPECT_LT(calls, 20);

  // OnSelectAuthorization may pick a class the challenges did not name.
  Exchange selected("u", "", {"Negotiate"});
  selected.request.AuthHandler.reset();
  TNetAuthEvents select;
  const TNetAuthenticationClass* negotiate =
      platform::SecurityInterfaceLoads() ? &kSSPINTLMAuthenticationClass : nullptr;
  select.OnSelectAuthorization = [negotiate](const TNetAuthenticationClass*& authClass,
                                             const std::vector<std::string>&) {
    EXPECT_EQ(negotiate, authClass);
    authClass = &kBasicAuthenticationClass;
  };
  EXPECT_EQ(TNetAuthDecision::RetryWithAuth,
            DecideUnauthorized(selected.request, selected.response, selected.attempts, 3, true, select));
  ASSERT_NE(nullptr, selected.request.AuthHandler);
  EXPECT_STREQ("TNetBasicAuthentication", selected.request.AuthHandler->ClassName());
}

}  // namespace
}  // namespace qb
