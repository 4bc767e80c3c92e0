#include "http/cookie_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace qb {
namespace {

using namespace std::chrono;

const TNetCookieTime kNow = TNetCookieTime{sys_days{2024y / 5 / 1}} + hours{12};

// A manager whose clock the test moves.
struct Store {
  TNetCookieTime now = kNow;
  TNetCookieManager manager{[this] { return now; }};

  void Set(const std::string& setCookie, const char* url = "http://www.example.com/a/b/page.php") {
    manager.AddServerCookie(setCookie, TNetURI(url));
  }
  std::string Header(const char* url, bool secure = false) { return manager.CookieHeaderFor(TNetURI(url), secure); }
};

TEST(CookieManagerTest, ParsesNameValueAndAttributes) {
  struct Case {
    const char* setCookie;
    const char* url;
    const char* name;  // nullptr: rejected
    const char* value = "";
    const char* domain = "";
    const char* path = "";
    bool hostOnly = false, secure = false, httpOnly = false;
  };
  const char* page = "http://www.example.com/upload/receive.php";
  const Case cases[] = {
      {"SID=31d4d96e407aad42", page, "SID", "31d4d96e407aad42", "www.example.com", "/upload", true, false, false},
      {" a = \"quoted value\" tail ; Path=/x", page, "a", "quoted value", "www.example.com", "/x", true, false, false},
      {"a=\"unterminated", page, "a", "unterminated", "www.example.com", "/upload", true, false, false},
      {"a=b=c;", page, "a", "b=c", "www.example.com", "/upload", true, false, false},
      {"a=", "http://WWW.Example.COM/", "a", "", "www.example.com", "/", true, false, false},
      {"a=b\tc; secure; HTTPONLY", page, "a", "b\tc", "www.example.com", "/upload", true, true, true},
      // Domain: leading dot dropped, lower-cased, must domain-match the host.
      {"a=b; Domain=.Example.COM", page, "a", "b", "example.com", "/upload", false, false, false},
      {"a=b; Domain=www.example.com", page, "a", "b", "www.example.com", "/upload", false, false, false},
      {"a=b; Domain=\"example.com\"", page, "a", "b", "example.com", "/upload", false, false, false},
      {"a=b; Domain=other.com", page, nullptr},
      {"a=b; Domain=ample.com", page, nullptr},
      {"a=b; Domain=sub.www.example.com", page, nullptr},
      {"a=b; Domain=example.com; Domain=", page, "a", "b", "example.com", "/upload", false, false, false},
      {"a=b; Domain=.", page, "a", "b", "www.example.com", "/upload", true, false, false},
      {"a=b; Domain=example.com:8080", page, "a", "b", "www.example.com", "/upload", true, false, false},
      // Never a domain of an IP address, but the address itself may be named.
      {"a=b; Domain=2.10", "http://192.0.2.10/", nullptr},
      {"a=b; Domain=192.0.2.10", "http://192.0.2.10/", "a", "b", "192.0.2.10", "/", false, false, false},
      {"a=b; Domain=db8::1", "http://[2001:db8::1]:81/", "a", "b", "2001:db8::1", "/", true, false, false},
      {"a=b", "http://[2001:DB8::1]:81/", "a", "b", "2001:db8::1", "/", true, false, false},
      // Path: the last one counts; empty or relative means the request's directory.
      {"a=b; path=/p; PATH=/q", page, "a", "b", "www.example.com", "/q", true, false, false},
      {"a=b; Path=relative", "http://h/x/y/z", "a", "b", "h", "/x/y", true, false, false},
      {"a=b; Path=", "http://h/x/", "a", "b", "h", "/x", true, false, false},
      {"a=b", "http://h/x", "a", "b", "h", "/", true, false, false},
      // Not cookies at all.
      {"novalue", page, nullptr},
      {" =b", page, nullptr},
      {"; a=b", page, nullptr},
      {"", page, nullptr},
      {"a=b\r\nX-Injected: 1", page, nullptr},
      {"a\x01"
       "b=c",
       page, nullptr},
      {"a=b\x01", page, "a", "b", "www.example.com", "/upload", true, false, false},  // trimmed
      {"a=b\x7f", page, nullptr},
      {"a=b", "/relative/no/host", nullptr},
      // http-only cookies belong to HTTP requests.
      {"a=b; HttpOnly", "ftp://h/", nullptr},
      {"a=b", "ftp://h/", "a", "b", "h", "/", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setCookie);
    const auto cookie = TNetCookie::ParseServerCookie(c.setCookie, TNetURI(c.url), kNow);
    ASSERT_EQ(c.name != nullptr, cookie.has_value());
    if (!cookie) continue;
    EXPECT_EQ(c.name, cookie->Name);
    EXPECT_EQ(c.value, cookie->Value);
    EXPECT_EQ(c.domain, cookie->Domain);
    EXPECT_EQ(c.path, cookie->Path);
    EXPECT_EQ(c.hostOnly, cookie->HostOnly);
    EXPECT_EQ(c.secure, cookie->Secure);
    EXPECT_EQ(c.httpOnly, cookie->HttpOnly);
    EXPECT_EQ(kNow, cookie->CookieCreated);
    EXPECT_EQ(kNow, cookie->CookieLastUsed());
  }
}

TEST(CookieManagerTest, ExpiryComesFromMaxAgeThenExpires) {
  struct Case {
    const char* attributes;
    std::optional<TNetCookieTime> expires;  // nothing: a session cookie
  };
  const TNetCookieTime oct21 = TNetCookieTime{sys_days{2026y / 10 / 21}} + hours{7} + minutes{28};
  const Case cases[] = {
      {"", std::nullopt},
      {"; Max-Age=60", kNow + seconds{60}},
      {"; Max-Age=0", kNow},
      {"; Max-Age=-1", kCookieTimeMin},
      {"; Max-Age=99999999999999999999999999999", kCookieTimeMax},
      {"; Max-Age=-99999999999999999999999999999", kCookieTimeMin},
      {"; Max-Age=abc", std::nullopt},
      {"; Max-Age=1.5", std::nullopt},
      {"; Max-Age=+5", std::nullopt},
      {"; Max-Age=", std::nullopt},
      {"; Max-Age=20; Max-Age=x", kNow + seconds{20}},
      {"; Expires=Wed, 21 Oct 2026 07:28:00 GMT", oct21},
      {"; expires=\"Wed, 21 Oct 2026 07:28:00 GMT\"", oct21},
      {"; Expires=3600", kNow + seconds{3600}},
      {"; Expires=-5", kCookieTimeMin},
      {"; Expires=bogus", std::nullopt},
      {"; Expires=Wed, 21 Oct 99999 07:28:00 GMT", std::nullopt},
      {"; Expires=Wed, 21 Oct 2026 07:28:00 GMT; Max-Age=10", kNow + seconds{10}},
      {"; Max-Age=10; Expires=Wed, 21 Oct 2026 07:28:00 GMT", kNow + seconds{10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes);
    const auto cookie = TNetCookie::ParseServerCookie(std::string("a=b") + c.attributes, TNetURI("http://h/"), kNow);
    ASSERT_TRUE(cookie.has_value());
    EXPECT_EQ(c.expires.has_value(), cookie->Persistent);
    EXPECT_EQ(c.expires.value_or(kCookieTimeMax), cookie->CookieExpires);
  }
}

TEST(CookieManagerTest, CookieHeaderTakesTheMatchingCookiesInOrder) {
  Store store;
  // Default path of the page is /a/b; each cookie is a second younger than the last.
  const char* setCookies[] = {"host=1",
                              "dom=2; Domain=example.com; Path=/",
                              "sec=3; Secure; Path=/",
                              "ho=4; HttpOnly; Path=/",
                              "deep=5; Path=/a/b/c",
                              "slash=6; Path=/a/"};
  for (const char* setCookie : setCookies) {
    store.Set(setCookie);
    store.now += seconds{1};
  }
  struct Case {
    const char* url;
    bool secure;
    const char* header;
  };
  const Case cases[] = {
      {"http://www.example.com/a/b/c/x", false, "deep=5; host=1; slash=6; dom=2; ho=4"},
      {"https://www.example.com/a/b", true, "host=1; slash=6; dom=2; sec=3; ho=4"},
      {"http://www.example.com/a/b?x=1#y", false, "host=1; slash=6; dom=2; ho=4"},
      {"http://www.example.com/a/bc", false, "slash=6; dom=2; ho=4"},
      {"http://www.example.com/A/B", false, "dom=2; ho=4"},
      {"http://WWW.EXAMPLE.COM:8080/a/b/c", false, "deep=5; host=1; slash=6; dom=2; ho=4"},
      {"ftp://www.example.com/a/b", false, "host=1; slash=6; dom=2"},
      {"http://sub.www.example.com/a/b/c", false, "dom=2"},
      {"http://Example.com/", true, "dom=2"},
      {"http://notexample.com/a/b", false, ""},
      {"http://192.0.2.10/a/b", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(c.header, store.Header(c.url, c.secure));
  }
}

TEST(CookieManagerTest, ReplacementKeepsCreationAndPlace) {
  Store store;
  store.Set("a=1");
  store.now += seconds{1};
  store.Set("b=2");
  store.now += seconds{1};
  // Same name, domain and path, ignoring case: replaced; another path: a new cookie.
  store.Set("A=3; Path=/a/b");
  store.Set("a=4; Path=/");
  EXPECT_EQ("A=3; b=2; a=4", store.Header("http://www.example.com/a/b/"));
  const auto cookies = store.manager.CookieCollection().Snapshot();
  ASSERT_EQ(3u, cookies.size());
  EXPECT_EQ(kNow, cookies[0].CookieCreated);
  EXPECT_EQ(store.now, cookies[0].CookieLastUsed());
}

TEST(CookieManagerTest, ExpiredCookiesAreNotStoredAndDeleteTheirNamesakes) {
  Store store;
  const char* deletions[] = {"a=x; Max-Age=0", "a=x; Max-Age=-1", "a=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT",
                             "A=x; Expires=0"};
  for (const char* deletion : deletions) {
    SCOPED_TRACE(deletion);
    store.Set("a=1");
    store.Set("a=2; Path=/");  // another path: not deleted
    store.Set(deletion);
    EXPECT_EQ("a=2", store.Header("http://www.example.com/a/b/"));
    EXPECT_EQ(1u, store.manager.CookieCollection().Count());
    store.manager.CookieCollection().Clear();
  }
  // A cookie expires at the instant of its expiry and is purged by the next header.
  store.Set("t=1; Max-Age=60");
  store.Set("s=1");
  store.now += seconds{59};
  EXPECT_EQ("t=1; s=1", store.Header("http://www.example.com/a/b"));
  store.now += seconds{1};
  EXPECT_EQ("s=1", store.Header("http://www.example.com/a/b"));
  EXPECT_EQ(1u, store.manager.CookieCollection().Count());
}

TEST(CookieManagerTest, OtherProtocolsCannotReplaceHttpOnlyCookies) {
  Store store;
  store.Set("a=1; HttpOnly; Path=/", "http://h/");
  store.Set("a=2; Path=/", "ftp://h/");
  store.Set("a=3; Path=/; Max-Age=0", "ftp://h/");
  EXPECT_EQ("a=1", store.Header("https://h/"));
  store.Set("a=4; Path=/", "https://h/");
  EXPECT_EQ("a=4", store.Header("http://h/"));
}

TEST(CookieManagerTest, EventsSeeTheCollectionAndEachNewCookie) {
  std::vector<std::string> offered;
  bool destroyed = false;
  {
    TNetCookieManager manager({}, [](TNetCookies& cookies) {
      auto saved = TNetCookie::ParseServerCookie("saved=1", TNetURI("http://h/"), kNow);
      cookies.AddCookie(*saved, true, kNow);
    });
    manager.OnDestroy = [&](TNetCookies& cookies) { destroyed = cookies.Count() == 2; };
    manager.OnNewCookie = [&](TNetCookie& cookie, bool& accept) {
      offered.push_back(cookie.Name);
      accept = cookie.Name != "refused";
      cookie.Value += "!";
    };
    const std::vector<std::string> answer = {"refused=1", "kept=2", "bad"};
    manager.AddServerCookies(answer, TNetURI("http://h/"));
    EXPECT_EQ("saved=1; kept=2!", manager.CookieHeaderFor(TNetURI("http://h/"), false));
  }
  EXPECT_EQ((std::vector<std::string>{"refused", "kept"}), offered);
  EXPECT_TRUE(destroyed);
}

TEST(CookieManagerTest, HostileValuesEndInASoundStore) {
  Store store;
  const std::string big(1 << 20, 'v');
  store.Set("big=" + big);
  store.Set("many=1" + std::string(200000, ';') + "; Path=/");
  store.Set("age=1; Max-Age=" + std::string(100000, '9'));
  store.Set("junk=1; Expires=" + std::string(100000, '7') + "; Domain=" + std::string(100000, 'x'));
  store.Set(std::string("nul=a\0b", 7));
  store.Set(std::string("=;;;=;") + std::string(1000, '='));
  EXPECT_TRUE(store.Header("http://www.example.com/a/b/") == "big=" + big + "; age=1; many=1");
  EXPECT_EQ(3u, store.manager.CookieCollection().Count());
  EXPECT_EQ(kCookieTimeMax, store.manager.CookieCollection().Snapshot()[2].CookieExpires);
}

TEST(CookieManagerTest, ReadersAndAWriterShareTheStore) {
  TNetCookieManager manager;
  const TNetURI uri("http://h/p/");
  std::atomic<bool> done{false};
  std::atomic<int> badHeaders{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        // Every item is one whole cookie of the writer's.
        std::string header = manager.CookieHeaderFor(uri, false);
        if (!header.empty()) header += "; ";
        for (std::size_t at = 0; at < header.size();) {
          const std::size_t end = header.find("; ", at);
          const std::string item = header.substr(at, end - at);
          if (!(item.size() > 2 && item.rfind("a=", 0) == 0) &&
              !(item.size() == 4 && item[0] == 'b' && item.substr(2) == "=x")) {
            ++badHeaders;
          }
          at = end + 2;
        }
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    manager.AddServerCookie("a=" + std::to_string(i) + (i % 3 == 0 ? "; Max-Age=0" : ""), uri);
    manager.AddServerCookie("b" + std::to_string(i % 7) + "=x", uri);
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(0, badHeaders.load());
  // "a" was last deleted at 19998 and stored anew after every "b".
  EXPECT_EQ("b0=x; b1=x; b2=x; b3=x; b4=x; b5=x; b6=x; a=19999", manager.CookieHeaderFor(uri, false));
}

}  // namespace
}  // namespace qb
