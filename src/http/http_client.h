// TNetHTTP: the HTTP client. One request is a loop of passes (a pass prepares the
// target, connects or reuses the connection, sends the head in one flush and the body
// after it, reads the status line and headers and decides what comes next: finish,
// follow a redirect, or send again with authentication). The body of an answer is read
// by the rules of RFC 7230 section 3.3.3: chunked, counted, multipart up to its closing
// delimiter, or until the server closes.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/authentication.h"
#include "http/header_info.h"
#include "http/uri.h"
#include "net/net_set.h"
#include "net/net_ssl_openssl.h"
#include "net/net_tcp_client.h"

namespace qb {

class TNetCookieManager;
class TNetMultiPartFormDataStream;
class TStream;

QB_DECLARE_EXCEPTION(ENetUnknownProtocol, ENetException);
QB_DECLARE_EXCEPTION(ENetIOHandlerPropInvalid, ENetException);

// The bits of HTTPOptions, bit 0 first.
enum TNetHTTPOption {
  hoInProcessAuth,
  hoKeepOrigProtocol,
  hoForceEncodeParams,
  hoNonSSLProxyUseConnectVerb,
  hoNoParseMetaHTTPEquiv,
  hoWaitForUnexpectedData,
  hoTreat302Like303,
  hoNoProtocolErrorException,
  hoNoReadMultipartMIME,
  hoNoParseXmlCharset,
  hoWantProtocolErrorContent,
  hoNoReadChunked
};
using TNetHTTPOptions = TNetSet<TNetHTTPOption>;

// Proxy settings. With a ProxyServer every request goes through that proxy: an http
// request to it with the absolute URL in its request line, an https one through a tunnel
// that a CONNECT request opens to the server, so that TLS runs between the client and the
// server alone (RFC 9110 section 9.3.6). ProxyServer is a host name or an address, an
// IPv6 address without brackets.
struct TNetProxyConnectionInfo {
  std::string ProxyServer;
  std::uint16_t ProxyPort = 0;
  std::string ProxyUsername;
  std::string ProxyPassword;
  // The proxy's credentials go as "Proxy-Authorization: Basic ..." with every request to
  // the proxy (never to the server): the plain requests and the CONNECT requests.
  bool BasicAuthentication = false;
  std::unique_ptr<TNetAuthentication> Authentication;
};

class TNetCustomHTTP;

// Asked before a 3xx answer is followed: may change the location, the redirect count,
// whether to follow (`handled`, preset to HandleRedirects) and the method.
using TNetRedirectEvent = std::function<void(TNetCustomHTTP& sender, std::string& location, int& redirects,
                                             bool& handled, std::string& method)>;
// Told when the headers of a final answer are in; clearing `continueReading` ends the
// request there, without reading the body.
using TNetHeadersAvailableEvent = std::function<void(TNetCustomHTTP& sender, bool& continueReading)>;
// Sees each piece of chunked data before it is stored; may change or empty it. A chunk
// larger than kChunkPieceSize arrives in several pieces.
using TNetChunkReceivedEvent = std::function<void(TNetCustomHTTP& sender, std::string& chunk)>;
// Told when bytes arrived on a kept connection that carried no request (an answer to
// none, or more than the last answer's framing held): the connection is not used again.
using TNetStrayBytesEvent = std::function<void(TNetCustomHTTP& sender)>;

class TNetCustomHTTP : public TNetTCPClientCustom {
 public:
  static constexpr std::size_t kChunkPieceSize = std::size_t{1} << 20;
  static constexpr int kBodyPieceSize = 256 * 1024;
  // Interim (1xx) answers taken before a final one; the next ends the request.
  static constexpr int kMaxInterimAnswers = 10;

  TNetCustomHTTP();
  ~TNetCustomHTTP() override;

  // Sends `body` as a POST to `url` and returns the answer decoded with its charset. The
  // request goes out as HTTP/1.0 unless hoKeepOrigProtocol is set; ProtocolVersion is
  // restored however the request ends.
  std::string PostForm(const std::string& url, TNetMultiPartFormDataStream& body);
  // The same, with the answer's body written to `answer` as it arrives (none:
  // read and discarded), undecoded.
  void PostForm(const std::string& url, TNetMultiPartFormDataStream& body, TStream* answer);

  // Runs one request: `source` is the body (none: no body), `responseStream` receives
  // the answer's body (none: it is discarded). Raises ENetHTTPProtocolException for an
  // answer that refuses the request (see the step decision in the .cpp). Afterwards the
  // connection stays open only when the last answer allows it (KeepConnection).
  void ExecuteRequest(std::string_view method, std::string_view url, TStream* source, TStream* responseStream);

  // Makes the connection that a request to `url` would go on, from its first step:
  // resolves, connects (through the proxy, for https with its CONNECT tunnel), completes
  // the TLS handshake with the verification that is set, and closes again without
  // sending a request. Raises what such a request would raise on the way.
  void Connect(const std::string& url);

  // Settings.
  TNetHTTPProtocolVersion ProtocolVersion = pv1_1;
  TNetHTTPOptions HTTPOptions{hoForceEncodeParams};
  bool HandleRedirects = false;
  int RedirectMaximum = 15;
  int MaxAuthRetries = 3;
  int HeaderLineLimit = 255;  // 0 or less: no limit
  // At most this many bytes of an answer's body are read (negative: no limit); a longer
  // body is cut there. A cut body (by this limit, AnswerTimeout, ReadTimeout, a trailer
  // beyond the header's bounds or a chunk size that is no number) closes the connection,
  // and the answer's status decides the request as it would for the whole body.
  std::int64_t BodyByteLimit = -1;
  // Milliseconds for the whole answer that is read (interim answers, the head and as
  // much of the body as BodyByteLimit lets in), however slowly it arrives; 0 or less: no
  // limit. It starts when the request has left the machine (where the system can tell;
  // elsewhere when its last write returns). Running out before the end of the head
  // raises ENetReadTimeout "Read timed out."; in the body it cuts the body there. Where
  // ReadTimeout is not set, it also bounds how long bytes of the request may stop
  // leaving the machine (the socket error 10060).
  int AnswerTimeout = 0;
  bool AllowCookies = true;
  TNetProxyConnectionInfo ProxyParams;

  // The cookie store: created at the first answer while cookies are allowed, or set by
  // the caller (several clients may share one).
  TNetCookieManager* CookieManager() const { return cookieManager_.get(); }
  void SetCookieManager(std::shared_ptr<TNetCookieManager> manager) { cookieManager_ = std::move(manager); }

  TNetHTTPRequest Request;
  TNetHTTPResponse Response;

  // Events (none are set by the upload).
  TNetRedirectEvent OnRedirect;
  TNetHeadersAvailableEvent OnHeadersAvailable;
  TNetAuthEvents ServerAuthEvents;  // OnSelectAuthorization, OnAuthorization
  TNetAuthEvents ProxyAuthEvents;   // OnSelectProxyAuthorization, OnProxyAuthorization
  TNetChunkReceivedEvent OnChunkReceived;
  TNetStrayBytesEvent OnStrayBytes;

  // Per-request state, reset at the start of every request.
  int RedirectsDone = 0;
  int AuthAttempts = 0;
  int ProxyAuthAttempts = 0;
  // The target of the current request, kept across the passes of its loop.
  const TNetURI& URL() const { return url_; }

 private:
  enum class Step { Finish, FollowLocation, RetryWithAuth };
  enum class BodyKind { None, Chunked, Counted, Multipart, UntilClose };

  void PrepareRequest();
  void ConnectAndSend();
  // The connection of the pass: the open one when it may serve, else a new one.
  void OpenRequestConnection();
  // Through the proxy just connected: asks it for a tunnel to the server (`end`: by then,
  // as ConnectTimeout says). An answer other than 2xx raises ENetHTTPProtocolException.
  void OpenTunnel(const TNetIOHandler::Deadline& end);
  std::string ProxyAuthorization();
  // Whether the kept connection can carry the next request; `stray`: bytes arrived on it.
  bool KeptConnectionUsable(bool& stray);
  // Whether `error` ended a pass on a reused connection before any byte of an answer came.
  bool LostBeforeAnswer(const ENetException& error) const;
  void SendRequestHead();
  void SendBody(TStream& body, std::int64_t length);
  // Bytes arrived while the request was still going out: reads the head they begin. An
  // interim answer asks for nothing (true: the request goes on); a final one is an early
  // answer (false), whose head is then in Response.
  bool ReadArrivedHead();
  // In a handler of a failed send: keeps a status line that had arrived, else rethrows.
  void KeepEarlyAnswer();
  // The head of an answer that came before the whole request had gone out; a 2xx there
  // is no delivery and raises.
  void ReadEarlyAnswerHead();
  // Counts an interim answer of the pass; one too many raises.
  void CountInterimAnswer();
  // The end of an answer's time (AnswerTimeout) that starts now; none without a limit.
  TNetIOHandler::Deadline AnswerDeadline() const;
  // One line of the head (status, header, chunk size); a time-out raises ENetReadTimeout.
  std::string ReadHeadLine();
  // The answer to the request just sent, read within AnswerTimeout: its head, then the
  // step it calls for (which reads its body).
  Step ReadAnswer();
  // `cookies`: whether the answer's cookies are stored (a proxy's answer to CONNECT is
  // none of the server's).
  void ReadResponseHead(bool cookies = true);
  void ReadStatusAndHeaders(bool cookies);
  void StoreCookies();
  Step DecideNextStep();
  Step DecideRedirect();
  void ProtocolError();
  void UpdateKeepConnection();
  void FinishConnection();
  void ForgetStreams();

  // Body reading (http_client_body.cpp).
  void ReadBody(TStream* stream);
  // Reads the body; a limit or unreadable framing cuts it there (CutBody).
  void ReadBodyWithinLimits(TStream* stream, BodyKind kind);
  void CutBody();
  BodyKind BodyKindOfResponse() const;
  bool DataArrivesWithin(int milliseconds);
  void ReadBodyBytes(TStream* stream, BodyKind kind);
  void ReadChunked(TStream* stream);
  void ReadChunkToEvent(TStream* stream, std::int64_t count);
  void ApplyBodyCharset(std::string_view body);
  bool WantsBodyCharset() const;

  bool IsHttps() const;
  // Whether the request is a HEAD (by its method or by MethodOverride).
  bool IsHeadRequest() const;
  TNetSSLIOHandlerSocketBase* TlsHandler() const;
  std::string FullUrl() const;
  void Disconnect() { CloseConnection(); }

  TNetURI url_;
  std::shared_ptr<TNetCookieManager> cookieManager_;
  bool haveConnectionKind_ = false;
  std::string tunnelTarget_;       // "host:port" of the server the open tunnel leads to
  bool upgraded_ = false;          // a 101 answer keeps the connection whatever it says
  bool bodyCutShort_ = false;      // the server answered before the whole request had gone out
  bool earlyHeadRead_ = false;     // and that answer's head has been read already
  std::exception_ptr sendError_;   // the send's own error, when it failed
  int interimAnswers_ = 0;         // of the current pass
  bool reusedConnection_ = false;  // the pass went on a connection kept from before
  std::int64_t answerStart_ = 0;   // the connection's received bytes when the pass began
};

class TNetHTTP : public TNetCustomHTTP {};

}  // namespace qb
