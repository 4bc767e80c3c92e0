#include "http/header_info.h"

#include <gtest/gtest.h>

#include "http/authentication.h"
#include "http/http_date.h"

namespace qb {
namespace {

constexpr const char* kMultipartType = "multipart/form-data; boundary=--------071524093015123";
constexpr const char* kAccept = "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n";
constexpr const char* kUserAgent = "User-Agent: Mozilla/3.0 (compatible; Quobrina)\r\n";

// What the client sets on the request of an upload before it builds the header lines.
std::string UploadHeaderText(const char* protocol, const char* host, const char* port, bool ipv6, const char* user,
                             const char* password) {
  TNetHTTPRequest request;
  request.SetContentType(kMultipartType);
  request.Connection = "keep-alive";
  request.ContentLength = 194;
  request.Host = FormatHostHeader(host, port, protocol, ipv6);
  request.BasicAuthentication = *user != '\0' || *password != '\0';
  request.Username = user;
  request.Password = password;
  request.SetHeaders();
  return request.RawHeaders.WireText();
}

TEST(HeaderInfoTest, UploadRequestHeaderLines) {
  struct Case {
    const char* protocol;
    const char* host;
    const char* port;
    bool ipv6;
    const char* user;
    const char* password;
    const char* hostLine;
    const char* authorizationLine;
  };
  const Case cases[] = {
      {"https", "192.0.2.10", "443", false, "uploader", "s3cret", "192.0.2.10", "Basic dXBsb2FkZXI6czNjcmV0"},
      {"http", "192.0.2.10", "80", false, "uploader", "s3cret", "192.0.2.10", "Basic dXBsb2FkZXI6czNjcmV0"},
      {"http", "192.0.2.10", "8080", false, "", "secret", "192.0.2.10:8080", "Basic OnNlY3JldA=="},
      {"https", "192.0.2.10", "0443", false, "", "", "192.0.2.10:0443", nullptr},
      {"HTTPS", "2001:db8::1", "8443", true, "", "", "[2001:db8::1]:8443", nullptr},
      {"https", "2001:db8::1", "443", true, "", "", "[2001:db8::1]", nullptr},
      {"http", "host.example", "443", false, "", "", "host.example:443", nullptr},
  };
  for (const Case& c : cases) {
    std::string expected =
        "Connection: keep-alive\r\n"
        "Content-Type: multipart/form-data; boundary=--------071524093015123\r\n"
        "Content-Length: 194\r\n"
        "Host: " +
        std::string(c.hostLine) + "\r\n" + kAccept + kUserAgent;
    if (c.authorizationLine) expected += "Authorization: " + std::string(c.authorizationLine) + "\r\n";
    EXPECT_EQ(expected, UploadHeaderText(c.protocol, c.host, c.port, c.ipv6, c.user, c.password))
        << c.protocol << " " << c.host << " " << c.port;
  }
}

TEST(HeaderInfoTest, EveryRequestFieldInWireOrder) {
  TNetHTTPRequest request;
  request.Connection = "close";
  request.ContentVersion = "1";
  request.ContentDisposition = "inline";
  request.ContentEncoding = "gzip";
  request.ContentLanguage = "de";
  request.ContentType = "text/plain; charset=old; format=flowed";
  request.CharSet = "UTF-8";
  request.ContentLength = 0;
  request.CacheControl = "no-cache";
  request.Date = 34643.0;  // 5 Nov 1994
  request.ETag = "\"e\"";
  request.Expires = 34644.5;
  request.Pragma = "no-cache";
  request.TransferEncoding = "chunked";
  request.CustomHeaders.Add("X-One: 1");
  request.CustomHeaders.Add("X-Two: 2");
  request.ProxyConnection = "keep-alive";
  request.Host = "h";
  request.AcceptCharSet = "utf-8";
  request.AcceptEncoding = "identity";
  request.AcceptLanguage = "en";
  request.From = "a@b";
  request.Referer = "http://r/";
  request.UserAgent = "UA";
  request.Range = "bytes=0-1";
  request.LastModified = 34645.25;
  request.BasicAuthentication = true;
  request.Username = "u";
  request.MethodOverride = "PATCH";
  request.SetHeaders();
  EXPECT_EQ(
      "Connection: close\r\nContent-Version: 1\r\nContent-Disposition: inline\r\nContent-Encoding: gzip\r\n"
      "Content-Language: de\r\nContent-Type: text/plain; format=flowed; charset=UTF-8\r\nContent-Length: 0\r\n"
      "Cache-control: no-cache\r\nDate: Sat, 05 Nov 1994 00:00:00 GMT\r\nETag: \"e\"\r\n"
      "Expires: Sun, 06 Nov 1994 12:00:00 GMT\r\nPragma: no-cache\r\nTransfer-Encoding: chunked\r\n"
      "X-One: 1\r\nX-Two: 2\r\nProxy-Connection: keep-alive\r\nHost: h\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\nAccept-Charset: utf-8\r\n"
      "Accept-Encoding: identity\r\nAccept-Language: en\r\nFrom: a@b\r\nReferer: http://r/\r\nUser-Agent: UA\r\n"
      "Range: bytes=0-1\r\nIf-Modified-Since: Mon, 07 Nov 1994 06:00:00 GMT\r\nAuthorization: Basic dTo=\r\n"
      "X-HTTP-Method-Override: PATCH\r\n",
      request.RawHeaders.WireText());

  // A second build starts from nothing; the Basic handler made by the first one stays and
  // is not handed the changed credentials.
  request.Username = "other";
  request.SetHeaders();
  EXPECT_EQ("Basic dTo=", request.RawHeaders.Value("Authorization"));
  ASSERT_NE(nullptr, request.AuthHandler);
  EXPECT_STREQ("TNetBasicAuthentication", request.AuthHandler->ClassName());
}

TEST(HeaderInfoTest, AuthorizationComesFromTheHandlerThatIsPresent) {
  TNetHTTPRequest request;
  request.BasicAuthentication = true;
  request.Username = "u";
  auto digest = std::make_unique<TNetDigestAuthentication>();
  digest->ChallengeLines = {"Digest realm=\"r\", nonce=\"n\""};
  digest->SetUsername("Mufasa");
  digest->CnonceSource = [] { return std::string("c"); };
  ASSERT_EQ(NextAction::SendAgain, digest->Next());
  request.AuthHandler = std::move(digest);
  request.RequestMethod = "POST";
  request.TargetUrl = "/upload/receive.php?queue=7";
  request.SetHeaders();
  const std::string value = request.RawHeaders.Value("Authorization");
  EXPECT_EQ(0u, value.find("Digest username=\"Mufasa\", realm=\"r\", nonce=\"n\", algorithm=\"MD5\", "
                           "uri=\"/upload/receive.php?queue=7\", response=\""))
      << value;
}

TEST(HeaderInfoTest, ResponseHeadersIntoFields) {
  TNetHTTPResponse response;
  for (const char* line : {
           "Content-Type: text/html; charset=\"windows-1251\"",
           "Content-Length: 12345678901",
           "Connection: Keep-Alive",
           "Server: test",
           "Location: /next",
           "WWW-Authenticate: Negotiate",
           "WWW-Authenticate: Basic realm=\"a\",",
           "  charset=\"UTF-8\"",
           "Proxy-Authenticate: Basic realm=\"p\"",
           "Date: Sun, 06 Nov 1994 08:49:37 GMT",
           "Last-Modified: Sunday, 06-Nov-94 08:49:37 GMT",
           "Expires: 0",
           "Transfer-Encoding: chunked",
           "Accept-Ranges: bytes",
           "Cache-control: private",
           "Content-Range: bytes 0-1/2",
       }) {
    response.RawHeaders.Add(line);
  }
  response.ProcessHeaders();
  EXPECT_EQ("text/html", response.ContentType);
  EXPECT_EQ("windows-1251", response.CharSet);
  EXPECT_EQ(12345678901, response.ContentLength);
  EXPECT_EQ("Keep-Alive", response.Connection);
  EXPECT_EQ("test", response.Server);
  EXPECT_EQ("/next", response.Location);
  EXPECT_EQ((std::vector<std::string>{"Negotiate", "Basic realm=\"a\", charset=\"UTF-8\""}), response.WWWAuthenticate);
  EXPECT_EQ(std::vector<std::string>{"Basic realm=\"p\""}, response.ProxyAuthenticate);
  EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", FormatHttpDate(response.Date));
  EXPECT_EQ(response.Date, response.LastModified);
  EXPECT_EQ(0, response.Expires);
  EXPECT_EQ("chunked", response.TransferEncoding);
  EXPECT_EQ("bytes", response.AcceptRanges);
  EXPECT_EQ("private", response.CacheControl);
  EXPECT_EQ("bytes 0-1/2", response.ContentRange);

  response.Clear();
  EXPECT_EQ(-1, response.ContentLength);
  EXPECT_TRUE(response.WWWAuthenticate.empty());
  EXPECT_TRUE(response.RawHeaders.Empty());
}

TEST(HeaderInfoTest, ContentLengthAndCharsetRules) {
  struct Case {
    const char* contentType;    // nullptr: no header
    const char* contentLength;  // nullptr: no header
    const char* charset;
    std::int64_t length;
  };
  const Case cases[] = {
      {"text/html", "2", "ISO-8859-1", 2},
      {"text/plain", " 0 ", "ISO-8859-1", 0},
      {"text/xml", "abc", "us-ascii", -1},
      {"TEXT/XML-External-Parsed-Entity", "-5", "us-ascii", -1},
      {"text/svg+xml", "0x10", "us-ascii", -1},
      {"application/atom+xml", "$10", "", -1},
      {"application/octet-stream", "99999999999999999999", "", -1},
      {"text/html; charset=utf-8", "1 2", "utf-8", -1},
      {nullptr, nullptr, "", -1},
  };
  for (const Case& c : cases) {
    TNetHTTPResponse response;
    if (c.contentType) response.RawHeaders.AddValue("Content-Type", c.contentType);
    if (c.contentLength) response.RawHeaders.AddValue("Content-Length", c.contentLength);
    response.ProcessHeaders();
    EXPECT_EQ(c.charset, response.CharSet) << (c.contentType ? c.contentType : "-");
    EXPECT_EQ(c.length, response.ContentLength) << (c.contentLength ? c.contentLength : "-");
  }
}

TEST(HeaderInfoTest, StatusLineGivesCodeAndVersion) {
  struct Case {
    const char* line;
    int code;
    TNetHTTPProtocolVersion version;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK", 200, pv1_1},
      {"HTTP/1.0 404 Not Found", 404, pv1_0},
      {"HTTP/1.1 abc", -1, pv1_1},
      {"HTTP/1.1  302   Found", 302, pv1_1},
      {"HTTP/1.1 200.5 Odd", 200, pv1_1},
      {"HTTP/1.1 -200 Negative", -1, pv1_1},
      {"HTTP/1.1 $C8 Hex", -1, pv1_1},
      {"HTTP/1.1 99999999999 Big", -1, pv1_1},
      {"HTTP/1.1", -1, pv1_1},
      {"HTTP/2 200", 200, pv1_0},
      {"", -1, pv1_0},
  };
  for (const Case& c : cases) {
    TNetHTTPResponse response;
    response.SetStatusLine(c.line);
    EXPECT_EQ(c.code, response.StatusCode()) << c.line;
    EXPECT_EQ(c.version, response.StatusVersion()) << c.line;
    EXPECT_EQ(c.line, response.StatusLine());
  }
  TNetHTTPResponse response;
  response.SetStatusLine("HTTP/1.1 100 Continue");
  EXPECT_EQ(100, response.StatusCode());
  response.SetStatusLine("HTTP/1.1 201 Created");  // a new line is read again
  EXPECT_EQ(201, response.StatusCode());
}

// The lower of the request's and the answer's version decides; Connection and
// Proxy-Connection are lists of options, and "close" wins wherever it stands.
TEST(HeaderInfoTest, KeepConnectionRules) {
  struct Case {
    bool connected;
    const char* requestConnection;
    const char* responseConnection;
    TNetHTTPProtocolVersion version;
    bool keep;
    const char* status = "HTTP/1.1 200 OK";
    bool viaProxy = false;
    const char* proxyConnection = "";
    const char* framing = "";  // further header lines
  };
  const Case cases[] = {
      {true, "keep-alive", " Keep-Alive ", pv1_0, true},
      {true, "keep-alive", "", pv1_0, false},
      {true, "keep-alive", "close", pv1_0, false},
      {true, "", "", pv1_1, true},
      {true, "", "CLOSE", pv1_1, false},
      {true, " close ", "keep-alive", pv1_1, false},
      {false, "keep-alive", "keep-alive", pv1_0, false},
      {true, "keep-alive", "Upgrade, Keep-Alive", pv1_0, true},
      {true, "", "keep-alive, close", pv1_1, false},
      {true, "", "", pv1_1, false, "HTTP/1.0 200 OK"},
      {true, "", "keep-alive", pv1_1, true, "HTTP/1.0 200 OK"},
      {true, "", "", pv1_1, false, "HTTP/1.1 200 OK", true, "close"},
      {true, "keep-alive", "close", pv1_0, false, "HTTP/1.0 200 OK", true, "keep-alive"},
      {true, "keep-alive", "keep-alive", pv1_0, false, "HTTP/1.0 200 OK", true, "close"},
      {true, "keep-alive", "", pv1_0, true, "HTTP/1.0 200 OK", true, "keep-alive"},
      {true, "keep-alive", "", pv1_0, false, "HTTP/1.0 200 OK", false, "keep-alive"},
      {true, "", "", pv1_1, false, "HTTP/1.1 200 OK", false, "", "Transfer-Encoding: chunked\r\nContent-Length: 2"},
  };
  for (const Case& c : cases) {
    TNetHTTPRequest request;
    request.Connection = c.requestConnection;
    TNetHTTPResponse response;
    response.SetStatusLine(c.status);
    if (*c.responseConnection) response.RawHeaders.AddValue("Connection", c.responseConnection);
    if (*c.proxyConnection) response.RawHeaders.AddValue("Proxy-Connection", c.proxyConnection);
    for (std::string_view rest = c.framing; !rest.empty();) {
      const std::size_t end = rest.find("\r\n");
      response.RawHeaders.Add(std::string(rest.substr(0, end)));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    }
    response.ProcessHeaders();
    EXPECT_EQ(c.keep, EvaluateKeepConnection(c.connected, request, response, c.version, c.viaProxy))
        << c.requestConnection << "/" << c.status << "/" << c.responseConnection << "/" << c.proxyConnection << "/"
        << c.framing;
  }
}

TEST(HeaderInfoTest, ProtocolErrorCarriesStatusLineCodeAndDecodedBody) {
  struct Case {
    const char* contentType;
    std::string body;
    std::string replyBody;
  };
  const Case cases[] = {
      {"text/html", "caf\xE9", "caf\xC3\xA9"},  // ISO-8859-1 by default
      {"text/plain; charset=UTF-8", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"text/plain; charset=windows-1251", "\xCF\xF0\xE8", "\xD0\x9F\xD1\x80\xD0\xB8"},
      {"application/octet-stream", std::string("\x00\xFF", 2), std::string("\x00\xC3\xBF", 3)},
      {"text/plain; charset=no-such-charset", "\xB5", "\xC2\xB5"},
  };
  for (const Case& c : cases) {
    TNetHTTPResponse response;
    response.SetStatusLine("HTTP/1.1 500 Internal Server Error");
    response.RawHeaders.AddValue("Content-Type", c.contentType);
    response.ProcessHeaders();
    try {
      RaiseHTTPProtocolError(response, c.body);
      FAIL() << "no exception";
    } catch (const ENetHTTPProtocolException& e) {
      EXPECT_EQ("HTTP/1.1 500 Internal Server Error", e.Message());
      EXPECT_STREQ("ENetHTTPProtocolException", e.ClassName());
      EXPECT_EQ(500, e.ReplyCode());
      EXPECT_EQ(c.replyBody, e.ReplyBody()) << c.contentType;
    }
  }
}

TEST(HeaderInfoTest, MetaHttpEquivAndXmlDeclarationSetTheCharset) {
  TNetHTTPResponse html;
  html.RawHeaders.AddValue("Content-Type", "text/html");
  html.RawHeaders.AddValue("Refresh", "5");
  html.ProcessHeaders();
  html.ApplyMetaHTTPEquiv(
      "<html><head><!-- <meta charset=\"koi8-r\"> -->"
      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=windows-1251\">"
      "<meta http-equiv='Set-Cookie' content='a=b; path=/'/>"
      "<meta http-equiv=Refresh content=1>"
      "</head><body><meta http-equiv=\"X-Late\" content=\"no\"></body></html>");
  EXPECT_EQ("windows-1251", html.CharSet);
  EXPECT_EQ((std::vector<std::string>{"Content-Type: text/html; charset=windows-1251", "Set-Cookie: a=b; path=/",
                                      "Refresh: 1"}),
            html.MetaHTTPEquiv.Lines());
  EXPECT_EQ("a=b; path=/", html.RawHeaders.Value("Set-Cookie"));
  EXPECT_EQ("5", html.RawHeaders.Value("Refresh"));  // the server's own header wins
  EXPECT_EQ("text/html", html.RawHeaders.Value("Content-Type"));

  TNetHTTPResponse named;  // a charset the server named is kept
  named.RawHeaders.AddValue("Content-Type", "text/html; charset=UTF-8");
  named.ProcessHeaders();
  named.ApplyMetaHTTPEquiv("<head><meta charset=\"iso-8859-5\"></head>");
  EXPECT_EQ("UTF-8", named.CharSet);

  const std::pair<std::string, const char*> xml[] = {
      {"<?xml version=\"1.0\" encoding=\"windows-1252\"?><a/>", "windows-1252"},
      {"<?xml version='1.0' encoding = 'KOI8-R' ?>", "KOI8-R"},
      {"<?xml version=\"1.0\"?><a encoding=\"x\"/>", "UTF-8"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"latin1\"?>", "UTF-8"},
      {"\xFF\xFE<\0?\0", "UTF-16LE"},
      {std::string("\0<\0?\0x", 6), "UTF-16BE"},
      {"<a/>", "UTF-8"},
      {"", "UTF-8"},
      {"<?xml version=\"1.0\" encoding=\"unterminated", "unterminated"},
  };
  for (const auto& [body, charset] : xml) {
    TNetHTTPResponse response;
    response.CharSet = "ISO-8859-1";
    response.ApplyXmlCharset(body);
    EXPECT_EQ(charset, response.CharSet) << body;
  }
}

TEST(HeaderInfoTest, HttpDates) {
  const std::pair<const char*, const char*> cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 10:49:37 +0200", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Thu, 01-Jan-70 00:00:00 GMT", "Thu, 01 Jan 1970 00:00:00 GMT"},
      {"Tue, 29 Feb 2000 23:59:59 GMT", "Tue, 29 Feb 2000 23:59:59 GMT"},
      {"Fri, 31 Dec 1899 12:00:00 GMT", "Sun, 31 Dec 1899 12:00:00 GMT"},  // the weekday word is not trusted
  };
  for (const auto& [text, formatted] : cases) {
    const auto parsed = ParseHttpDate(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(formatted, FormatHttpDate(*parsed)) << text;
  }
  for (const char* bad :
       {"", "0", "-1", "Mon, 29 Feb 1900 00:00:00 GMT", "Sun, 06 Nov 1994", "06 Nov 1994 25:00:00",
        "Sun, 32 Nov 1994 08:49:37 GMT", "Sun, 06 Foo 1994 08:49:37 GMT", "1 2 3 4 5 6 7", "+t", "06 Nov 1994 -t"}) {
    EXPECT_FALSE(ParseHttpDate(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qb
