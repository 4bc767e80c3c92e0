// Implementation details: a "Set-Cookie" value is read in one pass into a TNetCookie
// (RFC 6265 section 5.2), then checked against the request (section 5.3) before anyone
// else sees it. The collection keeps its cookies in a vector in order of creation; a
// replaced cookie keeps its slot, so that order is also the order of equal-path cookies
// in the Cookie header (section 5.4). Every time comes from the manager's clock, so tests
// fix it.
#include "http/cookie_manager.h"

#include <algorithm>
#include <mutex>

#include "support/strings.h"

namespace qb {
namespace {

constexpr auto npos = std::string_view::npos;

bool IsHttpProtocol(std::string_view protocol) {
  return SameTextAscii(protocol, "http") || SameTextAscii(protocol, "https");
}

// Control characters other than tab would let a value break the Cookie header line that
// carries it back to the server.
bool HasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c != '\t' && IsControlByte(c); });
}

// A value that begins with a double quote ends before the next one (or at the end).
// No backslash escapes, unlike a header's quoted-string: a cookie value has none (RFC 6265).
std::string_view Unquote(std::string_view value) {
  if (value.empty() || value.front() != '"') return value;
  value.remove_prefix(1);
  return value.substr(0, value.find('"'));
}

// Decimal seconds with an optional "-" (RFC 6265 section 5.2.2). Values too large for
// any cookie time are held at a bound far past both ends of the range.
std::optional<std::int64_t> ReadSeconds(std::string_view text) {
  constexpr std::int64_t kLimit = std::int64_t{1} << 50;
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(kLimit, value * 10 + (c - '0'));
  }
  return negative ? -value : value;
}

TNetCookieTime ExpiryAfter(TNetCookieTime now, std::int64_t seconds) {
  return seconds < 0 ? kCookieTimeMin : AddCookieSeconds(now, seconds);
}

// Host names never contain ":", IPv6 literals always do; a host made of digits and dots
// only is an IPv4 address in one of its written forms.
bool IsIPAddress(std::string_view host) {
  if (host.find(':') != npos) return true;
  return !host.empty() &&
         std::all_of(host.begin(), host.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

// RFC 6265 section 5.1.3: equal ignoring case, or a name that ends with "." and the domain.
bool DomainMatches(std::string_view host, std::string_view domain) {
  if (SameTextAscii(host, domain)) return true;
  if (domain.empty() || host.size() <= domain.size() || IsIPAddress(host)) return false;
  const std::size_t dot = host.size() - domain.size() - 1;
  return host[dot] == '.' && SameTextAscii(host.substr(dot + 1), domain);
}

// RFC 6265 section 5.1.4.
bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
  if (requestPath == cookiePath) return true;
  if (cookiePath.empty() || !requestPath.starts_with(cookiePath)) return false;
  return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

// The directory of the request: its path up to, not including, the last "/" unless that
// "/" is the first character; "/" for a path that does not begin with "/".
std::string DefaultPath(const TNetURI& uri) {
  const std::string& path = uri.Path();
  if (path.empty() || path.front() != '/') return "/";
  const std::size_t last = path.rfind('/');
  return last == 0 ? std::string("/") : path.substr(0, last);
}

// The path that cookie paths are matched against: the request target without its query.
std::string RequestPath(const TNetURI& uri) {
  std::string path = uri.Path() + uri.Document();
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  return path;
}

}  // namespace

std::optional<TNetCookie> TNetCookie::ParseServerCookie(std::string_view setCookie, const TNetURI& uri,
                                                        TNetCookieTime now) {
  const std::size_t semicolon = setCookie.find(';');
  const std::string_view pair = setCookie.substr(0, semicolon);
  std::string_view attributes = semicolon == npos ? std::string_view() : setCookie.substr(semicolon + 1);

  const std::size_t equals = pair.find('=');
  if (equals == npos) return std::nullopt;
  TNetCookie cookie;
  cookie.Name = Trim(pair.substr(0, equals));
  cookie.Value = Unquote(Trim(pair.substr(equals + 1)));
  if (cookie.Name.empty() || HasControlCharacters(cookie.Name) || HasControlCharacters(cookie.Value)) {
    return std::nullopt;
  }

  std::optional<TNetCookieTime> maxAge;
  std::optional<TNetCookieTime> expires;
  std::optional<std::string> domain;
  std::optional<std::string> path;
  while (!attributes.empty()) {
    const std::size_t end = attributes.find(';');
    const std::string_view attribute = attributes.substr(0, end);
    attributes = end == npos ? std::string_view() : attributes.substr(end + 1);

    const std::size_t eq = attribute.find('=');
    const std::string_view name = Trim(attribute.substr(0, eq));
    const std::string_view value = eq == npos ? std::string_view() : Unquote(Trim(attribute.substr(eq + 1)));
    if (SameTextAscii(name, "Expires")) {
      if (const auto seconds = ReadSeconds(value)) {
        expires = ExpiryAfter(now, *seconds);
      } else if (const auto date = ParseCookieDate(value)) {
        expires = date;
      }
    } else if (SameTextAscii(name, "Max-Age")) {
      if (const auto seconds = ReadSeconds(value)) maxAge = ExpiryAfter(now, *seconds);
    } else if (SameTextAscii(name, "Domain")) {
      if (value.empty()) continue;
      const std::string_view bare = value.front() == '.' ? value.substr(1) : value;
      // A domain with a port in it names no domain: the cookie stays with its host.
      domain = bare.find(':') == npos ? LowerCaseAscii(bare) : std::string();
    } else if (SameTextAscii(name, "Path")) {
      path = value.empty() || value.front() != '/' ? DefaultPath(uri) : std::string(value);
    } else if (SameTextAscii(name, "Secure")) {
      cookie.Secure = true;
    } else if (SameTextAscii(name, "HttpOnly")) {
      cookie.HttpOnly = true;
    }
  }

  if (maxAge || expires) {
    cookie.Persistent = true;
    cookie.CookieExpires = maxAge ? *maxAge : *expires;
  }

  const std::string host = LowerCaseAscii(uri.Host());
  if (host.empty()) return std::nullopt;  // a cookie belongs to a host
  if (!domain || domain->empty()) {
    cookie.HostOnly = true;
    cookie.Domain = host;
  } else if (DomainMatches(host, *domain)) {
    cookie.Domain = std::move(*domain);
  } else {
    return std::nullopt;
  }
  cookie.Path = path ? std::move(*path) : DefaultPath(uri);

  if (cookie.HttpOnly && !IsHttpProtocol(uri.Protocol())) return std::nullopt;
  cookie.CookieCreated = now;
  cookie.SetCookieLastUsed(now);
  return cookie;
}

bool TNetCookie::IsAllowed(const TNetURI& uri, bool secure) const {
  if (HostOnly ? !SameTextAscii(uri.Host(), Domain) : !DomainMatches(uri.Host(), Domain)) return false;
  if (!PathMatches(RequestPath(uri), Path)) return false;
  if (Secure && !secure) return false;
  return !HttpOnly || IsHttpProtocol(uri.Protocol());
}

bool TNetCookies::AddCookie(TNetCookie cookie, bool fromHttp, TNetCookieTime now) {
  std::unique_lock lock(lock_);
  const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const TNetCookie& stored) {
    return SameTextAscii(stored.Name, cookie.Name) && SameTextAscii(stored.Domain, cookie.Domain) &&
           SameTextAscii(stored.Path, cookie.Path);
  });
  if (same != cookies_.end()) {
    if (!fromHttp && same->HttpOnly) return false;
    cookie.CookieCreated = same->CookieCreated;
    if (cookie.IsExpired(now)) {
      cookies_.erase(same);
      return false;
    }
    *same = std::move(cookie);
    return true;
  }
  if (cookie.IsExpired(now)) return false;
  cookies_.push_back(std::move(cookie));
  return true;
}

void TNetCookies::RemoveExpired(TNetCookieTime now) {
  std::unique_lock lock(lock_);
  std::erase_if(cookies_, [now](const TNetCookie& cookie) { return cookie.IsExpired(now); });
}

std::string TNetCookies::CookieHeaderValue(const TNetURI& uri, bool secure, TNetCookieTime now) {
  RemoveExpired(now);
  std::shared_lock lock(lock_);
  std::vector<TNetCookie*> chosen;
  for (TNetCookie& cookie : cookies_) {
    if (!cookie.IsExpired(now) && cookie.IsAllowed(uri, secure)) chosen.push_back(&cookie);
  }
  // Stable: equal paths and creation times keep the order of the collection.
  std::stable_sort(chosen.begin(), chosen.end(), [](const TNetCookie* a, const TNetCookie* b) {
    if (a->Path.size() != b->Path.size()) return a->Path.size() > b->Path.size();
    return a->CookieCreated < b->CookieCreated;
  });
  std::string header;
  for (TNetCookie* cookie : chosen) {
    cookie->SetCookieLastUsed(now);
    if (!header.empty()) header += "; ";
    header += cookie->Name;
    header += '=';
    header += cookie->Value;
  }
  return header;
}

std::vector<TNetCookie> TNetCookies::Snapshot() const {
  std::shared_lock lock(lock_);
  return cookies_;
}

std::size_t TNetCookies::Count() const {
  std::shared_lock lock(lock_);
  return cookies_.size();
}

void TNetCookies::Clear() {
  std::unique_lock lock(lock_);
  cookies_.clear();
}

TNetCookieManager::TNetCookieManager(TNetCookieClock clock, const TNetCookieCollectionEvent& onCreate)
    : clock_(std::move(clock)) {
  if (onCreate) onCreate(cookies_);
}

TNetCookieManager::~TNetCookieManager() {
  if (!OnDestroy) return;
  try {
    OnDestroy(cookies_);
  } catch (...) {
    // A destructor cannot pass the handler's error on; the collection goes regardless.
  }
}

void TNetCookieManager::AddServerCookies(std::span<const std::string> setCookies, const TNetURI& uri) {
  for (const std::string& setCookie : setCookies) AddServerCookie(setCookie, uri);
}

void TNetCookieManager::AddServerCookie(std::string_view setCookie, const TNetURI& uri) {
  const TNetCookieTime now = Now();
  std::optional<TNetCookie> cookie = TNetCookie::ParseServerCookie(setCookie, uri, now);
  if (!cookie) return;
  bool accept = true;
  if (OnNewCookie) OnNewCookie(*cookie, accept);
  if (accept) cookies_.AddCookie(std::move(*cookie), IsHttpProtocol(uri.Protocol()), now);
}

std::string TNetCookieManager::CookieHeaderFor(const TNetURI& uri, bool secure) {
  return cookies_.CookieHeaderValue(uri, secure, Now());
}

TNetCookieTime TNetCookieManager::Now() const {
  if (clock_) return clock_();
  return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

}  // namespace qb
