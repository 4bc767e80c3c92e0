// The header sets of an HTTP exchange. TNetEntityHeaderInfo holds the fields that a
// request and a response share; TNetRequestHeaderInfo and TNetResponseHeaderInfo add
// their own; TNetHTTPRequest and TNetHTTPResponse add the state of one exchange.
//
// The HTTP client uses them in two directions:
//  - send: set the fields, call SetHeaders() to build RawHeaders in wire order, append
//    the lines only it knows (proxy authorization, cookies), then write the request line,
//    RawHeaders.WireText() and an empty line;
//  - receive: SetStatusLine(), Clear(), fill RawHeaders with the lines read, then
//    ProcessHeaders() to read the fields back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/header_list.h"
#include "net/net_exception.h"

namespace qb {

class TStream;
class TNetAuthentication;

enum TNetHTTPProtocolVersion { pv1_0, pv1_1 };

// How the client reaches its target: straight to the server in plain TCP or TLS, or
// through a proxy: asking it in plain TCP, or over TLS through a tunnel it opens.
enum TNetHTTPConnectionKind { ckDirectPlain, ckDirectTLS, ckProxyPlain, ckProxyTLS };

// Header lines found in the meta elements of an HTML body.
class TNetMetaHTTPEquiv : public TNetHeaderList {
 public:
  // Replaces the list with the meta headers of `html`; returns the charset they name.
  std::string ProcessMetaHTTPEquiv(std::string_view html);
};

class TNetEntityHeaderInfo {
 public:
  TNetEntityHeaderInfo() = default;
  TNetEntityHeaderInfo(const TNetEntityHeaderInfo&) = delete;
  TNetEntityHeaderInfo& operator=(const TNetEntityHeaderInfo&) = delete;
  virtual ~TNetEntityHeaderInfo();

  // Every field back to its default, RawHeaders and CustomHeaders emptied.
  virtual void Clear();
  // RawHeaders := the header lines of the fields, in the order they go on the wire.
  virtual void SetHeaders();
  // The fields := what RawHeaders says.
  virtual void ProcessHeaders();

  // Sets ContentType, moving a "charset" parameter of `value` into CharSet.
  void SetContentType(std::string_view value);
  bool HasContentLength() const { return ContentLength >= 0; }

  std::string CacheControl;
  std::string CharSet;
  std::string Connection;
  std::string ContentDisposition;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::int64_t ContentLength = -1;  // -1: no header
  std::string ContentRange;
  std::string ContentType;
  std::string ContentVersion;
  std::string ETag;
  std::string Pragma;
  std::string TransferEncoding;
  // Date-times in UTC (see http_date.h); 0: no header.
  double Date = 0;
  double Expires = 0;
  double LastModified = 0;
  TNetHeaderList CustomHeaders;
  TNetHeaderList RawHeaders;

 protected:
  void ClearEntity();
  void SetEntityHeaders();
  void ProcessEntityHeaders();
};

class TNetRequestHeaderInfo : public TNetEntityHeaderInfo {
 public:
  static constexpr const char* kDefaultAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
  static constexpr const char* kDefaultUserAgent = "Mozilla/3.0 (compatible; Quobrina)";

  TNetRequestHeaderInfo();
  ~TNetRequestHeaderInfo() override;

  void Clear() override;
  // The entity lines, then Proxy-Connection ... If-Modified-Since, Authorization and
  // X-HTTP-Method-Override. Authorization is the value of AuthHandler; without one, and
  // with BasicAuthentication, a Basic handler is created here, kept in AuthHandler and
  // given Username and Password.
  void SetHeaders() override;

  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string From;
  std::string Host;
  std::string MethodOverride;
  std::string ProxyConnection;
  std::string Range;
  std::string Referer;
  std::string UserAgent;
  bool BasicAuthentication = false;
  std::string Username;
  std::string Password;
  std::unique_ptr<TNetAuthentication> AuthHandler;

 private:
  void ClearRequest();
};

class TNetResponseHeaderInfo : public TNetEntityHeaderInfo {
 public:
  void Clear() override;
  void ProcessHeaders() override;

  std::string AcceptPatch;
  std::string AcceptRanges;
  std::string Location;
  std::string ProxyConnection;
  std::string Server;
  std::vector<std::string> WWWAuthenticate;    // every "WWW-Authenticate" value, in order
  std::vector<std::string> ProxyAuthenticate;  // every "Proxy-Authenticate" value

 private:
  void ClearResponse();
};

class TNetHTTPRequest : public TNetRequestHeaderInfo {
 public:
  // Gives AuthHandler the method and target before the Authorization value is made.
  void SetHeaders() override;

  std::string TargetUrl;
  std::string RequestMethod;
  TStream* UploadStream = nullptr;  // the body, owned by the caller; none without one
  TNetHTTPConnectionKind ConnectionKind = ckDirectPlain;
  std::string Destination;  // "host:port" of the last connection target
};

class TNetHTTPResponse : public TNetResponseHeaderInfo {
 public:
  void Clear() override;

  // A new status line: StatusCode is computed again on its next use.
  void SetStatusLine(std::string line);
  const std::string& StatusLine() const { return statusLine_; }
  // The number after the first blank, cut at its first "."; -1 when that is no number.
  int StatusCode() const;
  // pv1_1 when characters 6 to 8 of the status line are "1.1".
  TNetHTTPProtocolVersion StatusVersion() const { return statusVersion_; }

  // Reads the meta http-equiv elements of an HTML body into MetaHTTPEquiv, adds those
  // whose names the server did not send to RawHeaders, and takes their charset when
  // the server's Content-Type named none.
  void ApplyMetaHTTPEquiv(std::string_view html);
  // CharSet := the encoding an XML body declares ("UTF-8" when none).
  void ApplyXmlCharset(std::string_view body);

  bool KeepConnection = false;
  TStream* BodyStream = nullptr;  // receives the body, owned by the caller
  TNetMetaHTTPEquiv MetaHTTPEquiv;

 private:
  std::string statusLine_;
  mutable std::optional<int> statusCode_;
  TNetHTTPProtocolVersion statusVersion_ = pv1_1;
};

// The Host header value: the host, in "[" "]" for an IPv6 address of an IPv6 URL, then
// ":" and the port unless it is the protocol's default ("80" for http, "443" for https,
// port texts compared exactly so "0443" is written).
std::string FormatHostHeader(std::string_view host, std::string_view port, std::string_view protocol, bool ipv6);

// Whether the connection stays open after `response`. `connected` is the transport's
// answer after it has looked for a close by the peer; `version` the client's
// ProtocolVersion for the exchange. The lower of it and the answer's version decides:
// HTTP/1.1 keeps unless "close" is said, HTTP/1.0 only when "keep-alive" is. Both are
// options of the Connection list, and through a plain proxy of Proxy-Connection too,
// where "close" in either wins. An answer with both a length and a transfer coding is
// not kept.
bool EvaluateKeepConnection(bool connected, const TNetHTTPRequest& request, const TNetHTTPResponse& response,
                            TNetHTTPProtocolVersion version, bool viaProxy);

QB_DECLARE_EXCEPTION(ENetReplyRFCError, ENetException);

// An answer that ends the request: the message is the whole status line as received.
class ENetHTTPProtocolException : public ENetReplyRFCError {
 public:
  ENetHTTPProtocolException(std::string statusLine, int replyCode, std::string replyBody)
      : ENetReplyRFCError(std::move(statusLine)), replyCode_(replyCode), replyBody_(std::move(replyBody)) {}
  const char* ClassName() const noexcept override { return "ENetHTTPProtocolException"; }

  int ReplyCode() const noexcept { return replyCode_; }
  const std::string& ReplyBody() const noexcept { return replyBody_; }

 private:
  int replyCode_;
  std::string replyBody_;
};

// Raises ENetHTTPProtocolException for `response`, whose body bytes are decoded with
// its CharSet.
[[noreturn]] void RaiseHTTPProtocolError(const TNetHTTPResponse& response, std::string_view bodyBytes);

}  // namespace qb
