#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

namespace qb::platform {
namespace {

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // closed or broken: ignored, the next line tries again
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void WriteStandardOutput(std::string_view bytes) { WriteAll(STDOUT_FILENO, bytes); }
void WriteStandardError(std::string_view bytes) { WriteAll(STDERR_FILENO, bytes); }

}  // namespace qb::platform
