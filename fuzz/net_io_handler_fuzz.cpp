// The buffered reads of the I/O handler over peer bytes that arrive in pieces of any
// size: every read ends in a result or a network error, a line never holds its
// terminator or exceeds the maximum, and a counted read delivers exactly its count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/net_io_handler.h"

namespace {

// A handler whose source is the fuzz input, handed out `piece` bytes per receive.
class MemoryHandler final : public qb::TNetIOHandler {
 public:
  MemoryHandler(std::string_view wire, std::size_t piece) : wire_(wire), piece_(piece) { Open(); }

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
  bool open_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::string_view wire(reinterpret_cast<const char*>(data) + 4, size - 4);
  MemoryHandler handler(wire, data[2] % 64 + 1);
  handler.MaxLineLength = data[0] % 64;
  handler.MaxLineAction = (data[1] & 1) ? qb::TNetMaxLineAction::maSplit : qb::TNetMaxLineAction::maException;
  handler.RecvBufferSize = data[1] / 2 + 1;
  unsigned ops = data[3];
  try {
    for (int step = 0; step < 64; ++step, ops = ops * 5 + 1) {
      switch (ops % 4) {
        case 0:
        case 1: {
          const std::string_view terminator = ops % 4 ? "\r\n\r\n" : "";
          const std::string line = handler.ReadLine(terminator);
          const std::string_view end = terminator.empty() ? "\n" : terminator;
          if (line.find(end) != std::string::npos) std::abort();
          if (handler.MaxLineLength > 0 && line.size() > static_cast<std::size_t>(handler.MaxLineLength)) std::abort();
          break;
        }
        case 2: {
          qb::TMemoryStream out;
          const std::int64_t count = ops % 17;
          handler.ReadToStream(&out, count);
          if (out.GetSize() != count) std::abort();
          break;
        }
        default: {
          qb::TMemoryStream out;
          handler.ReadToStreamUntil(&out, "--b--");
          break;
        }
      }
    }
  } catch (const qb::ENetException&) {
  }
  return 0;
}
