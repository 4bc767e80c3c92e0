// The HTTP client against scripted loopback servers (plain and TLS) that record every
// request byte for byte and answer from a script. Where the tests have no TLS peers (the
// Windows build, which has no OpenSSL), an https request must fail before it connects.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/multipart_form_data.h"
#include "platform/mime_store.h"
#include "support/base64.h"
#include "support/format.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::PeerConnection;
using test::PeerOptions;
using test::ScriptedPeer;

const platform::LocalDateTime kExampleTime{2026, 12, 8, 5, 21, 32, 123};
const std::string kAccept = "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n";
const std::string kUserAgent = "User-Agent: Mozilla/3.0 (compatible; Quobrina)\r\n";

// One request as the server receives it: the head and as many body bytes as its
// Content-Length announces; empty when the client closed instead.
std::string ReceiveRequest(PeerConnection& c) {
  std::string request = c.ReceiveUntil("\r\n\r\n");
  if (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) return request;
  const std::size_t at = request.find("\r\nContent-Length: ");
  if (at != std::string::npos) request += c.Receive(std::stoul(request.substr(at + 18)));
  return request;
}

// A server script: answers the requests of one connection from `answers` in order and
// records them; then closes at once (`closeAfter`) or reads on until the client closes,
// recording any further request too.
test::PeerScript Serve(std::vector<std::string> answers, std::vector<std::string>& requests, bool closeAfter) {
  return [answers = std::move(answers), &requests, closeAfter](PeerConnection& c) {
    for (const std::string& answer : answers) {
      std::string request = ReceiveRequest(c);
      if (request.empty()) return;
      requests.push_back(std::move(request));
      c.Send(answer);
    }
    if (closeAfter) {
      c.Close();
      return;
    }
    for (std::string extra = ReceiveRequest(c); !extra.empty(); extra = ReceiveRequest(c)) requests.push_back(extra);
  };
}

struct Outcome {
  std::string text;
  std::string error;  // class name, empty after a return
  std::string message;
  int replyCode = 0;
  std::string replyBody;
};

template <typename Action>
Outcome Capture(Action action) {
  Outcome outcome;
  try {
    outcome.text = action();
  } catch (const ENetHTTPProtocolException& e) {
    outcome.error = e.ClassName();
    outcome.message = e.Message();
    outcome.replyCode = e.ReplyCode();
    outcome.replyBody = e.ReplyBody();
  } catch (const Exception& e) {
    outcome.error = e.ClassName();
    outcome.message = e.Message();
  }
  return outcome;
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedStore_ = platform::MimeStorePath();
    platform::SetMimeStorePath(dir_.file("no-such-store.types"));
    test::WriteFile(dir_.file("report.txt"), "hello");
  }
  void TearDown() override { platform::SetMimeStorePath(savedStore_); }

  // The body of the worked example: report.txt holding "hello", a fixed clock.
  std::unique_ptr<TNetMultiPartFormDataStream> Body() {
    auto body = std::make_unique<TNetMultiPartFormDataStream>(kExampleTime);
    body->AppendFilePart("file", dir_.file("report.txt"), "");
    return body;
  }

  // The 194 bytes of the worked example's body (pinned byte for byte by the multipart
  // tests).
  std::string ExampleBody() {
    auto body = Body();
    TMemoryStream bytes;
    bytes.CopyFrom(*body, 0);
    return bytes.DataString();
  }

  // The upload request of the worked example, as it must arrive; with `proxy`, as a
  // proxy gets it (with the proxy's credentials when not empty).
  std::string ExampleRequest(const std::string& host, const std::string& authorization,
                             const std::optional<std::string>& proxy = std::nullopt) {
    std::string request = "POST " + (proxy ? "http://" + host : "") +
                          "/upload/receive.php?queue=7 HTTP/1.0\r\n"
                          "Connection: keep-alive\r\n"
                          "Content-Type: multipart/form-data; boundary=--------120826052132123\r\n"
                          "Content-Length: 194\r\n";
    if (proxy) request += "Proxy-Connection: keep-alive\r\n";
    request += "Host: " + host + "\r\n" + kAccept + kUserAgent;
    if (!authorization.empty()) request += "Authorization: " + authorization + "\r\n";
    if (proxy && !proxy->empty()) request += "Proxy-Authorization: Basic " + Base64Encode(*proxy) + "\r\n";
    return request + "\r\n" + ExampleBody();
  }

  // A client set up as the upload sets it up, with a bounded read time-out.
  static std::unique_ptr<TNetHTTP> Client(const std::string& user = "", const std::string& password = "") {
    auto http = std::make_unique<TNetHTTP>();
    http->SetIOHandler(std::make_unique<TNetSSLIOHandlerSocketOpenSSL>());
    http->ReadTimeout = 5000;
    http->Request.BasicAuthentication = !user.empty() || !password.empty();
    http->Request.Username = user;
    http->Request.Password = password;
    return http;
  }

  Outcome Post(TNetHTTP& http, const std::string& url) {
    auto body = Body();
    return Capture([&] { return http.PostForm(url, *body); });
  }

  test::ScopedTempDir dir_;
  std::string savedStore_;
};

const char* const kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// Whether a case over TLS ends without a TLS peer: the request fails with the library
// error, and its server expects no connection.
bool WithoutTls(bool tls) { return tls && !test::kTlsPeers; }
const char* const kNoSslLibrary = "ENetOSSLCouldNotLoadSSLLibrary: Could not load SSL library.";

// The server of a case: a TLS peer for TLS where there are TLS peers; with
// `beforeHandshake`, one that speaks plain text first, as a proxy opening a tunnel does.
std::unique_ptr<ScriptedPeer> CaseServer(bool tls, test::PeerScript script, PeerOptions options,
                                         std::function<bool(PeerConnection&)> beforeHandshake = nullptr) {
#if QUOBRINA_TLS_PEERS
  if (tls) {
    return std::make_unique<test::ScriptedTlsPeer>(std::move(script),
                                                   test::TlsPeerOptions{.beforeHandshake = std::move(beforeHandshake)},
                                                   options);
  }
#endif
  if (WithoutTls(tls)) options.connections = 0;
  return std::make_unique<ScriptedPeer>(std::move(script), options);
}

// Through a proxy (the peer) the server is named, never resolved or connected to: its
// host here has no address. http goes to the proxy in the absolute form; https goes
// through a tunnel, with the server's name in the handshake, and the proxy's credentials
// go to the proxy alone.
TEST_F(HttpClientTest, WorkedExampleByteForByte) {
  ASSERT_EQ(ExampleBody().size(), 194u);
  const struct {
    const char* name;
    bool tls;
    bool ipv6;
    const char* user;
    const char* password;
    const char* proxy = nullptr;   // through a proxy with these credentials ("user:password"; "": none)
    const char* server = nullptr;  // the server's host and port through the proxy
    const char* tunnel = "";       // what CONNECT asks for
    const char* serverName = "";   // what the handshake names through the tunnel
  } cases[] = {
      {"https with credentials", true, false, "uploader", "s3cret:x"},
      {"https without credentials", true, false, "", ""},
      {"http with only a password", false, false, "", "s3cret"},
      {"http over IPv6", false, true, "uploader", "s3cret"},
      {"https over IPv6", true, true, "", ""},
      {"http through a proxy", false, false, "uploader", "s3cret", "relay:pass word", "upload.example.invalid:8080"},
      {"http through a proxy without its credentials", false, true, "", "", "", "upload.example.invalid"},
      {"https through a proxy", true, false, "uploader", "s3cret", "relay:pass word", "upload.example.invalid",
       "upload.example.invalid:443", "upload.example.invalid"},
      {"https through a proxy over IPv6", true, true, "", "", ":only", "[2001:db8::7]:8443", "[2001:db8::7]:8443",
       "2001:db8::7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> requests;
    std::string connect;  // what the proxy was asked for a tunnel
    const PeerOptions options{.ipv6 = c.ipv6};
    const std::function<bool(PeerConnection&)> openTunnel = [&connect](PeerConnection& p) {
      connect = p.ReceiveUntil("\r\n\r\n");
      return p.Send("HTTP/1.1 200 Connection established\r\n\r\n");
    };
    const std::unique_ptr<ScriptedPeer> peer =
        CaseServer(c.tls, Serve({kOk}, requests, true), options, c.proxy && c.tls ? openTunnel : nullptr);
    const std::string listening = Format(c.ipv6 ? "[::1]:%d" : "127.0.0.1:%d", static_cast<int>(peer->port()));
    const std::string host = c.proxy ? c.server : listening;
    {
      auto http = Client(c.user, c.password);
      if (c.proxy) {
        http->ProxyParams.ProxyServer = c.ipv6 ? "::1" : "127.0.0.1";
        http->ProxyParams.ProxyPort = peer->port();
        const std::string credentials = c.proxy;
        http->ProxyParams.BasicAuthentication = !credentials.empty();
        http->ProxyParams.ProxyUsername = credentials.substr(0, credentials.find(':'));
        http->ProxyParams.ProxyPassword = credentials.substr(credentials.find(':') + 1);
      }
      const Outcome outcome =
          Post(*http, Format("%s://%s/upload/receive.php?queue=7", c.tls ? "https" : "http", host.c_str()));
      if (WithoutTls(c.tls)) {
        EXPECT_EQ(outcome.error + ": " + outcome.message, kNoSslLibrary);
      } else {
        EXPECT_EQ(outcome.error + outcome.message, "");
        EXPECT_EQ(outcome.text, "ok");
        EXPECT_EQ(http->ProtocolVersion, pv1_1);
      }
    }
    EXPECT_EQ(peer->Finish(), "");
    if (WithoutTls(c.tls)) continue;
    const std::string credentials = std::string(c.user) + ":" + c.password;
    const std::string authorization = *c.user || *c.password ? "Basic " + Base64Encode(credentials) : "";
    ASSERT_EQ(requests.size(), 1u);
    // The plain proxy gets the request with its own lines; a tunnel's server, the request.
    const bool toProxy = c.proxy && !c.tls;
    EXPECT_EQ(requests[0],
              ExampleRequest(host, authorization, toProxy ? std::optional<std::string>(c.proxy) : std::nullopt));
    const std::string proxyAuthorization =
        c.proxy && *c.proxy ? "Proxy-Authorization: Basic " + Base64Encode(c.proxy) + "\r\n" : "";
    EXPECT_EQ(connect, c.proxy && c.tls ? "CONNECT " + std::string(c.tunnel) + " HTTP/1.1\r\nHost: " + c.tunnel +
                                              "\r\n" + kUserAgent + proxyAuthorization + "\r\n"
                                        : "");
#if QUOBRINA_TLS_PEERS
    if (c.tls) {
      EXPECT_EQ(static_cast<test::ScriptedTlsPeer&>(*peer).serverName(), c.proxy  ? c.serverName
                                                                         : c.ipv6 ? "::1"
                                                                                  : "127.0.0.1");
    }
#endif
  }
}

// The Host line leaves out the port only when its text is the protocol's default: these
// servers listen on the well-known ports of a loopback address of their own.
TEST_F(HttpClientTest, HostLineOmitsOnlyTheDefaultPortText) {
  const char* const address = "127.83.19.7";
  const struct {
    const char* url;
    bool tls;
    std::uint16_t port;
    const char* host;
  } cases[] = {
      {"http://127.83.19.7/upload/receive.php?queue=7", false, 80, "127.83.19.7"},
      {"http://127.83.19.7:80/upload/receive.php?queue=7", false, 80, "127.83.19.7"},
      {"http://127.83.19.7:0080/upload/receive.php?queue=7", false, 80, "127.83.19.7:0080"},
      {"https://127.83.19.7/upload/receive.php?queue=7", true, 443, "127.83.19.7"},
      {"https://127.83.19.7:0443/upload/receive.php?queue=7", true, 443, "127.83.19.7:0443"},
      {"http://127.83.19.7:443/upload/receive.php?queue=7", false, 443, "127.83.19.7:443"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::vector<std::string> requests;
    const PeerOptions options{.address = address, .port = c.port};
    std::unique_ptr<ScriptedPeer> peer;
    try {
      peer = CaseServer(c.tls, Serve({kOk}, requests, true), options);
    } catch (const std::runtime_error&) {
      GTEST_SKIP() << "cannot listen on " << address << ":" << c.port;
    }
    {
      auto http = Client("uploader", "s3cret");
      const Outcome outcome = Post(*http, c.url);
      EXPECT_EQ(outcome.error.empty() ? "" : outcome.error + ": " + outcome.message,
                WithoutTls(c.tls) ? kNoSslLibrary : "");
    }
    EXPECT_EQ(peer->Finish(), "");
    if (WithoutTls(c.tls)) continue;
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], ExampleRequest(c.host, "Basic " + Base64Encode("uploader:s3cret")));
  }
}

TEST_F(HttpClientTest, NonAsciiTargetGoesOutPercentEncoded) {
  std::vector<std::string> requests;
  ScriptedPeer peer(Serve({kOk}, requests, true));
  {
    auto http = Client();
    const Outcome outcome =
        Post(*http, Format("http://127.0.0.1:%d/up load/caf\xC3\xA9.php?q=\xC3\xA9", static_cast<int>(peer.port())));
    EXPECT_EQ(outcome.error + outcome.message, "");
  }
  EXPECT_EQ(peer.Finish(), "");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "POST /up load/caf%C3%A9.php?q=%C3%A9 HTTP/1.0");
}

TEST_F(HttpClientTest, AnswersToAnUpload) {
  const std::string unauthorized =
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"uploads\"\r\nContent-Length: 6\r\n\r\ndenied";
  const std::string proxyUnauthorized =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Basic realm=\"proxy\"\r\nContent-Length: 6\r\n\r\ndenied";
  const struct {
    const char* name;
    std::string answer;
    bool closeAfter;  // the server closes right after its answer
    const char* user;
    const char* password;
    int headerLineLimit;
    int readTimeout;
    std::string text;   // returned by PostForm
    const char* error;  // or the class raised
    std::string message;
    int replyCode;
    std::string replyBody;
    const char* proxy = nullptr;  // the peer is a proxy, asked for this scheme's URL
  } cases[] = {
      {"200 with a length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "", "", 255, 5000, "ok", "", "", 0,
       ""},
      {"interim 100 first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "",
       "", 255, 5000, "ok", "", "", 0, ""},
      {"chunked with an extension",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\na;ext=1\r\n0123456789\r\n0\r\n\r\n", false,
       "", "", 255, 5000, "hello0123456789", "", "", 0, ""},
      {"no length: until the close", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nread to the end", true, "", "",
       255, 5000, "read to the end", "", "", 0, ""},
      {"multipart without length ends at its delimiter",
       "HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=XY\r\n\r\n--XY\r\n\r\npart\r\n--XY--", false, "", "",
       255, 5000, "--XY\r\n\r\npart\r\n--XY--", "", "", 0, ""},
      {"204 reads no body", "HTTP/1.1 204 No Content\r\n\r\n", false, "", "", 255, 5000, "", "", "", 0, ""},
      {"302 is not followed", "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", false, "", "",
       255, 5000, "", "ENetHTTPProtocolException", "HTTP/1.1 302 Found", 302, ""},
      {"500 carries its body", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\nboom", false, "", "",
       255, 5000, "", "ENetHTTPProtocolException", "HTTP/1.1 500 Internal Server Error", 500, "boom"},
      {"folded Content-Type names the body's charset",
       "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain;\r\n charset=koi8-r\r\nContent-Length: 1\r\n\r\n"
       "\xc1",
       false, "", "", 255, 5000, "", "ENetHTTPProtocolException", "HTTP/1.1 500 Internal Server Error", 500,
       "\xd0\xb0"},
      {"meta charset of an HTML error page",
       "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 44\r\n\r\n"
       "<html><meta charset=\"koi8-r\"><p>\xc1</p></html>",
       false, "", "", 255, 5000, "", "ENetHTTPProtocolException", "HTTP/1.1 404 Not Found", 404,
       "<html><meta charset=\"koi8-r\"><p>\xd0\xb0</p></html>"},
      {"401 without credentials", unauthorized, false, "", "", 255, 5000, "", "ENetHTTPProtocolException",
       "HTTP/1.1 401 Unauthorized", 401, "denied"},
      {"401 with a user name is a refusal too", unauthorized, false, "uploader", "s3cret", 255, 5000, "",
       "ENetHTTPProtocolException", "HTTP/1.1 401 Unauthorized", 401, "denied"},
      {"401 with only a password", unauthorized, false, "", "s3cret", 255, 5000, "", "ENetHTTPProtocolException",
       "HTTP/1.1 401 Unauthorized", 401, "denied"},
      {"status that is no number", "HTTP/1.1 abc\r\nContent-Length: 0\r\n\r\n", false, "", "", 255, 5000, "",
       "ENetHTTPProtocolException", "HTTP/1.1 abc", -1, ""},
      {"closed before the status line", "", true, "", "", 255, 5000, "", "ENetConnClosedGracefully",
       "Connection Closed Gracefully.", 0, ""},
      {"no status line in time", "", false, "", "", 255, 300, "", "ENetReadTimeout", "Read timed out.", 0, ""},
      {"announced length longer than what comes", "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\nshort", true,
       "", "", 255, 5000, "short", "", "", 0, ""},
      {"chunk longer than what comes", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\nabc", true,
       "", "", 255, 5000, "abc", "", "", 0, ""},
      {"XML declaration names the charset",
       "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nContent-Length: 47\r\n\r\n"
       "<?xml version=\"1.0\" encoding=\"koi8-r\"?><a>\xc1</a>",
       false, "", "", 255, 5000, "<?xml version=\"1.0\" encoding=\"koi8-r\"?><a>\xd0\xb0</a>", "", "", 0, ""},
      {"header lines past the limit are body", "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nContent-Length: 2\r\n\r\nok", true,
       "", "", 2, 5000, "Content-Length: 2\r\n\r\nok", "", "", 0, ""},
      // A proxy's refusal ends the request as a server's does; for https it refuses the
      // tunnel, and nothing else is sent.
      {"proxy asks for its credentials", proxyUnauthorized, false, "uploader", "s3cret", 255, 5000, "",
       "ENetHTTPProtocolException", "HTTP/1.1 407 Proxy Authentication Required", 407, "denied", "http"},
      {"proxy asks for its credentials for a tunnel", proxyUnauthorized, false, "uploader", "s3cret", 255, 5000, "",
       "ENetHTTPProtocolException", "HTTP/1.1 407 Proxy Authentication Required", 407, "denied", "https"},
      {"proxy refuses the tunnel", "HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\n\r\nforbidden", true, "", "", 255,
       5000, "", "ENetHTTPProtocolException", "HTTP/1.1 403 Forbidden", 403, "forbidden", "https"},
      {"proxy closes instead of a tunnel", "", true, "", "", 255, 5000, "", "ENetConnClosedGracefully",
       "Connection Closed Gracefully.", 0, "", "https"},
      {"proxy does not answer for a tunnel in time", "", false, "", "", 255, 300, "", "ENetReadTimeout",
       "Read timed out.", 0, "", "https"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool tunnel = c.proxy && std::string(c.proxy) == "https";
    if (WithoutTls(tunnel)) continue;
    std::vector<std::string> requests;
    std::vector<std::string> answers;
    if (!c.answer.empty() || c.closeAfter) answers.push_back(c.answer);
    ScriptedPeer peer(Serve(answers, requests, c.closeAfter));
    Outcome outcome;
    {
      auto http = Client(c.user, c.password);
      http->HeaderLineLimit = c.headerLineLimit;
      http->ReadTimeout = c.readTimeout;
      if (c.proxy) {
        http->ProxyParams.ProxyServer = "127.0.0.1";
        http->ProxyParams.ProxyPort = peer.port();
      }
      outcome = Post(*http, c.proxy ? std::string(c.proxy) + "://upload.example.invalid/upload"
                                    : Format("http://127.0.0.1:%d/upload", static_cast<int>(peer.port())));
      EXPECT_EQ(http->ProtocolVersion, pv1_1);
    }
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(outcome.text, c.text);
    EXPECT_EQ(outcome.replyCode, c.replyCode);
    EXPECT_EQ(outcome.replyBody, c.replyBody);
    // Exactly one request: nothing is sent again, whatever the answer.
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
              !c.proxy ? "POST /upload HTTP/1.0"
              : tunnel ? "CONNECT upload.example.invalid:443 HTTP/1.1"
                       : "POST http://upload.example.invalid/upload HTTP/1.0");
  }
}

// A limit or framing that cannot be read ends the reading of a body: the answer's status
// still decides (for a refusal too), at most the limit's bytes of the body are read, the
// connection is closed after a cut, and nothing waits for the rest (the server keeps the
// connection open, and ReadTimeout would allow 5 seconds).
TEST_F(HttpClientTest, LimitsCutTheBodyAndTheStatusDecides) {
  const std::string chunkedOk = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n";
  std::string manyTrailers;
  for (int i = 0; i < 300; ++i) manyTrailers += "X-Trailer: " + std::to_string(i) + "\r\n";
  const struct {
    const char* name;
    std::string answer;
    std::string text;
    int replyCode;
    std::string replyBody;
    int headerLineLimit = 255;
    int answerTimeout = 0;
  } cases[] = {
      {"counted", "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n0123456789abcdefghij", "01234567", 0, ""},
      {"exactly the limit keeps the connection", "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n01234567", "01234567", 0,
       ""},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n01234\r\n5\r\n56789\r\n0\r\n\r\n",
       "01234567", 0, ""},
      {"until the close", "HTTP/1.0 200 OK\r\n\r\n0123456789abcdefghij", "01234567", 0, ""},
      {"multipart", "HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=XY\r\n\r\n--XY\r\n\r\npart\r\n--XY--",
       "--XY\r\n\r\n", 0, ""},
      {"refusal", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 20\r\n\r\n0123456789abcdefghij", "", 500,
       "01234567"},
      {"chunk size that is no number", chunkedOk + "zz\r\n", "ok", 0, ""},
      {"empty chunk size line", chunkedOk + "\r\n", "ok", 0, ""},
      {"chunk size beyond 60 bits", chunkedOk + "00010000000000000000\r\n", "ok", 0, ""},
      {"trailer lines past the header's line limit", chunkedOk + "0\r\nA: 1\r\nB: 2\r\nC: 3\r\n", "ok", 0, "", 2},
      {"endless trailer", chunkedOk + "0\r\n" + manyTrailers, "ok", 0, ""},
      {"trailer line past the line length", chunkedOk + "0\r\nX: " + std::string(17000, 'y') + "\r\n", "ok", 0, ""},
      // Framing that leaves the next answer's start in doubt: read as far as it is sure,
      // and the connection closed.
      {"no line end after the chunk data", chunkedOk.substr(0, chunkedOk.size() - 2) + "JUNK\r\n0\r\n\r\n", "ok", 0,
       ""},
      {"a coding after chunked ends at the close",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nok\r\n0\r\n\r\n", "2\r\nok\r\n0", 0, ""},
      {"a length beside the transfer coding",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 7\r\n\r\n2\r\nok\r\n0\r\n\r\n", "ok", 0, ""},
      {"the answer's time ends a stalled body", "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n0123", "0123", 0, "", 255,
       300},
      {"the answer's time ends a stalled refusal", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 20\r\n\r\nab",
       "", 500, "ab", 255, 300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> requests;
    ScriptedPeer peer(Serve({c.answer}, requests, false));
    auto http = Client();
    http->BodyByteLimit = 8;
    http->AnswerTimeout = c.answerTimeout;
    http->HeaderLineLimit = c.headerLineLimit;
    http->HTTPOptions.Include(hoKeepOrigProtocol);
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = Post(*http, Format("http://127.0.0.1:%d/upload", static_cast<int>(peer.port())));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(outcome.error, c.replyCode ? "ENetHTTPProtocolException" : "");
    EXPECT_EQ(outcome.text, c.text);
    EXPECT_EQ(outcome.replyCode, c.replyCode);
    EXPECT_EQ(outcome.replyBody, c.replyBody);
    EXPECT_EQ(http->IsConnected(), c.answer.find("Length: 8") != std::string::npos);
    http.reset();
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST_F(HttpClientTest, FollowsRedirectsOnTheKeptConnection) {
  const struct {
    const char* status;
    bool treat302Like303;
    const char* method;
    bool bodyAgain;
  } cases[] = {
      {"303 See Other", false, "GET", false},
      {"302 Found", true, "GET", false},
      {"302 Found", false, "POST", true},
      {"307 Temporary Redirect", false, "POST", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    std::vector<std::string> requests;
    const std::string redirect = std::string("HTTP/1.1 ") + c.status +
                                 "\r\nLocation: next.php?x=1\r\nSet-Cookie: session=abc\r\n"
                                 "Connection: keep-alive\r\nContent-Length: 5\r\n\r\nmoved";
    ScriptedPeer peer(Serve({redirect, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"}, requests, true));
    const std::string host = Format("127.0.0.1:%d", static_cast<int>(peer.port()));
    Outcome outcome;
    {
      auto http = Client();
      http->HandleRedirects = true;
      if (c.treat302Like303) http->HTTPOptions.Include(hoTreat302Like303);
      outcome = Post(*http, "http://" + host + "/upload/receive.php");
      EXPECT_EQ(http->RedirectsDone, 1);
    }
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(outcome.error + outcome.message, "");
    EXPECT_EQ(outcome.text, "done");
    ASSERT_EQ(requests.size(), 2u);
    std::string expected = std::string(c.method) + " /upload/next.php?x=1 HTTP/1.0\r\nConnection: keep-alive\r\n";
    if (c.bodyAgain) {
      expected += "Content-Type: multipart/form-data; boundary=--------120826052132123\r\nContent-Length: 194\r\n";
    }
    expected += "Host: " + host + "\r\n" + kAccept + kUserAgent + "Cookie: session=abc\r\n\r\n";
    if (c.bodyAgain) expected += ExampleBody();
    EXPECT_EQ(requests[1], expected);
  }
}

// A redirect to another server (here: the other address family) leaves the kept
// connection for a new one; 307 sends the body again.
TEST_F(HttpClientTest, RedirectToAnotherServer) {
  std::vector<std::string> second;
  ScriptedPeer target(Serve({"HTTP/1.1 201 Created\r\nContent-Length: 7\r\n\r\ncreated"}, second, true),
                      PeerOptions{.ipv6 = true});
  const std::string location = Format("http://[::1]:%d/other/", static_cast<int>(target.port()));
  std::vector<std::string> first;
  ScriptedPeer origin(Serve({"HTTP/1.1 307 Temporary Redirect\r\nLocation: " + location +
                             "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n"},
                            first, false));
  {
    auto http = Client();
    http->HandleRedirects = true;
    const Outcome outcome = Post(*http, Format("http://127.0.0.1:%d/upload", static_cast<int>(origin.port())));
    EXPECT_EQ(outcome.error + outcome.message, "");
    EXPECT_EQ(outcome.text, "created");
  }
  EXPECT_EQ(target.Finish(), "");
  EXPECT_EQ(origin.Finish(), "");
  EXPECT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].substr(0, 29), "POST /other/ HTTP/1.0\r\nConnec");
  EXPECT_NE(second[0].find(Format("\r\nHost: [::1]:%d\r\n", static_cast<int>(target.port()))), std::string::npos);
  EXPECT_EQ(second[0].substr(second[0].size() - 194), ExampleBody());
}

// A writer appends to the file after every size query of the body, so the transport
// would measure a longer file than the Content-Length line announced.
TEST_F(HttpClientTest, BodyKeepsToTheAnnouncedLengthWhileTheFileGrows) {
  class GrowingBody : public TNetMultiPartFormDataStream {
   public:
    explicit GrowingBody(const std::string& path) : TNetMultiPartFormDataStream(kExampleTime), path_(path) {}
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
      const std::int64_t result = TNetMultiPartFormDataStream::Seek(offset, origin);
      if (offset == 0 && origin == SeekOrigin::End) std::ofstream(path_, std::ios::binary | std::ios::app) << "+";
      return result;
    }

   private:
    std::string path_;
  };
  std::vector<std::string> requests;
  ScriptedPeer peer(Serve({kOk}, requests, false));
  {
    auto http = Client();
    GrowingBody body(dir_.file("report.txt"));
    body.AppendFilePart("file", dir_.file("report.txt"), "");
    const Outcome outcome = Capture([&] {
      return http->PostForm(Format("http://127.0.0.1:%d/upload/receive.php?queue=7", static_cast<int>(peer.port())),
                            body);
    });
    EXPECT_EQ(outcome.error + outcome.message, "");
  }
  EXPECT_EQ(peer.Finish(), "");
  // The body of "hello", as long as it was when the length was taken; nothing after it.
  test::WriteFile(dir_.file("report.txt"), "hello");
  const std::string expected = ExampleRequest(Format("127.0.0.1:%d", static_cast<int>(peer.port())), "");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], expected);
}

// The upload's second request goes on the connection that the first answer kept. When
// that connection dies before one byte of the answer came, the request goes once more on
// a new connection; anything else (a part of an answer, a time-out, a new connection that
// fails too) ends the request with its error.
// The same holds for the connection to a plain proxy, which its Proxy-Connection line
// keeps, and for a tunnel, which the server keeps.
TEST_F(HttpClientTest, AKeptConnectionThatDiesUnansweredIsReplacedOnce) {
  enum class End { Close, Reset, PartOfAStatusLine, Silence };
  enum class Via { Direct, Proxy, Tunnel };
  const struct {
    const char* name;
    End end;                // what the kept connection does with the second request
    bool endsTheNewOneToo;  // the new connection ends the same way
    int connections;
    const char* error;
    const char* message;
    Via via = Via::Direct;
  } cases[] = {
      {"closed as the request arrives", End::Close, false, 2, "", ""},
      {"reset as the request arrives", End::Reset, false, 2, "", ""},
      {"closed on the new connection too", End::Close, true, 2, "ENetConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"part of a status line", End::PartOfAStatusLine, false, 1, "ENetConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"no answer in time", End::Silence, false, 1, "ENetReadTimeout", "Read timed out."},
      {"proxy: closed as the request arrives", End::Close, false, 2, "", "", Via::Proxy},
      {"tunnel: reset as the request arrives", End::Reset, false, 2, "", "", Via::Tunnel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (WithoutTls(c.via == Via::Tunnel)) continue;
    const std::string kept = std::string("HTTP/1.0 200 OK\r\n") +
                             (c.via == Via::Proxy ? "Proxy-Connection" : "Connection") +
                             ": keep-alive\r\nContent-Length: 2\r\n\r\nok";
    std::vector<std::string> requests;
    int connection = 0;
    int tunnels = 0;
    const std::unique_ptr<ScriptedPeer> peer = CaseServer(
        c.via == Via::Tunnel,
        [&](PeerConnection& p) {
          if (++connection == 1) {
            requests.push_back(ReceiveRequest(p));
            p.Send(kept);
          } else if (!c.endsTheNewOneToo) {
            Serve({kOk}, requests, false)(p);
            return;
          }
          requests.push_back(ReceiveRequest(p));
          switch (c.end) {
            case End::Close: return p.Close();
            case End::Reset: return p.Reset();
            case End::PartOfAStatusLine: p.Send("HTTP/1.1 20"); return p.Close();
            case End::Silence: p.WaitForClose();
          }
        },
        {.connections = c.connections},
        [&tunnels](PeerConnection& p) {
          tunnels += p.ReceiveUntil("\r\n\r\n").starts_with("CONNECT upload.example.invalid:443 HTTP/1.1\r\n");
          return p.Send("HTTP/1.1 200 Connection established\r\n\r\n");
        });
    auto http = Client("uploader", "s3cret");
    http->ProtocolVersion = pv1_0;
    http->HTTPOptions.Include(hoKeepOrigProtocol);
    http->ReadTimeout = 500;
    std::string host = Format("127.0.0.1:%d", static_cast<int>(peer->port()));
    std::string url = "http://" + host + "/upload/receive.php?queue=7";
    if (c.via != Via::Direct) {
      http->ProxyParams.ProxyServer = "127.0.0.1";
      http->ProxyParams.ProxyPort = peer->port();
      host = "upload.example.invalid";
      url = (c.via == Via::Tunnel ? "https://" : "http://") + host + "/upload/receive.php?queue=7";
    }
    EXPECT_EQ(Post(*http, url).text, "ok");
    const Outcome second = Post(*http, url);
    EXPECT_EQ(second.error, c.error);
    EXPECT_EQ(second.message, c.message);
    EXPECT_EQ(second.text, c.error[0] ? "" : "ok");
    http.reset();
    EXPECT_EQ(peer->Finish(), "");
    EXPECT_EQ(tunnels, c.via == Via::Tunnel ? c.connections : 0);
    // The upload's request each time: nothing of the first answer leaks into the others.
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(1 + c.connections));
    for (const std::string& request : requests) {
      EXPECT_EQ(request, ExampleRequest(host, "Basic " + Base64Encode("uploader:s3cret"),
                                        c.via == Via::Proxy ? std::optional<std::string>("") : std::nullopt));
    }
  }
}

// With hoKeepOrigProtocol the upload goes out as HTTP/1.1, which needs no Connection
// header to keep the connection: it stays unless the answer says close, is an HTTP/1.0
// one that does not ask for it, or ends only at the close. Interim answers of any kind
// come first and are skipped; chunked bodies are read to their end, trailer included.
TEST_F(HttpClientTest, KeepOrigProtocolPostsHttp11) {
  const struct {
    const char* name;
    std::string answer;
    bool closeAfter;
    std::string text;
    bool kept;
    bool proxy = false;
  } cases[] = {
      {"a length", kOk, false, "ok", true},
      {"100 and 103 before a chunked answer with a trailer",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\nX-Checksum: 42\r\n\r\n",
       false, "abcde", true},
      {"Connection: close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", false, "ok", false},
      {"an HTTP/1.0 answer that does not ask to keep", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "ok",
       false},
      {"the end known only by the close", "HTTP/1.1 200 OK\r\n\r\nuntil the end", true, "until the end", false},
      // A plain proxy is asked in the absolute form, with no Proxy-Connection line.
      {"through a proxy", kOk, false, "ok", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> requests;
    ScriptedPeer peer(Serve({c.answer}, requests, c.closeAfter));
    {
      auto http = Client();
      http->HTTPOptions.Include(hoKeepOrigProtocol);
      std::string url = Format("http://127.0.0.1:%d/upload", static_cast<int>(peer.port()));
      if (c.proxy) {
        http->ProxyParams.ProxyServer = "127.0.0.1";
        http->ProxyParams.ProxyPort = peer.port();
        url = "http://upload.example.invalid/upload";
      }
      EXPECT_EQ(Post(*http, url).text, c.text);
      EXPECT_EQ(http->Response.KeepConnection, c.kept);
      EXPECT_EQ(http->IsConnected(), c.kept);
    }
    EXPECT_EQ(peer.Finish(), "");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n") + 2),
              c.proxy ? "POST http://upload.example.invalid/upload HTTP/1.1\r\n" : "POST /upload HTTP/1.1\r\n");
    EXPECT_EQ(requests[0].find("Connection:"), std::string::npos);
  }
}

TEST_F(HttpClientTest, ChunkedBodyWithTrailerAndChunkEvent) {
  std::vector<std::string> requests;
  ScriptedPeer peer(Serve({"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                           "3\r\nabc\r\n4 ; name=value\r\ndefg\r\n0\r\nX-Checksum: 42\r\n\r\n"},
                          requests, false));
  auto http = Client();
  std::vector<std::string> chunks;
  http->OnChunkReceived = [&](TNetCustomHTTP&, std::string& chunk) {
    chunks.push_back(chunk);
    chunk = "<" + chunk + ">";
  };
  TMemoryStream answer;
  http->ExecuteRequest("GET", Format("http://127.0.0.1:%d/", static_cast<int>(peer.port())), nullptr, &answer);
  EXPECT_EQ(answer.DataString(), "<abc><defg>");
  EXPECT_EQ(chunks, (std::vector<std::string>{"abc", "defg"}));
  EXPECT_EQ(http->Response.RawHeaders.Value("X-Checksum"), "42");
  http.reset();
  EXPECT_EQ(peer.Finish(), "");
}

TEST_F(HttpClientTest, ProtocolErrorOptions) {
  const struct {
    bool noException;
    bool wantContent;
    const char* error;
    const char* stored;
  } cases[] = {
      {false, false, "ENetHTTPProtocolException", ""},
      {true, false, "", ""},
      {true, true, "", "missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.noException << c.wantContent);
    std::vector<std::string> requests;
    ScriptedPeer peer(Serve({"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing"}, requests, false));
    TMemoryStream answer;
    {
      auto http = Client();
      if (c.noException) http->HTTPOptions.Include(hoNoProtocolErrorException);
      if (c.wantContent) http->HTTPOptions.Include(hoWantProtocolErrorContent);
      const Outcome outcome = Capture([&] {
        http->ExecuteRequest("GET", Format("http://127.0.0.1:%d/", static_cast<int>(peer.port())), nullptr, &answer);
        return std::string();
      });
      EXPECT_EQ(outcome.error, c.error);
      EXPECT_EQ(http->Response.StatusCode(), 404);
    }
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(answer.DataString(), c.stored);
  }
}

// Redirects that never end: the request fails once the maximum is reached instead of
// returning as if the server had taken it.
TEST_F(HttpClientTest, RedirectMaximumEndsInAnError) {
  std::vector<std::string> requests;
  const std::vector<std::string> answers(10, "HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n");
  ScriptedPeer peer(Serve(answers, requests, false));
  {
    auto http = Client();
    http->HandleRedirects = true;
    http->RedirectMaximum = 3;
    TMemoryStream answer;
    const Outcome outcome = Capture([&] {
      http->ExecuteRequest("GET", Format("http://127.0.0.1:%d/start", static_cast<int>(peer.port())), nullptr, &answer);
      return std::string();
    });
    EXPECT_EQ(outcome.error, "ENetHTTPProtocolException");
    EXPECT_EQ(outcome.message, "HTTP/1.1 302 Found");
    EXPECT_EQ(http->RedirectsDone, 3);
    EXPECT_EQ(http->Response.Location, "/loop");
  }
  EXPECT_EQ(peer.Finish(), "");
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].substr(0, 22), "GET /start HTTP/1.1\r\nH");
  EXPECT_EQ(requests[2].substr(0, 21), "GET /loop HTTP/1.1\r\nH");
}

// RFC 2617 section 3.5 with the client nonce fixed: the whole exchange, the second
// request on the connection the first answer kept open.
TEST_F(HttpClientTest, DigestExchangeWithInProcessAuthentication) {
  static const TNetAuthenticationClass fixedCnonceDigest("TNetDigestAuthentication", [] {
    auto digest = std::make_unique<TNetDigestAuthentication>();
    digest->CnonceSource = [] { return std::string("0a4f113b"); };
    return std::unique_ptr<TNetAuthentication>(std::move(digest));
  });
  RegisterAuthScheme("Digest", &fixedCnonceDigest);
  struct Restore {
    ~Restore() { RegisterAuthScheme("Digest", &kDigestAuthenticationClass); }
  } restore;

  std::vector<std::string> requests;
  ScriptedPeer peer(Serve({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"testrealm@host.com\", "
                           "qop=\"auth\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                           "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\nContent-Length: 0\r\n\r\n",
                           "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret"},
                          requests, true));
  const std::string host = Format("127.0.0.1:%d", static_cast<int>(peer.port()));
  TMemoryStream answer;
  {
    auto http = Client();
    http->Request.Username = "Mufasa";
    http->Request.Password = "Circle Of Life";
    http->HTTPOptions.Include(hoInProcessAuth);
    const Outcome outcome = Capture([&] {
      http->ExecuteRequest("GET", "http://" + host + "/dir/index.html", nullptr, &answer);
      return answer.DataString();
    });
    EXPECT_EQ(outcome.error + outcome.message, "");
    EXPECT_EQ(outcome.text, "secret");
  }
  EXPECT_EQ(peer.Finish(), "");
  ASSERT_EQ(requests.size(), 2u);
  const std::string head = "GET /dir/index.html HTTP/1.1\r\nHost: " + host + "\r\n" + kAccept + kUserAgent;
  EXPECT_EQ(requests[0], head + "\r\n");
  EXPECT_EQ(requests[1], head +
                             "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
                             "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", algorithm=\"MD5\", "
                             "uri=\"/dir/index.html\", qop=\"auth\", nc=00000001, cnonce=\"0a4f113b\", "
                             "response=\"6629fae49393a05397450978507c4ef1\", "
                             "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\n\r\n");
}

TEST_F(HttpClientTest, ChallengeRealmWithAnEscapedQuote) {
  std::vector<std::string> requests;
  ScriptedPeer peer(Serve({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"say \\\"hi\\\"\"\r\n"
                           "Content-Length: 0\r\n\r\n"},
                          requests, true));
  auto http = Client("uploader", "s3cret");
  const Outcome outcome = Post(*http, Format("http://127.0.0.1:%d/upload", static_cast<int>(peer.port())));
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(outcome.message, "HTTP/1.1 401 Unauthorized");
  const auto* basic = dynamic_cast<const TNetBasicAuthentication*>(http->Request.AuthHandler.get());
  ASSERT_NE(basic, nullptr);
  EXPECT_EQ(basic->Realm, "say \"hi\"");
  EXPECT_EQ(basic->AuthStep, 0);
}

// A server that answers before it has read the whole body: the answer decides, not the
// reset or close that may end the send, and a 2xx is no delivery, whether the server
// then closes, stays silent, or reads the rest and answers again; an answer that was
// there before the request (a stray one, a few milliseconds after the last answer on a
// kept connection) is no delivery either. The connection is not kept, whatever the
// answer says.
TEST_F(HttpClientTest, AnswersThatArriveWhileTheBodyIsSent) {
  const std::string unauthorized =
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"u\"\r\n"
      "Connection: keep-alive\r\nContent-Length: 6\r\n\r\ndenied";
  const std::string keptOk = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok";
  const std::string kEndedEitherWay = "a close or a reset";
  const std::string early = "ENetException";
  const std::string earlyOk = "Answer \"HTTP/1.1 200 OK\" arrived before the whole body was sent";
  // What the server does after its answer.
  enum class Then { Close, Reset, StaySilent, ReadAllAndRefuse };
  const struct {
    const char* name;
    bool tls;
    std::size_t readFirst;  // body bytes the server reads before it answers
    std::string answer;
    Then then;
    std::string error;
    std::string message;
    int replyCode;
    bool strayFirst = false;  // a kept answer to an earlier request, then the stray answer
  } cases[] = {
      {"401 before the body, close", false, 0, unauthorized, Then::Close, "ENetHTTPProtocolException",
       "HTTP/1.1 401 Unauthorized", 401},
      {"401 before the body, reset", false, 0, unauthorized, Then::Reset, "ENetHTTPProtocolException",
       "HTTP/1.1 401 Unauthorized", 401},
      {"413 in the middle of the body", false, 1 << 20,
       "HTTP/1.1 413 Request Entity Too Large\r\nConnection: close\r\n\r\n", Then::Close, "ENetHTTPProtocolException",
       "HTTP/1.1 413 Request Entity Too Large", 413},
      {"200 before the whole body", false, 1 << 20, kOk, Then::Close, early, earlyOk, 0},
      {"200 on an unread body, the connection kept open", false, 0, keptOk, Then::StaySilent, early, earlyOk, 0},
      {"200 at once, 500 once the body is read", false, 0, keptOk, Then::ReadAllAndRefuse, early, earlyOk, 0},
      {"200 at once, 500 once the body is read, TLS", true, 0, keptOk, Then::ReadAllAndRefuse, early, earlyOk, 0},
      {"a stray 200 while the next body goes out", false, 0, "", Then::ReadAllAndRefuse, early, earlyOk, 0, true},
      // No answer: the end of the connection is the error. Whether a reset that follows
      // unread bytes shows as a reset or as a close is the system's to say (Wine: a close).
      {"half a status line", false, 0, "HTTP/1.1 40", Then::Reset, kEndedEitherWay, "", 0},
      {"401 over TLS", true, 0, unauthorized, Then::Close, "ENetHTTPProtocolException", "HTTP/1.1 401 Unauthorized",
       401},
  };
  const std::size_t bigSize = 16 << 20;
  test::WriteFile(dir_.file("big.bin"), std::string(bigSize, 'b'));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (WithoutTls(c.tls)) continue;
    auto server = CaseServer(c.tls,
                             [&](PeerConnection& p) {
                               if (c.strayFirst) {
                                 ReceiveRequest(p);
                                 p.Send(keptOk);
                                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                 p.Send(kOk);
                               }
                               p.ReceiveUntil("\r\n\r\n");
                               p.Discard(c.readFirst);
                               p.Send(c.answer);
                               switch (c.then) {
                                 case Then::Reset: return p.Reset();
                                 case Then::StaySilent: p.WaitForClose(); return;
                                 case Then::ReadAllAndRefuse:
                                   p.Discard(bigSize);
                                   p.Send("HTTP/1.1 500 Disk full\r\nContent-Length: 0\r\n\r\n");
                                   p.WaitForClose();
                                   return;
                                 case Then::Close:
                                   // Pushes the answer out first: a close with unread bytes drops what is
                                   // still queued for sending.
                                   p.ShutdownWrite();
                                   return p.Close();
                               }
                             },
                             {});
    auto http = Client("uploader", "wrong");
    const std::string url =
        Format("%s://127.0.0.1:%d/upload", c.tls ? "https" : "http", static_cast<int>(server->port()));
    if (c.strayFirst) {
      http->HTTPOptions.Include(hoKeepOrigProtocol);
      http->ProtocolVersion = pv1_0;
      EXPECT_EQ(Post(*http, url).text, "ok");
    }
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", dir_.file("big.bin"), "");
    const Outcome outcome = Capture([&] { return http->PostForm(url, body); });
    if (c.error == kEndedEitherWay) {
      EXPECT_TRUE(outcome.error + ": " + outcome.message == "ENetConnClosedGracefully: Connection Closed Gracefully." ||
                  outcome.error + ": " + outcome.message ==
                      "ENetSocketError: Socket Error # 10054\r\nConnection reset by peer.")
          << outcome.error << ": " << outcome.message;
    } else {
      EXPECT_EQ(outcome.error, c.error);
      EXPECT_EQ(outcome.message, c.message);
    }
    EXPECT_EQ(outcome.replyCode, c.replyCode);
    EXPECT_FALSE(http->Response.KeepConnection);
    EXPECT_FALSE(http->IsConnected());
    http.reset();
    EXPECT_EQ(server->Finish(), "");
  }
}

// Requests refused before anything is sent.
TEST_F(HttpClientTest, RequestsRefusedBeforeSending) {
  const struct {
    const char* name;
    const char* method;
    const char* url;
    bool plainHandler;
    bool proxy;
    const char* error;
    const char* message;
  } cases[] = {
      {"unknown protocol", "POST", "ftp://127.0.0.1/upload", false, false, "ENetUnknownProtocol", "Unknown Protocol"},
      {"no host", "POST", "http:///upload", false, false, "ENetURIException", "Host field is empty"},
      {"no host over TLS", "POST", "https://:8443/upload", false, false, "ENetURIException", "Host field is empty"},
      {"PUT needs HTTP/1.1", "PUT", "http://127.0.0.1:1/upload", false, false, "ENetException",
       "Request method requires HTTP version 1.1"},
      {"TLS without a TLS handler", "POST", "https://127.0.0.1:1/upload", true, false, "ENetIOHandlerPropInvalid",
       "IOHandler value is not valid"},
      {"line break in the target", "POST", "http://127.0.0.1:1/a\r\nInjected: pwned", false, false, "ENetException",
       "Request line contains a line break"},
      {"TLS through a proxy without a TLS handler", "POST", "https://upload.example.invalid/upload", true, true,
       "ENetIOHandlerPropInvalid", "IOHandler value is not valid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto http = Client();
    if (c.plainHandler) http->SetIOHandler(std::make_unique<TNetIOHandlerStack>());
    if (c.proxy) {
      http->ProxyParams.ProxyServer = "127.0.0.1";
      http->ProxyParams.ProxyPort = 1;
    }
    http->ProtocolVersion = pv1_0;
    TMemoryStream body("x");
    const Outcome outcome = Capture([&] {
      http->ExecuteRequest(c.method, c.url, &body, nullptr);
      return std::string();
    });
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_FALSE(http->IsConnected());
  }
}

}  // namespace
}  // namespace qb
