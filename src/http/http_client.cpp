// Implementation details: one request is a loop of passes over the same client state.
// Each pass rebuilds the target from TargetUrl against the URL of the previous pass (so
// a relative Location resolves), decides whether the open connection can carry it, and
// writes the request line and headers into the connection's send batch, which leaves in
// one flush; the body follows outside the batch, streamed by the transport in pieces, so
// a body of any size is never held in memory. The answer's status decides the next step;
// every answer that refuses the request ends in ENetHTTPProtocolException, so a caller
// that sees a return can rely on a 2xx (or on what it asked for with options and events).
#include "http/http_client.h"

#include <algorithm>
#include <mutex>

#include "http/charset.h"
#include "http/cookie_manager.h"
#include "http/multipart_form_data.h"
#include "net/net_openssl_library.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

// The TCP port of a URL's port text: 80 when the text is no number; a number outside
// 1..65535 becomes 0, which the connect refuses ("A Port is required") instead of
// connecting to the port that a cut-off number would name.
std::uint16_t PortNumber(std::string_view text) {
  const std::optional<std::int32_t> value = TryStrToInt(text);
  if (!value) return 80;
  return *value > 0 && *value <= 65535 ? static_cast<std::uint16_t>(*value) : 0;
}

// The send errors of a connection that the peer closed, reset or aborted.
bool IsConnectionLoss(int error) {
  return error == platform::kSocketErrorConnectionReset || error == platform::kSocketErrorConnectionAborted ||
         error == platform::kSocketErrorShutdown;
}

bool ContainsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// NTLM handlers need the crypto library; the client installs the check that loads it.
void CheckCryptoLibrary() {
  if (!ossl::LoadOpenSSL()) throw ENetOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
}

}  // namespace

TNetCustomHTTP::TNetCustomHTTP() {
  static std::once_flag installed;
  std::call_once(installed, [] { SetCryptoLibraryCheck(&CheckCryptoLibrary); });
}

TNetCustomHTTP::~TNetCustomHTTP() = default;

// --- PostForm and the request loop -----------------------------------------------------

std::string TNetCustomHTTP::PostForm(const std::string& url, TNetMultiPartFormDataStream& body) {
  TMemoryStream answer;
  PostForm(url, body, &answer);
  return DecodeCharsetText(std::string_view(answer.Data(), static_cast<std::size_t>(answer.GetSize())),
                           Response.CharSet);
}

void TNetCustomHTTP::PostForm(const std::string& url, TNetMultiPartFormDataStream& body, TStream* answer) {
  Request.SetContentType(body.MultipartContentType());
  const TNetHTTPProtocolVersion saved = ProtocolVersion;
  try {
    if (!HTTPOptions.Contains(hoKeepOrigProtocol)) {
      if (IsConnected()) Disconnect();
      ProtocolVersion = pv1_0;
    }
    ExecuteRequest("POST", url, &body, answer);
  } catch (...) {
    ForgetStreams();
    ProtocolVersion = saved;
    throw;
  }
  ForgetStreams();
  ProtocolVersion = saved;
}

void TNetCustomHTTP::ExecuteRequest(std::string_view method, std::string_view url, TStream* source,
                                    TStream* responseStream) {
  RedirectsDone = 0;
  AuthAttempts = 0;
  ProxyAuthAttempts = 0;
  const std::int64_t start = responseStream ? responseStream->GetPosition() : 0;
  const std::string firstUrl(url);
  Request.TargetUrl = firstUrl;
  Request.RequestMethod = method;
  Request.UploadStream = source;
  Response.BodyStream = responseStream;
  upgraded_ = false;
  bool repeated = false;
  try {
    for (;;) {
      const std::string passTarget = Request.TargetUrl;  // PrepareRequest rewrites it
      PrepareRequest();
      if (TNetSSLIOHandlerSocketBase* tls = TlsHandler()) tls->TargetUri = FullUrl();
      Step step = Step::Finish;
      try {
        ConnectAndSend();
        step = ReadAnswer();
      } catch (const ENetException& e) {
        // A kept connection that the server closed as this request began (its idle time
        // ran out meanwhile) brings not one byte of an answer: the pass goes once more, on
        // a new connection. A server that may have taken the request gets it twice at
        // worst; any other failure is the request's.
        if (repeated || !LostBeforeAnswer(e)) throw;
        repeated = true;
        Response.KeepConnection = false;
        Disconnect();
        Request.TargetUrl = passTarget;
        continue;
      }
      if (step == Step::Finish) break;
      UpdateKeepConnection();
      if (step == Step::RetryWithAuth) {
        Request.TargetUrl = firstUrl;
      } else {
        if (responseStream) {
          responseStream->SetPosition(start);
          try {
            responseStream->SetSize(start);
          } catch (const EStreamError&) {
          }
        }
        AuthAttempts = 0;
        ProxyAuthAttempts = 0;
      }
    }
  } catch (const ENetHTTPProtocolException&) {
    // The answer was read whole, so the connection may serve again; the refusal is what
    // the caller must see, whatever checking the connection raises.
    try {
      FinishConnection();
    } catch (const Exception&) {
      Response.KeepConnection = false;
      Disconnect();
    }
    throw;
  } catch (...) {
    // A pass broken off in the middle leaves the connection in an unknown state.
    Response.KeepConnection = false;
    Disconnect();
    throw;
  }
  FinishConnection();
}

// The answer stream of PostForm is its own, and the caller frees the body when it likes.
void TNetCustomHTTP::ForgetStreams() {
  Request.UploadStream = nullptr;
  Response.BodyStream = nullptr;
}

void TNetCustomHTTP::FinishConnection() {
  if (!upgraded_) UpdateKeepConnection();
  // A body cut short leaves the server's reading of the request where it stopped.
  if (bodyCutShort_) Response.KeepConnection = false;
  if (!Response.KeepConnection) Disconnect();
}

void TNetCustomHTTP::UpdateKeepConnection() {
  // Only a plain proxy answers for itself; through a tunnel the server does.
  Response.KeepConnection = qb::EvaluateKeepConnection(IsConnected(), Request, Response, ProtocolVersion,
                                                       Request.ConnectionKind == ckProxyPlain);
}

// --- Preparing the target --------------------------------------------------------------

void TNetCustomHTTP::PrepareRequest() {
  const TNetURI parsed(Request.TargetUrl);
  if (!parsed.Username().empty()) {
    Request.Username = parsed.Username();
    Request.Password = parsed.Password();
  }
  url_.SetUsername(Request.Username);
  url_.SetPassword(Request.Password);
  url_.SetPath(TNetURI::MergePaths(url_.Path(), parsed.Path()));
  url_.SetDocument(parsed.Document());
  url_.SetParams(parsed.Params());
  if (!parsed.Host().empty()) {
    url_.SetHost(parsed.Host());
    url_.SetIPVersion(parsed.IPVersion());  // a relative location keeps the host's version
  }
  if (!parsed.Protocol().empty()) {
    url_.SetProtocol(parsed.Protocol());
  } else {
    url_.SetProtocol(SameTextAscii(url_.Protocol(), "https") ? "https" : "http");
  }
  if (!parsed.Port().empty()) {
    url_.SetPort(parsed.Port());
  } else if (SameTextAscii(parsed.Protocol(), "http")) {
    url_.SetPort("80");
  } else if (SameTextAscii(parsed.Protocol(), "https")) {
    url_.SetPort("443");
  } else if (url_.Port().empty()) {
    throw ENetUnknownProtocol("Unknown Protocol");
  }

  Request.Host = FormatHostHeader(url_.Host(), url_.Port(), url_.Protocol(), url_.IPVersion() == Net_IPv6);
  if (SameTextAscii(Request.RequestMethod, "OPTIONS") && parsed.Document() == "*") {
    Request.TargetUrl = "*";
  } else if (!ProxyParams.ProxyServer.empty() && !IsHttps()) {
    // A proxy is asked in the absolute form (RFC 9112 section 3.2.2), always for plain
    // HTTP, whatever other scheme the URL names: what a direct request would reach.
    Request.TargetUrl = "http://" + Request.Host + url_.WirePathAndParams();
  } else {
    Request.TargetUrl = url_.WirePathAndParams();
  }
  // A line break in the method or the target would end the request line early and let
  // the rest of the URL pass for headers of its own.
  if (ContainsLineBreak(Request.RequestMethod) || ContainsLineBreak(Request.TargetUrl)) {
    throw ENetException("Request line contains a line break");
  }

  static constexpr std::string_view kNeedHttp11[] = {"TRACE", "PUT", "OPTIONS", "DELETE", "PATCH"};
  for (const std::string_view name : kNeedHttp11) {
    if (SameTextAscii(Request.RequestMethod, name) && ProtocolVersion != pv1_1) {
      throw ENetException("Request method requires HTTP version 1.1");
    }
  }

  if (Request.UploadStream) {
    Request.ContentLength = Request.UploadStream->GetSize();
  } else if (SameTextAscii(Request.RequestMethod, "POST") || SameTextAscii(Request.RequestMethod, "PUT")) {
    Request.ContentLength = 0;
  } else {
    Request.ContentLength = -1;
  }
}

// --- Connecting and sending ------------------------------------------------------------

void TNetCustomHTTP::Connect(const std::string& url) {
  Request.TargetUrl = url;
  Request.RequestMethod = "POST";
  Request.UploadStream = nullptr;
  Response.KeepConnection = false;  // a new connection, tested from its first step
  try {
    PrepareRequest();
    OpenRequestConnection();
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
}

void TNetCustomHTTP::ConnectAndSend() {
  OpenRequestConnection();
  answerStart_ = IOHandler()->ReceivedByteCount();
  bodyCutShort_ = false;
  earlyHeadRead_ = false;
  sendError_ = nullptr;
  interimAnswers_ = 0;
  // Bytes of the request that stop leaving the machine are bounded by ReadTimeout, and
  // where that is not set by AnswerTimeout.
  IOHandler()->SendTimeout = IOHandler()->ReadTimeout > 0 ? 0 : std::max(AnswerTimeout, 0);
  try {
    SendRequestHead();
    if (Request.UploadStream) SendBody(*Request.UploadStream, Request.ContentLength);
  } catch (const ENetConnClosedGracefully&) {
    KeepEarlyAnswer();
  } catch (const ENetSocketError& e) {
    if (!IsConnectionLoss(e.LastError())) throw;
    KeepEarlyAnswer();
  }
}

void TNetCustomHTTP::OpenRequestConnection() {
  // Bytes left after the last answer's framing belong to no request.
  const bool strayBytes = IOHandler() && !IOHandler()->ReceiveBuffer().Empty();
  if (IOHandler()) IOHandler()->ClearReceiveBuffer();

  // The connection goes to the server, or to the proxy; through a proxy an https request
  // needs a tunnel of its own to its server.
  const bool viaProxy = !ProxyParams.ProxyServer.empty();
  const bool tls = IsHttps();
  const TNetHTTPConnectionKind kind =
      viaProxy ? (tls ? ckProxyTLS : ckProxyPlain) : (tls ? ckDirectTLS : ckDirectPlain);
  const std::string host = viaProxy ? ProxyParams.ProxyServer : url_.Host();
  const std::uint16_t port = viaProxy ? ProxyParams.ProxyPort : PortNumber(url_.Port());
  const TNetIPVersion ipVersion =
      viaProxy ? (host.find(':') != std::string::npos ? Net_IPv6 : Net_IPv4) : url_.IPVersion();
  std::string tunnel;
  if (kind == ckProxyTLS) {
    const std::uint16_t serverPort = PortNumber(url_.Port());
    if (serverPort == 0) throw ENetPortRequired("A Port is required");
    tunnel = FormatHostHeader(url_.Host(), std::to_string(serverPort), {}, url_.IPVersion() == Net_IPv6);
  }
  const bool sameTarget = SameTextAscii(host, Host) && port == Port && IPVersion == ipVersion &&
                          (!haveConnectionKind_ || kind == Request.ConnectionKind) && tunnel == tunnelTarget_;
  Request.ConnectionKind = kind;
  haveConnectionKind_ = true;
  Host = host;
  Port = port;
  Request.Destination = Host + ":" + std::to_string(port);

  if (ProtocolVersion == pv1_0 && Request.Connection.empty()) Request.Connection = "keep-alive";
  if (!Request.AcceptEncoding.empty() && LowerCaseAscii(Request.AcceptEncoding).find("identity") == std::string::npos) {
    Request.AcceptEncoding += ", identity";
  }

  bool stray = strayBytes && Response.KeepConnection;
  reusedConnection_ = sameTarget && !strayBytes && KeptConnectionUsable(stray);
  // A server that sends what no request asked for may answer the next request with it.
  if (stray && OnStrayBytes) OnStrayBytes(*this);
  if (!reusedConnection_) {
    Disconnect();
    if (IOHandler()) IOHandler()->ClearReceiveBuffer();
    IPVersion = ipVersion;
    tunnelTarget_ = tunnel;
    if (tls) {
      if (!IOHandler()) SetIOHandler(std::make_unique<TNetSSLIOHandlerSocketOpenSSL>());
      TNetSSLIOHandlerSocketBase* handler = TlsHandler();
      if (!handler) throw ENetIOHandlerPropInvalid("IOHandler value is not valid");
      // The server's URL: its host is the name the handshake sends and verification
      // checks, also through a tunnel.
      handler->TargetUri = FullUrl();
      handler->SetClearTextMode(false);
    } else if (TNetSSLIOHandlerSocketBase* handler = TlsHandler()) {
      handler->SetClearTextMode(true);
      handler->TargetUri = FullUrl();
    }
    if (TNetSSLIOHandlerSocketBase* handler = TlsHandler()) {
      handler->TunnelTarget = tunnel;
      handler->OpenTunnel = nullptr;
      if (kind == ckProxyTLS) handler->OpenTunnel = [this](const TNetIOHandler::Deadline& end) { OpenTunnel(end); };
    }
    try {
      OpenConnection();
    } catch (const ENetSSLProtocolReplyError&) {
      Disconnect();
      throw;
    }
  }
}

// The connection carries the next request only when the last answer allowed it, the
// server has not closed it since, and nothing arrived on it meanwhile: what an idle
// connection receives is no answer to a request yet to be sent. A connection that fails
// while idle is simply not used again.
bool TNetCustomHTTP::KeptConnectionUsable(bool& stray) {
  if (!Response.KeepConnection || !IOHandler()) return false;
  try {
    const bool connected = IsConnected();
    stray = stray || !IOHandler()->ReceiveBuffer().Empty();
    return connected && !stray;
  } catch (const ENetException&) {
    return false;
  }
}

bool TNetCustomHTTP::LostBeforeAnswer(const ENetException& error) const {
  if (!reusedConnection_ || !IOHandler() || IOHandler()->ReceivedByteCount() != answerStart_) return false;
  if (dynamic_cast<const ENetConnClosedGracefully*>(&error)) return true;
  const auto* socketError = dynamic_cast<const ENetSocketError*>(&error);
  return socketError && IsConnectionLoss(socketError->LastError());
}

// A server may refuse a request before it has read the body (wrong credentials, a body
// too large) and close at once, so that the send fails. When its status line had
// arrived, that answer is what the request ends with; otherwise the send's error stands.
void TNetCustomHTTP::KeepEarlyAnswer() {
  TNetIOHandler& io = *IOHandler();
  const std::string_view buffered = io.ReceiveBuffer().View();
  if (!buffered.starts_with("HTTP/") || buffered.find('\n') == std::string_view::npos) {
    io.ClearReceiveBuffer();
    throw;
  }
  sendError_ = std::current_exception();
  bodyCutShort_ = true;
}

bool TNetCustomHTTP::ReadArrivedHead() {
  // Within the answer's time, counted from now: the request has not reached the server.
  const TNetReadDeadlineScope scope(*IOHandler(), AnswerDeadline());
  ReadStatusAndHeaders(true);
  const int code = Response.StatusCode();
  if (code >= 100 && code <= 199 && code != 101) {
    CountInterimAnswer();
    return true;
  }
  earlyHeadRead_ = true;
  return false;
}

void TNetCustomHTTP::ReadEarlyAnswerHead() {
  if (!earlyHeadRead_) {
    try {
      ReadResponseHead();
    } catch (const ENetConnClosedGracefully&) {
      if (sendError_) std::rethrow_exception(sendError_);  // only an interim answer had arrived
      throw;
    }
  }
  // The server cannot have taken a file it did not receive whole.
  const int code = Response.StatusCode();
  if ((code >= 200 && code <= 299) || code == 101) {
    IOHandler()->ClearReceiveBuffer();
    throw ENetException(Format("Answer \"%s\" arrived before the whole body was sent", Response.StatusLine()));
  }
}

void TNetCustomHTTP::SendBody(TStream& body, std::int64_t length) {
  // Exactly the announced length, from the start: asking the body for its size once more
  // would measure a file that grew since the Content-Length line and send more than it.
  body.SetPosition(0);
  if (length <= 0) return;
  // The body goes out in pieces of at least kBodyPieceSize: an upload of gigabytes then
  // needs a fraction of the system calls that the transport's default piece would cost.
  TNetIOHandler& io = *IOHandler();
  const int saved = io.SendBufferSize;
  io.SendBufferSize = std::max(saved, kBodyPieceSize);
  bool whole;
  try {
    // An answer may come before the end (a refusal, an interim answer, or a server that
    // answers without reading): it is looked for before every piece and while a send
    // waits, and a final one ends the sending there.
    whole = io.SendStream(body, length, [this] { return ReadArrivedHead(); });
  } catch (...) {
    io.SendBufferSize = saved;
    throw;
  }
  io.SendBufferSize = saved;
  if (!whole) bodyCutShort_ = true;
}

void TNetCustomHTTP::SendRequestHead() {
  // HTTP/1.0 keeps a connection only when asked to, and a proxy reads Proxy-Connection
  // for the connection to itself, as servers read Connection.
  const bool toProxy = Request.ConnectionKind == ckProxyPlain;
  const bool askProxyToKeep = toProxy && ProtocolVersion == pv1_0 && Request.ProxyConnection.empty() &&
                              !SameTextAscii(Trim(Request.Connection), "close");
  if (askProxyToKeep) Request.ProxyConnection = "keep-alive";
  Request.SetHeaders();
  if (askProxyToKeep) Request.ProxyConnection.clear();
  if (toProxy) {
    if (const std::string value = ProxyAuthorization(); !value.empty()) {
      Request.RawHeaders.AddValue("Proxy-Authorization", value);
    }
  }
  if (AllowCookies && cookieManager_) {
    const std::string cookies = cookieManager_->CookieHeaderFor(url_, SameTextAscii(url_.Protocol(), "https"));
    if (!cookies.empty()) Request.RawHeaders.AddValue("Cookie", cookies);
  }
  std::string head = Request.RequestMethod;
  head += ' ';
  head += Request.TargetUrl;
  head += ProtocolVersion == pv1_0 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
  head += Request.RawHeaders.WireText();
  head += "\r\n";

  TNetIOHandler& io = *IOHandler();
  if (!io.SendBatchActive()) io.BeginSendBatch();
  try {
    io.SendText(head);
  } catch (...) {
    io.CancelSendBatch();
    throw;
  }
  io.EndSendBatch();
}

std::string TNetCustomHTTP::ProxyAuthorization() {
  return AuthorizationValue({ProxyParams.Authentication, ProxyParams.ProxyUsername, ProxyParams.ProxyPassword},
                            ProxyParams.BasicAuthentication);
}

// HTTP/1.1, as proxies expect CONNECT; the request line and Host name the server, and
// only the proxy's credentials go with it. The proxy's answer is read as a server's is,
// and one that refuses the tunnel (407, 403, ...) ends the request with its status line
// and what the limits let in of its body. A 2xx has no body: the tunnel starts after it.
void TNetCustomHTTP::OpenTunnel(const TNetIOHandler::Deadline& end) {
  TNetIOHandler& io = *IOHandler();
  TNetHeaderList headers;
  headers.AddValue("Host", tunnelTarget_);
  if (!Request.UserAgent.empty()) headers.AddValue("User-Agent", Request.UserAgent);
  if (const std::string value = ProxyAuthorization(); !value.empty()) {
    headers.AddValue("Proxy-Authorization", value);
  }
  const TNetReadDeadlineScope deadline(io, end);
  interimAnswers_ = 0;
  try {
    io.SendText("CONNECT " + tunnelTarget_ + " HTTP/1.1\r\n" + headers.WireText() + "\r\n");
    ReadResponseHead(false);
    const int code = Response.StatusCode();
    if (code < 200 || code > 299) {
      ProtocolError();
      RaiseHTTPProtocolError(Response, {});  // no tunnel, whatever the options say
    }
    // Headers cut short by a close leave no tunnel to speak TLS in.
    if (!io.Opened()) throw ENetConnClosedGracefully("Connection Closed Gracefully.");
  } catch (const ENetReadTimeout&) {
    // Which limit ran out: without ReadTimeout only the connect's deadline bounds the
    // reads, and a wait for the deadline may end a fraction of a millisecond before it.
    if (end && (io.ReadTimeout <= 0 || std::chrono::steady_clock::now() + std::chrono::milliseconds(5) >= *end)) {
      throw ENetConnectTimeout("Connect timed out.");
    }
    throw;
  }
  // Nothing of the server's can come before the handshake starts.
  io.ClearReceiveBuffer();
}

// --- Reading the status line and headers -----------------------------------------------

std::string TNetCustomHTTP::ReadHeadLine() {
  TNetIOHandler& io = *IOHandler();
  if (io.ReadTimeout > 0 || io.ReadDeadline()) {
    // The line is gathered here, so that ReadTimeout bounds each wait for more bytes (not
    // the whole line, however slowly it comes) and the answer's deadline bounds them all.
    // ReadLine then finds it whole, or reports the close or the overlong line itself.
    const TNetBuffer& buffer = io.ReceiveBuffer();
    std::size_t searched = 0;
    while (buffer.IndexOf("\n", searched) == std::string::npos &&
           (io.MaxLineLength <= 0 || buffer.Size() <= static_cast<std::size_t>(io.MaxLineLength))) {
      searched = buffer.Size();
      io.CheckPeerClosed(true, true);
      const int received = io.ReadFromSource(true, io.ReadTimeout > 0 ? io.ReadTimeout : kNetTimeoutInfinite, false);
      if (received < 0) throw ENetReadTimeout("Read timed out.");
      if (received == 0) break;
    }
  }
  std::string line = io.ReadLine();
  if (io.LineTimedOut()) throw ENetReadTimeout("Read timed out.");
  return line;
}

TNetCustomHTTP::Step TNetCustomHTTP::ReadAnswer() {
  TNetIOHandler& io = *IOHandler();
  // The request reaches the server when its last bytes have left the machine: through a
  // slow link the last write returns long before. An answer that comes before then is an
  // early one, however soon after the last write (interim answers aside). Bytes that stop
  // leaving are a write that stalls, bounded as writes are.
  if (!bodyCutShort_) {
    while (io.WaitUntilSent() == TNetSendState::Answered) {
      if (!ReadArrivedHead()) {
        bodyCutShort_ = true;
        break;
      }
    }
  }
  // The answer's time starts then.
  const TNetReadDeadlineScope scope(io, AnswerDeadline());
  if (bodyCutShort_) {
    ReadEarlyAnswerHead();
  } else {
    ReadResponseHead();
  }
  return DecideNextStep();
}

void TNetCustomHTTP::ReadResponseHead(bool cookies) {
  for (;;) {
    ReadStatusAndHeaders(cookies);
    const int code = Response.StatusCode();
    if (code < 100 || code > 199 || code == 101) break;
    CountInterimAnswer();
  }
}

TNetIOHandler::Deadline TNetCustomHTTP::AnswerDeadline() const {
  if (AnswerTimeout <= 0) return std::nullopt;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(AnswerTimeout);
}

// Each interim answer restarts the wait for the next line, so without a count a server
// could hold a request for ever within any ReadTimeout.
void TNetCustomHTTP::CountInterimAnswer() {
  if (++interimAnswers_ <= kMaxInterimAnswers) return;
  Disconnect();
  throw ENetException(
      Format("More than %d interim answers, the last \"%s\"", kMaxInterimAnswers, Response.StatusLine()));
}

void TNetCustomHTTP::ReadStatusAndHeaders(bool cookies) {
  std::string status = ReadHeadLine();
  Response.Clear();
  Response.SetStatusLine(std::move(status));
  for (int count = 0; HeaderLineLimit <= 0 || count < HeaderLineLimit; ++count) {
    std::string line;
    try {
      line = ReadHeadLine();
    } catch (const ENetConnClosedGracefully&) {
      Disconnect();
      break;
    } catch (...) {
      Disconnect();
      throw;
    }
    if (line.empty()) break;
    Response.RawHeaders.Add(std::move(line));
  }
  Response.ProcessHeaders();
  if (cookies) StoreCookies();
}

void TNetCustomHTTP::StoreCookies() {
  if (!AllowCookies) return;
  if (!cookieManager_) cookieManager_ = std::make_shared<TNetCookieManager>();
  std::vector<std::string> values = Response.RawHeaders.AllValues("Set-Cookie");
  for (std::string& value : Response.MetaHTTPEquiv.AllValues("Set-Cookie")) values.push_back(std::move(value));
  if (!values.empty()) cookieManager_->AddServerCookies(values, url_);
}

// --- Deciding the next step ------------------------------------------------------------

TNetCustomHTTP::Step TNetCustomHTTP::DecideNextStep() {
  if (OnHeadersAvailable) {
    bool continueReading = true;
    OnHeadersAvailable(*this, continueReading);
    if (!continueReading) {
      Response.KeepConnection = false;
      Response.Connection = "close";
      return Step::Finish;
    }
  }
  const int code = Response.StatusCode();
  if (code >= 300 && code <= 399 && code != 304) return DecideRedirect();
  if (code == 101) {
    Response.KeepConnection = true;
    upgraded_ = true;
    return Step::Finish;
  }
  const bool inProcessAuth = HTTPOptions.Contains(hoInProcessAuth);
  bool authenticate = false;
  if (code == 401) {
    // A 401 that is not answered with a new request is a refusal: it raises like any
    // other, so a refused upload never passes for a delivered one.
    if (DecideUnauthorized(Request, Response, AuthAttempts, MaxAuthRetries, inProcessAuth, ServerAuthEvents) ==
        TNetAuthDecision::ProtocolError) {
      ProtocolError();
      return Step::Finish;
    }
    authenticate = true;
  } else if (code == 407) {
    if (DecideAuthChallenge({ProxyParams.Authentication, ProxyParams.ProxyUsername, ProxyParams.ProxyPassword},
                            Response.ProxyAuthenticate, ProxyAuthAttempts, MaxAuthRetries, inProcessAuth,
                            ProxyAuthEvents) == TNetAuthDecision::ProtocolError) {
      ProtocolError();
      return Step::Finish;
    }
    authenticate = true;
  } else if (code < 200 || code > 299) {
    ProtocolError();
    return Step::Finish;
  }
  if (authenticate) {
    ReadBody(nullptr);
    return Step::RetryWithAuth;
  }
  ReadBody(IsHeadRequest() || code == 204 ? nullptr : Response.BodyStream);
  return Step::Finish;
}

TNetCustomHTTP::Step TNetCustomHTTP::DecideRedirect() {
  if (Response.Location.empty()) {
    ProtocolError();
    return Step::Finish;
  }
  ++RedirectsDone;
  std::string location = Response.Location;
  std::string method = Request.RequestMethod;
  bool follow = HandleRedirects;
  if (OnRedirect) OnRedirect(*this, location, RedirectsDone, follow, method);
  if (!follow) {
    ProtocolError();
    return Step::Finish;
  }
  Step step = Step::Finish;
  if (HandleRedirects && RedirectsDone < RedirectMaximum) {
    const int code = Response.StatusCode();
    Request.TargetUrl = location;
    if (code == 303 || (code == 302 && HTTPOptions.Contains(hoTreat302Like303))) {
      // RFC 7231 section 6.4.4: the next request is a GET without the body, so the
      // body's Content-Type goes too.
      Request.UploadStream = nullptr;
      Request.RequestMethod = "GET";
      Request.ContentType.clear();
      Request.CharSet.clear();
    } else {
      Request.RequestMethod = method;
    }
    Request.MethodOverride.clear();
    step = Step::FollowLocation;
  } else {
    Response.Location = location;
    if (HandleRedirects) {
      // The redirects ran out before a server took the request: that is no success.
      ProtocolError();
      return Step::Finish;
    }
  }
  if (IsConnected()) ReadBody(nullptr);
  return step;
}

void TNetCustomHTTP::ProtocolError() {
  bool raise = true;
  bool discard = true;
  if (HTTPOptions.Contains(hoNoProtocolErrorException)) {
    raise = false;
    discard = !HTTPOptions.Contains(hoWantProtocolErrorContent);
  }
  TMemoryStream errorBody;
  TStream* target = raise ? &errorBody : discard ? nullptr : Response.BodyStream;
  try {
    ReadBody(target);
  } catch (const ENetConnClosedGracefully&) {
    Disconnect();
  } catch (...) {
    Disconnect();
    throw;
  }
  if (raise) {
    RaiseHTTPProtocolError(Response, std::string_view(errorBody.Data(), static_cast<std::size_t>(errorBody.GetSize())));
  }
}

// --- Helpers ---------------------------------------------------------------------------

bool TNetCustomHTTP::IsHttps() const { return SameTextAscii(url_.Protocol(), "https"); }

bool TNetCustomHTTP::IsHeadRequest() const {
  return SameTextAscii(Request.RequestMethod, "HEAD") || SameTextAscii(Request.MethodOverride, "HEAD");
}

TNetSSLIOHandlerSocketBase* TNetCustomHTTP::TlsHandler() const {
  return dynamic_cast<TNetSSLIOHandlerSocketBase*>(IOHandler());
}

// Raises ENetURIException for a URL without a host, before anything is connected.
std::string TNetCustomHTTP::FullUrl() const { return url_.Compose(); }

}  // namespace qb
