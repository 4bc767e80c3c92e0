// The cost of an HTML answer's <meta http-equiv> tags: the client reads each into the
// answer's headers. Prints the seconds for 10,000 and 100,000 different tags and their
// ratio, which is 10 when the cost grows with the number of tags and 100 when it grows
// with its square.
//
//   meta_tags_bench
#include <chrono>
#include <cstdio>
#include <string>

#include "http/header_info.h"

namespace {

double SecondsFor(int tags) {
  std::string html = "<html><head>";
  for (int i = 0; i < tags; ++i) html += "<meta http-equiv=\"X-Tag-" + std::to_string(i) + "\" content=\"v\">";
  html += "</head><body></body></html>";
  qb::TNetHTTPResponse response;
  response.RawHeaders.Add("Content-Type: text/html");
  const auto start = std::chrono::steady_clock::now();
  response.ApplyMetaHTTPEquiv(html);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (response.RawHeaders.Count() != static_cast<std::size_t>(tags) + 1) std::fprintf(stderr, "tags lost\n");
  return seconds.count();
}

}  // namespace

int main() {
  const double small = SecondsFor(10000);
  const double large = SecondsFor(100000);
  std::printf("10k tags %.4f s, 100k tags %.4f s, ratio %.1f\n", small, large, large / small);
  return 0;
}
