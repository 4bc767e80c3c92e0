// Streams a file through the multipart body with a fixed buffer and reports the rate,
// next to the same file read straight through a file stream with the same buffer.
// Usage: multipart_read_bench FILE [BUFFER_BYTES] [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/multipart_form_data.h"
#include "platform/files.h"

namespace {

template <typename F>
double BestSeconds(int rounds, F&& run) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best) best = seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [BUFFER_BYTES] [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const std::size_t bufferSize = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 65536;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<char> buffer(bufferSize);

  qb::TNetMultiPartFormDataStream body;
  body.AppendFilePart("file", path, "");
  const std::int64_t size = body.GetSize();
  std::int64_t bodyBytes = 0;
  const double bodySeconds = BestSeconds(rounds, [&] {
    body.Seek(0, qb::SeekOrigin::Beginning);
    bodyBytes = 0;
    while (const std::size_t n = body.Read(buffer.data(), buffer.size())) bodyBytes += static_cast<std::int64_t>(n);
  });
  if (bodyBytes != size) {
    std::fprintf(stderr, "body delivered %lld bytes, size said %lld\n", static_cast<long long>(bodyBytes),
                 static_cast<long long>(size));
    return 1;
  }

  auto file = qb::platform::TFileStream::OpenReadExclusive(path + "");
  std::int64_t fileBytes = 0;
  const double fileSeconds = BestSeconds(rounds, [&] {
    file->Seek(0, qb::SeekOrigin::Beginning);
    fileBytes = 0;
    while (const std::size_t n = file->Read(buffer.data(), buffer.size())) fileBytes += static_cast<std::int64_t>(n);
  });

  const double gib = 1024.0 * 1024.0 * 1024.0;
  std::printf("buffer %zu bytes, best of %d\n", bufferSize, rounds);
  std::printf("multipart body: %.3f s, %.2f GiB/s\n", bodySeconds, static_cast<double>(bodyBytes) / gib / bodySeconds);
  std::printf("file stream:    %.3f s, %.2f GiB/s\n", fileSeconds, static_cast<double>(fileBytes) / gib / fileSeconds);
  std::printf("ratio body/file time: %.3f\n", bodySeconds / fileSeconds);
  return 0;
}
