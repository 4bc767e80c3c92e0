#include "http/cookie_date.h"

#include <gtest/gtest.h>

#include <string>

namespace qb {
namespace {

using namespace std::chrono;

TNetCookieTime At(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
  return TNetCookieTime{sys_days{year{y} / month{mo} / day{d}}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(CookieDateTest, ReadsTheCookieDateForms) {
  struct Case {
    const char* text;
    std::optional<TNetCookieTime> expected;
  };
  const auto nov6 = At(1994, 11, 6, 8, 49, 37);
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", nov6},
      {"Sunday, 06-Nov-94 08:49:37 GMT", nov6},
      {"Sun Nov  6 08:49:37 1994", nov6},
      {"sun, 06 NOVEMBER 1994 08:49:37 +0200", nov6},  // zones are ignored
      // The first token that fits a part fills it: "11" is the day here.
      {"1994/11/06 08:49:37 Nov 6", At(1994, 11, 11, 8, 49, 37)},
      {"xx 6th Nov 1994 8:49:37 junk", nov6},
      {"Thu, 01-Jan-1970 00:00:01 GMT", At(1970, 1, 1, 0, 0, 1)},
      {"Wed, 31-Dec-69 23:59:59 GMT", At(2069, 12, 31, 23, 59, 59)},
      {"Fri, 01 Jan 00 00:00:00 GMT", At(2000, 1, 1)},
      {"Thu, 29 Feb 2024 12:00:00 GMT", At(2024, 2, 29, 12)},
      {"Mon, 01 Jan 1601 00:00:00 GMT", At(1601, 1, 1)},
      {"Fri, 31 Dec 9999 23:59:59 GMT", At(9999, 12, 31, 23, 59, 59)},
      // Missing, out of range or impossible parts.
      {"Wed, 29 Feb 2023 12:00:00 GMT", std::nullopt},
      {"Tue, 31 Apr 2024 12:00:00 GMT", std::nullopt},
      {"Sun, 00 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 32 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 31 Dec 1600 23:59:59 GMT", std::nullopt},
      {"Sun, 06 Nov 19940 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 23:60:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 23:59:60 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 123:00:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994", std::nullopt},
      {"08:49:37 Nov 1994", std::nullopt},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", std::nullopt},
      {"0", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.expected, ParseCookieDate(c.text));
  }
}

TEST(CookieDateTest, HostileTextEndsInAResult) {
  EXPECT_EQ(std::nullopt, ParseCookieDate(std::string(1 << 20, '9')));
  EXPECT_EQ(std::nullopt, ParseCookieDate(std::string(1 << 20, ',')));
  std::string repeated;
  for (int i = 0; i < 20000; ++i) repeated += "12:00:00 ";
  EXPECT_EQ(std::nullopt, ParseCookieDate(repeated));
  EXPECT_EQ(At(1994, 11, 6, 8, 49, 37), ParseCookieDate(std::string("06 Nov 1994 08:49:37\0 Dec", 25)));
}

TEST(CookieDateTest, AddingSecondsStaysInTheCookieRange) {
  const TNetCookieTime now = At(2024, 5, 1, 12);
  EXPECT_EQ(now + seconds{90}, AddCookieSeconds(now, 90));
  EXPECT_EQ(now - seconds{90}, AddCookieSeconds(now, -90));
  EXPECT_EQ(kCookieTimeMax, AddCookieSeconds(now, INT64_MAX));
  EXPECT_EQ(kCookieTimeMin, AddCookieSeconds(now, INT64_MIN));
  EXPECT_EQ(kCookieTimeMax, AddCookieSeconds(At(9999, 12, 31, 23, 59, 59), 5));
  EXPECT_EQ(kCookieTimeMin, AddCookieSeconds(At(1, 1, 1, 0, 0, 1), -5));
  EXPECT_EQ(At(9999, 12, 31, 23, 59, 59) + milliseconds{999}, kCookieTimeMax);
}

}  // namespace
}  // namespace qb
