// Implementation details: WriteFile on the standard handle, looping over partial writes.
// A missing handle (a program started without a console), a closed pipe or a full disk
// makes the write do nothing.
#include "platform/console.h"

#include "platform/win32/win32.h"

namespace qb::platform {
namespace {

void WriteAll(DWORD which, std::string_view bytes) {
  const HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

}  // namespace

void WriteStandardOutput(std::string_view bytes) { WriteAll(STD_OUTPUT_HANDLE, bytes); }
void WriteStandardError(std::string_view bytes) { WriteAll(STD_ERROR_HANDLE, bytes); }

}  // namespace qb::platform
