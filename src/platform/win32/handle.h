// The one owner of a Win32 handle, and the text of a Win32 error code.
#pragma once

#include "platform/win32/win32.h"

#include <utility>

namespace qb::platform::win32 {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  // Both null and INVALID_HANDLE_VALUE mean "no handle": the API uses either.
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Hands the handle to a new owner.
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset() {
    if (*this) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace qb::platform::win32
