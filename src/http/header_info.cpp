// Implementation details: SetHeaders rebuilds RawHeaders from nothing on every call, so
// the lines always follow the fields' wire order whatever was set before; ProcessHeaders
// reads each field from the first line of its name and leaves the raw lines untouched
// for the client's later uses (cookies, trailers, meta headers).
#include "http/header_info.h"

#include <unordered_set>

#include "http/authentication.h"
#include "http/charset.h"
#include "http/http_date.h"
#include "support/strings.h"

namespace qb {
namespace {

void AddIfSet(TNetHeaderList& headers, std::string_view name, std::string_view value) {
  if (!value.empty()) headers.AddValue(name, value);
}

void AddDateIfSet(TNetHeaderList& headers, std::string_view name, double dateTime) {
  if (dateTime != 0) headers.AddValue(name, FormatHttpDate(dateTime));
}

double DateValue(const TNetHeaderList& headers, std::string_view name) {
  return ParseHttpDate(headers.Value(name)).value_or(0);
}

// A length of decimal digits only: a sign, hexadecimal or a number beyond 64 bits is no
// length at all, and the body is then read by the other rules.
std::int64_t ContentLengthValue(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

// --- entity -----------------------------------------------------------------------------

TNetEntityHeaderInfo::~TNetEntityHeaderInfo() = default;

void TNetEntityHeaderInfo::Clear() { ClearEntity(); }
void TNetEntityHeaderInfo::SetHeaders() { SetEntityHeaders(); }
void TNetEntityHeaderInfo::ProcessHeaders() { ProcessEntityHeaders(); }

void TNetEntityHeaderInfo::ClearEntity() {
  CacheControl.clear();
  CharSet.clear();
  Connection.clear();
  ContentDisposition.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  ContentLength = -1;
  ContentRange.clear();
  ContentType.clear();
  ContentVersion.clear();
  ETag.clear();
  Pragma.clear();
  TransferEncoding.clear();
  Date = 0;
  Expires = 0;
  LastModified = 0;
  CustomHeaders.Clear();
  RawHeaders.Clear();
}

void TNetEntityHeaderInfo::SetContentType(std::string_view value) {
  std::string charset = HeaderParameter(value, "charset");
  if (charset.empty()) {
    ContentType = value;
  } else {
    ContentType = RemoveHeaderParameter(value, "charset");
    CharSet = std::move(charset);
  }
}

void TNetEntityHeaderInfo::SetEntityHeaders() {
  RawHeaders.Clear();
  AddIfSet(RawHeaders, "Connection", Connection);
  AddIfSet(RawHeaders, "Content-Version", ContentVersion);
  AddIfSet(RawHeaders, "Content-Disposition", ContentDisposition);
  AddIfSet(RawHeaders, "Content-Encoding", ContentEncoding);
  AddIfSet(RawHeaders, "Content-Language", ContentLanguage);
  if (!ContentType.empty()) {
    RawHeaders.AddValue("Content-Type", CharSet.empty()
                                            ? ContentType
                                            : RemoveHeaderParameter(ContentType, "charset") + "; charset=" + CharSet);
  }
  if (ContentLength >= 0) RawHeaders.AddValue("Content-Length", std::to_string(ContentLength));
  AddIfSet(RawHeaders, "Cache-control", CacheControl);
  AddDateIfSet(RawHeaders, "Date", Date);
  AddIfSet(RawHeaders, "ETag", ETag);
  AddDateIfSet(RawHeaders, "Expires", Expires);
  AddIfSet(RawHeaders, "Pragma", Pragma);
  AddIfSet(RawHeaders, "Transfer-Encoding", TransferEncoding);
  for (const std::string& line : CustomHeaders.Lines()) RawHeaders.Add(line);
}

void TNetEntityHeaderInfo::ProcessEntityHeaders() {
  const TNetHeaderList& h = RawHeaders;
  CacheControl = h.Value("Cache-control");
  Connection = h.Value("Connection");
  ContentVersion = h.Value("Content-Version");
  ContentDisposition = h.Value("Content-Disposition");
  ContentEncoding = h.Value("Content-Encoding");
  ContentLanguage = h.Value("Content-Language");
  CharSet.clear();
  SetContentType(h.Value("Content-Type"));
  if (CharSet.empty()) CharSet = DefaultCharsetOfMediaType(HeaderMainValue(ContentType));
  ContentLength = ContentLengthValue(h.Value("Content-Length"));
  ContentRange = h.Value("Content-Range");
  Date = DateValue(h, "Date");
  LastModified = DateValue(h, "Last-Modified");
  Expires = DateValue(h, "Expires");
  ETag = h.Value("ETag");
  Pragma = h.Value("Pragma");
  TransferEncoding = h.Value("Transfer-Encoding");
}

// --- request ----------------------------------------------------------------------------

TNetRequestHeaderInfo::TNetRequestHeaderInfo() { ClearRequest(); }
TNetRequestHeaderInfo::~TNetRequestHeaderInfo() = default;

void TNetRequestHeaderInfo::Clear() {
  ClearEntity();
  ClearRequest();
}

void TNetRequestHeaderInfo::ClearRequest() {
  Accept = kDefaultAccept;
  AcceptCharSet.clear();
  AcceptEncoding.clear();
  AcceptLanguage.clear();
  From.clear();
  Host.clear();
  MethodOverride.clear();
  ProxyConnection.clear();
  Range.clear();
  Referer.clear();
  UserAgent = kDefaultUserAgent;
  BasicAuthentication = false;
  Username.clear();
  Password.clear();
  AuthHandler.reset();
}

void TNetRequestHeaderInfo::SetHeaders() {
  SetEntityHeaders();
  AddIfSet(RawHeaders, "Proxy-Connection", ProxyConnection);
  AddIfSet(RawHeaders, "Host", Host);
  AddIfSet(RawHeaders, "Accept", Accept);
  AddIfSet(RawHeaders, "Accept-Charset", AcceptCharSet);
  AddIfSet(RawHeaders, "Accept-Encoding", AcceptEncoding);
  AddIfSet(RawHeaders, "Accept-Language", AcceptLanguage);
  AddIfSet(RawHeaders, "From", From);
  AddIfSet(RawHeaders, "Referer", Referer);
  AddIfSet(RawHeaders, "User-Agent", UserAgent);
  AddIfSet(RawHeaders, "Range", Range);
  AddDateIfSet(RawHeaders, "If-Modified-Since", LastModified);
  AddIfSet(RawHeaders, "Authorization", AuthorizationValue({AuthHandler, Username, Password}, BasicAuthentication));
  AddIfSet(RawHeaders, "X-HTTP-Method-Override", MethodOverride);
}

void TNetHTTPRequest::SetHeaders() {
  if (AuthHandler) AuthHandler->SetRequest(RequestMethod, TargetUrl);
  TNetRequestHeaderInfo::SetHeaders();
}

// --- response ---------------------------------------------------------------------------

void TNetResponseHeaderInfo::Clear() {
  ClearEntity();
  ClearResponse();
}

void TNetResponseHeaderInfo::ClearResponse() {
  AcceptPatch.clear();
  AcceptRanges.clear();
  Location.clear();
  ProxyConnection.clear();
  Server.clear();
  WWWAuthenticate.clear();
  ProxyAuthenticate.clear();
}

void TNetResponseHeaderInfo::ProcessHeaders() {
  ProcessEntityHeaders();
  Location = RawHeaders.Value("Location");
  Server = RawHeaders.Value("Server");
  ProxyConnection = RawHeaders.Value("Proxy-Connection");
  WWWAuthenticate = RawHeaders.AllValues("WWW-Authenticate");
  ProxyAuthenticate = RawHeaders.AllValues("Proxy-Authenticate");
  AcceptPatch = RawHeaders.Value("Accept-Patch");
  AcceptRanges = RawHeaders.Value("Accept-Ranges");
}

void TNetHTTPResponse::Clear() {
  TNetResponseHeaderInfo::Clear();
  MetaHTTPEquiv.Clear();
}

void TNetHTTPResponse::SetStatusLine(std::string line) {
  statusLine_ = std::move(line);
  statusCode_.reset();
  statusVersion_ = statusLine_.size() >= 8 && statusLine_.compare(5, 3, "1.1") == 0 ? pv1_1 : pv1_0;
}

int TNetHTTPResponse::StatusCode() const {
  if (!statusCode_) {
    const std::size_t blank = statusLine_.find(' ');
    std::string_view word =
        blank == std::string::npos ? std::string_view() : Trim(std::string_view(statusLine_).substr(blank + 1));
    word = word.substr(0, word.find(' '));
    word = word.substr(0, word.find('.'));
    // At most nine digits: no status is longer, and the value always fits.
    int code = word.empty() || word.size() > 9 ? -1 : 0;
    for (std::size_t i = 0; code >= 0 && i < word.size(); ++i) {
      code = word[i] >= '0' && word[i] <= '9' ? code * 10 + (word[i] - '0') : -1;
    }
    statusCode_ = code;
  }
  return *statusCode_;
}

std::string TNetMetaHTTPEquiv::ProcessMetaHTTPEquiv(std::string_view html) {
  Clear();
  return ParseMetaHttpEquiv(html, *this);
}

void TNetHTTPResponse::ApplyMetaHTTPEquiv(std::string_view html) {
  const bool serverNamedCharset = !HeaderParameter(RawHeaders.Value("Content-Type"), "charset").empty();
  const std::string charset = MetaHTTPEquiv.ProcessMetaHTTPEquiv(html);
  // A body may hold any number of tags: the names present are looked up in one set, as
  // RawHeaders.Contains compares them (the text before the colon, ignoring ASCII case).
  std::unordered_set<std::string> present;
  const auto nameOf = [](std::string_view line) { return LowerCaseAscii(line.substr(0, line.find(':'))); };
  for (const std::string& line : RawHeaders.Lines()) {
    if (line.find(':') != std::string::npos) present.insert(nameOf(line));
  }
  for (const std::string& line : MetaHTTPEquiv.Lines()) {
    if (present.insert(nameOf(line)).second) RawHeaders.Add(line);
  }
  if (!charset.empty() && !serverNamedCharset) CharSet = charset;
}

void TNetHTTPResponse::ApplyXmlCharset(std::string_view body) { CharSet = DetectXmlCharset(body); }

// --- helpers for the client -----------------------------------------------------------

std::string FormatHostHeader(std::string_view host, std::string_view port, std::string_view protocol, bool ipv6) {
  std::string value;
  if (ipv6 && host.find(':') != std::string_view::npos) {
    value = "[" + std::string(host) + "]";
  } else {
    value = host;
  }
  const bool defaultPort =
      (SameTextAscii(protocol, "http") && port == "80") || (SameTextAscii(protocol, "https") && port == "443");
  if (!port.empty() && !defaultPort) value += ":" + std::string(port);
  return value;
}

namespace {

// Whether a comma-separated list of options (RFC 9110 section 7.6.1) names `option`,
// ignoring case, in any of the header's lines (`field` when the answer has none, as an
// answer built by hand has).
bool ListsOption(const TNetHTTPResponse& response, std::string_view header, std::string_view field,
                 std::string_view option) {
  std::vector<std::string> values = response.RawHeaders.AllValues(header);
  if (values.empty()) values.emplace_back(field);
  for (const std::string& value : values) {
    for (const std::string& item : SplitTrimmed(value, ',')) {
      if (SameTextAscii(item, option)) return true;
    }
  }
  return false;
}

}  // namespace

bool EvaluateKeepConnection(bool connected, const TNetHTTPRequest& request, const TNetHTTPResponse& response,
                            TNetHTTPProtocolVersion version, bool viaProxy) {
  if (!connected || SameTextAscii(Trim(request.Connection), "close")) return false;
  const auto says = [&](std::string_view option) {
    return ListsOption(response, "Connection", response.Connection, option) ||
           (viaProxy && ListsOption(response, "Proxy-Connection", response.ProxyConnection, option));
  };
  // Either side that says it closes does.
  if (says("close")) return false;
  // A length and a transfer coding both: which one the server framed the body by is a
  // guess (RFC 9112 section 6.3), and the next answer would begin where the guess ends.
  if (!response.TransferEncoding.empty() && response.HasContentLength()) return false;
  // The lower of the two versions rules: an HTTP/1.0 answer keeps only on request.
  if (version == pv1_1 && response.StatusVersion() == pv1_1) return true;
  return says("keep-alive");
}

void RaiseHTTPProtocolError(const TNetHTTPResponse& response, std::string_view bodyBytes) {
  throw ENetHTTPProtocolException(response.StatusLine(), response.StatusCode(),
                                  DecodeCharsetText(bodyBytes, response.CharSet));
}

}  // namespace qb
