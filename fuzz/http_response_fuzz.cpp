// Answers of a server to the HTTP client: status lines, interim answers, header blocks,
// redirects, challenges, and chunked, counted, multipart and until-close bodies, arriving
// in pieces of any size. Each connection the client opens continues where the previous
// one stopped in the input, so redirects and authentication retries are reached too.
// Every request must end in a return or a qb::Exception, and a request that returns
// must have had a 2xx answer (or a 101) unless the options asked for error content.
//
// Input: 3 bytes of settings, then the bytes the server sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_client.h"
#include "memory_io_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t options = data[0];
  const std::uint8_t request = data[2];
  const std::size_t piece = (data[1] & 0x80) ? (data[1] & 0x7F) * 64 + 1 : data[1] + 1;
  const std::string_view wire(reinterpret_cast<const char*>(data) + 3, size - 3);

  qb::TNetHTTP http;
  auto owned = std::make_unique<qb::fuzz::MemoryIOHandler>(wire, piece);
  qb::fuzz::MemoryIOHandler& handler = *owned;
  http.SetIOHandler(std::move(owned));
  http.HandleRedirects = options & 1;
  const bool errorContent = options & 4;
  if (options & 2) http.HTTPOptions.Include(qb::hoInProcessAuth);
  if (errorContent) http.HTTPOptions.Include(qb::hoNoProtocolErrorException);
  if (options & 8) http.HTTPOptions.Include(qb::hoWantProtocolErrorContent);
  if (options & 16) http.HTTPOptions.Include(qb::hoWaitForUnexpectedData);
  if (options & 32) http.HTTPOptions.Include(qb::hoTreat302Like303);
  if (options & 64) http.HTTPOptions.Include(qb::hoNoReadChunked);
  if (options & 128) http.HTTPOptions.Include(qb::hoNoParseMetaHTTPEquiv);
  http.HeaderLineLimit = (request >> 4) & 3 ? (request >> 4) & 3 : 255;
  if (request & 64) {
    http.Request.BasicAuthentication = true;
    http.Request.Username = "user";
    http.Request.Password = "password";
  }
  if (request & 128) {
    http.OnChunkReceived = [](qb::TNetCustomHTTP&, std::string& chunk) { chunk.resize(chunk.size() / 2); };
  }
  if (request & 8) http.ProtocolVersion = qb::pv1_0;

  static constexpr const char* kMethods[] = {"POST", "GET", "HEAD", "PUT", "DELETE", "OPTIONS", "POST", "GET"};
  const char* const method = kMethods[request & 7];
  qb::TMemoryStream body("field=value");
  qb::TMemoryStream answer;
  try {
    http.ExecuteRequest(method, "http://fuzz.invalid:8080/dir/page.php?q=1", request & 1 ? nullptr : &body, &answer);
    const int code = http.Response.StatusCode();
    if (!errorContent && !(code >= 200 && code <= 299) && code != 101) std::abort();
  } catch (const qb::Exception&) {
  }
  // Every pass opens at most one connection; the passes are bounded by the redirect
  // and authentication limits and by interim answers, each of which takes input.
  if (handler.opens() > 2 + http.RedirectMaximum + http.MaxAuthRetries + static_cast<int>(wire.size())) std::abort();
  return 0;
}
