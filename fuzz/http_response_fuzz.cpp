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
#include "net/net_stack.h"

namespace {

// A handler whose source is the fuzz input, handed out `piece` bytes per receive; it
// accepts every byte sent and opens without a socket.
class MemoryHandler final : public qb::TNetIOHandler {
 public:
  MemoryHandler(std::string_view wire, std::size_t piece) : wire_(wire), piece_(piece) {}

  void Open() override {
    TNetIOHandler::Open();
    open_ = true;
    ++opens_;
  }
  void Close() override {
    TNetIOHandler::Close();
    open_ = false;
  }
  int opens() const { return opens_; }

 protected:
  bool SourceIsAvailable() const override { return open_; }
  void CloseSource() override { open_ = false; }
  bool Readable(int) override { return true; }
  long ReceiveSome(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, wire_.size()});
    std::copy_n(wire_.data(), n, buffer);
    wire_.remove_prefix(n);
    return static_cast<long>(n);
  }
  long SendSome(const char*, std::size_t count) override { return static_cast<long>(count); }
  int CheckForError(long) override { return 0; }
  [[noreturn]] void RaiseError(int error) override { qb::TNetStack::RaiseSocketError(error); }

 private:
  std::string_view wire_;
  std::size_t piece_;
  bool open_ = false;
  int opens_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t options = data[0];
  const std::uint8_t request = data[2];
  const std::size_t piece = (data[1] & 0x80) ? (data[1] & 0x7F) * 64 + 1 : data[1] + 1;
  const std::string_view wire(reinterpret_cast<const char*>(data) + 3, size - 3);

  qb::TNetHTTP http;
  auto owned = std::make_unique<MemoryHandler>(wire, piece);
  MemoryHandler& handler = *owned;
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
    http.ExecuteRequest(method, "http://fuzz.invalid:8080/dir/page.php?q=1",
                        request & 1 ? nullptr : &body, &answer);
    const int code = http.Response.StatusCode();
    if (!errorContent && !(code >= 200 && code <= 299) && code != 101) std::abort();
  } catch (const qb::Exception&) {
  }
  // Every pass opens at most one connection; the passes are bounded by the redirect
  // and authentication limits and by interim answers, each of which takes input.
  if (handler.opens() > 2 + http.RedirectMaximum + http.MaxAuthRetries + static_cast<int>(wire.size())) std::abort();
  return 0;
}
