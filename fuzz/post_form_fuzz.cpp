// PostForm's whole answer path, in memory: status line, headers, body framing (counted,
// chunked, multipart, until the close), charset decoding and meta tags. The end of the
// input is sent again and again, so that a few kilobytes of input make an answer of
// megabytes: work that grows faster than the answer runs into the time limit, and the
// memory the request holds on top of what it started with is bounded. The upload's form
// (a body read only to a limit and dropped) must stay flat whatever arrives; the form
// that returns the decoded text may grow with what arrived, no faster: a few copies of
// the body, and the headers that meta tags add, each bigger than its tag.
//
// Input: 4 bytes of settings (options, receive size, repetitions, tail length), then
// the bytes the server sends; their last `tail length` bytes are sent again up to 32768
// times, each '#' in them replaced by the number of the repetition, so that repeated
// names (headers, meta tags) differ.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "http/http_client.h"
#include "http/multipart_form_data.h"
#include "memory_io_handler.h"

namespace {

// The bytes held through operator new, and their highest mark since the last reset.
std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};

void* Allocate(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  const std::size_t now = live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return p;
}

void Release(void* p) {
  if (!p) return;
  live.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

constexpr std::size_t kMiB = std::size_t{1} << 20;
// What the upload's form may hold whatever the answer: a header block of the longest
// lines, the receive buffer, the body limit.
constexpr std::size_t kFlatLimit = 8 * kMiB;
constexpr std::int64_t kBodyLimit = 64 * 1024;

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t options = data[0];
  const std::size_t piece = (data[1] & 0x80) ? (data[1] & 0x7F) * 512 + 1 : data[1] + 1;
  // Mostly a few repetitions, so that the fuzzer runs fast; the top values make megabytes.
  const std::size_t repeat = data[2] < 0xF8 ? data[2] : std::size_t{256} << (data[2] - 0xF8);
  const std::string_view input(reinterpret_cast<const char*>(data) + 4, size - 4);
  const std::size_t tail = std::min<std::size_t>(data[3], input.size());
  std::string wire(input);
  const std::string_view repeated = input.substr(input.size() - tail);
  for (std::size_t i = 0; i < repeat; ++i) {
    const std::string number = std::to_string(i);
    for (const char c : repeated) c == '#' ? wire.append(number) : wire.append(1, c);
  }

  const bool upload = options & 1;
  const std::size_t base = live.load();
  peak.store(base);
  {
    qb::TNetHTTP http;
    http.SetIOHandler(std::make_unique<qb::fuzz::MemoryIOHandler>(wire, piece));
    http.HandleRedirects = options & 2;
    if (options & 4) http.HTTPOptions.Include(qb::hoNoParseMetaHTTPEquiv);
    if (options & 8) http.HTTPOptions.Include(qb::hoKeepOrigProtocol);
    if (options & 16) http.HTTPOptions.Include(qb::hoNoProtocolErrorException);
    if (options & 32) http.HTTPOptions.Include(qb::hoWantProtocolErrorContent);
    if (options & 64) http.HTTPOptions.Include(qb::hoNoReadChunked);
    if (options & 128) {
      http.Request.BasicAuthentication = true;
      http.Request.Username = "user";
      http.Request.Password = "password";
    }
    qb::TNetMultiPartFormDataStream body;
    try {
      if (upload) {
        http.BodyByteLimit = kBodyLimit;
        http.PostForm("http://fuzz.invalid:8080/upload", body, nullptr);
      } else {
        const std::string text = http.PostForm("http://fuzz.invalid:8080/upload", body);
        if (text.size() > 4 * wire.size() + 64) std::abort();  // the text is made of what arrived
      }
    } catch (const qb::Exception&) {
    }
  }
  const std::size_t held = peak.load() - base;
  // The input itself (`wire`) is held before the request starts.
  if (held > (upload ? kFlatLimit : kFlatLimit + 16 * wire.size())) std::abort();
  return 0;
}
