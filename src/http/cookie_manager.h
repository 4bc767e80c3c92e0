// The cookie store of the HTTP client: TNetCookieManager parses the "Set-Cookie" values
// of each answer into TNetCookie items, keeps them in its TNetCookies collection and
// builds the "Cookie" header of each request (RFC 6265 sections 5.2 to 5.4). Nothing here
// raises: a value that cannot be used is dropped, so storing cookies never makes a
// request fail.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/cookie_date.h"
#include "http/uri.h"

namespace qb {

class TNetCookie {
 public:
  // Parses one "Set-Cookie" value received in answer to a request for `uri` at time
  // `now`. Nothing when the value is not a cookie (no "=", empty name, control
  // characters in name or value), when its domain does not match the request's host,
  // or when it is http-only and the request was neither "http" nor "https".
  static std::optional<TNetCookie> ParseServerCookie(std::string_view setCookie, const TNetURI& uri,
                                                     TNetCookieTime now);

  // Expired at `now`: a cookie whose expiry is now or earlier is no longer in force.
  bool IsExpired(TNetCookieTime now) const { return CookieExpires <= now; }

  // Whether the cookie goes with a request for `uri`: host, path, secure and http-only
  // rules; `secure` tells whether the request is made over TLS.
  bool IsAllowed(const TNetURI& uri, bool secure) const;

  TNetCookieTime CookieLastUsed() const { return TNetCookieTime{lastUsed_.Get()}; }
  void SetCookieLastUsed(TNetCookieTime when) { lastUsed_.Set(when.time_since_epoch()); }

  std::string Name;
  std::string Value;
  std::string Domain;  // lower case; the request's host for a host-only cookie
  std::string Path;
  TNetCookieTime CookieExpires = kCookieTimeMax;
  bool Secure = false;
  bool HttpOnly = false;
  bool HostOnly = false;
  bool Persistent = false;
  TNetCookieTime CookieCreated{};

 private:
  // Readers of the collection set the last use while others read it.
  class AtomicDuration {
   public:
    AtomicDuration() = default;
    AtomicDuration(const AtomicDuration& other) : ms_(other.ms_.load(std::memory_order_relaxed)) {}
    AtomicDuration& operator=(const AtomicDuration& other) {
      ms_.store(other.ms_.load(std::memory_order_relaxed), std::memory_order_relaxed);
      return *this;
    }
    std::chrono::milliseconds Get() const { return std::chrono::milliseconds{ms_.load(std::memory_order_relaxed)}; }
    void Set(std::chrono::milliseconds value) { ms_.store(value.count(), std::memory_order_relaxed); }

   private:
    std::atomic<std::chrono::milliseconds::rep> ms_{0};
  };
  AtomicDuration lastUsed_;
};

// The cookies in force, in order of creation, behind a many-readers, one-writer lock:
// building a Cookie header reads; adding and purging write.
class TNetCookies {
 public:
  TNetCookies() = default;
  TNetCookies(const TNetCookies&) = delete;
  TNetCookies& operator=(const TNetCookies&) = delete;

  // Offers `cookie` to the store at time `now`; `fromHttp` tells whether it came from an
  // "http" or "https" request. A cookie of the same name, domain and path (ignoring case)
  // is replaced and lends the new one its creation time and its place; an expired cookie
  // only removes that one (how a server deletes a cookie). A cookie from another protocol
  // never replaces an http-only one. Returns whether `cookie` was stored.
  bool AddCookie(TNetCookie cookie, bool fromHttp, TNetCookieTime now);

  void RemoveExpired(TNetCookieTime now);

  // Removes the expired cookies, then joins "name=value" of every cookie allowed for
  // `uri` with "; ": longer paths first, equal lengths in order of creation. Marks them
  // used at `now`. Empty when no cookie applies.
  std::string CookieHeaderValue(const TNetURI& uri, bool secure, TNetCookieTime now);

  // Copies of the cookies in force, in order of creation.
  std::vector<TNetCookie> Snapshot() const;
  std::size_t Count() const;
  void Clear();

 private:
  mutable std::shared_mutex lock_;
  std::vector<TNetCookie> cookies_;
};

class TNetCookieManager {
 public:
  using TNetCookieClock = std::function<TNetCookieTime()>;
  // May change the cookie or refuse it by clearing `accept` (set on entry).
  using TNetNewCookieEvent = std::function<void(TNetCookie& cookie, bool& accept)>;
  using TNetCookieCollectionEvent = std::function<void(TNetCookies& cookies)>;

  // `clock` gives the current time in UTC (the system clock when empty). `onCreate` sees
  // the new, empty collection, for example to load saved cookies into it.
  explicit TNetCookieManager(TNetCookieClock clock = {}, const TNetCookieCollectionEvent& onCreate = {});
  ~TNetCookieManager();
  TNetCookieManager(const TNetCookieManager&) = delete;
  TNetCookieManager& operator=(const TNetCookieManager&) = delete;

  // Parses each "Set-Cookie" value, in order, of an answer to a request for `uri`, and
  // offers the cookies to OnNewCookie and the store.
  void AddServerCookies(std::span<const std::string> setCookies, const TNetURI& uri);
  void AddServerCookie(std::string_view setCookie, const TNetURI& uri);

  // The value of the "Cookie" header for a request for `uri`, empty when no cookie
  // applies (then no header is sent). The HTTP client passes secure = the protocol is
  // "HTTPS" (ignoring case) and adds the header line itself.
  std::string CookieHeaderFor(const TNetURI& uri, bool secure);

  TNetCookies& CookieCollection() { return cookies_; }

  TNetNewCookieEvent OnNewCookie;
  // Called with the collection just before it is destroyed.
  TNetCookieCollectionEvent OnDestroy;

 private:
  TNetCookieTime Now() const;

  TNetCookieClock clock_;
  TNetCookies cookies_;
};

}  // namespace qb
