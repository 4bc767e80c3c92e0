// Response header blocks and bodies from a server: the status line, header lines,
// authentication challenges, and the charset found in HTML and XML bodies. Input: the
// header block, an empty line, then the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/authentication.h"
#include "http/charset.h"
#include "http/header_info.h"
#include "http/http_date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find("\n\n");
  const std::string_view head = input.substr(0, split);
  const std::string_view body = split == std::string_view::npos ? std::string_view() : input.substr(split + 2);

  qb::TNetHTTPResponse response;
  std::size_t at = 0;
  for (bool first = true; at <= head.size(); first = false) {
    const std::size_t end = std::min(head.find('\n', at), head.size());
    const std::string line(head.substr(at, end - at));
    if (first) {
      response.SetStatusLine(line);
    } else {
      response.RawHeaders.Add(line);
    }
    at = end + 1;
  }
  response.ProcessHeaders();
  (void)response.StatusCode();
  (void)qb::ParseHttpDate(response.RawHeaders.Value("Date"));
  response.ApplyMetaHTTPEquiv(body);
  (void)qb::DecodeCharsetText(body, response.CharSet);
  response.ApplyXmlCharset(body);

  qb::TNetHTTPRequest request;
  request.Username = "u";
  request.RequestMethod = "POST";
  request.TargetUrl = "/";
  int attempts = 0;
  try {
    qb::DecideUnauthorized(request, response, attempts, 3, true, {});
    request.SetHeaders();
    (void)request.RawHeaders.WireText();
  } catch (const qb::ENetException&) {
    // An unsupported Digest algorithm, an NTLM exchange or a line break in a value.
  }
  return 0;
}
