// Any "Set-Cookie" value, from any kind of request URL, ends in a stored cookie or
// nothing, never in an error; the Cookie header built afterwards only carries cookies that
// apply. The first line of the input is the request URL, the rest the Set-Cookie values,
// one per line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/cookie_date.h"
#include "http/cookie_manager.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const qb::TNetURI uri(input.substr(0, newline));
  input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  const qb::TNetCookieTime now{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1}};
  qb::TNetCookieManager manager([&now] { return now; });
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    manager.AddServerCookie(line, uri);
    qb::ParseCookieDate(line);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  for (const qb::TNetCookie& cookie : manager.CookieCollection().Snapshot()) {
    if (cookie.IsExpired(now) || cookie.Name.empty()) __builtin_trap();
  }
  const std::string header = manager.CookieHeaderFor(uri, true);
  if (header.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  return 0;
}
