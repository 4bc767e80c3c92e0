#include "platform/console.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace qb::platform {
namespace {

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A parent may hand over a non-blocking pipe: wait for its reader to make room
      // instead of dropping the line or cutting it in two.
      pollfd entry{fd, POLLOUT, 0};
      if (::poll(&entry, 1, -1) < 0 && errno != EINTR) return;
      continue;
    }
    if (n <= 0) return;  // closed or broken: ignored, the next line tries again
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void WriteStandardOutput(std::string_view bytes) { WriteAll(STDOUT_FILENO, bytes); }
void WriteStandardError(std::string_view bytes) { WriteAll(STDERR_FILENO, bytes); }

}  // namespace qb::platform
