// The buffered reads of the I/O handler over peer bytes that arrive in pieces of any
// size: every read ends in a result or a network error, a line never holds its
// terminator or exceeds the maximum, and a counted read delivers exactly its count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "memory_io_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::string_view wire(reinterpret_cast<const char*>(data) + 4, size - 4);
  qb::fuzz::MemoryIOHandler handler(wire, data[2] % 64 + 1);
  handler.Open();
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
