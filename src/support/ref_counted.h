// Intrusive reference counting for the objects the system hands out as counted
// interfaces (XML nodes and lists, string lists, the watchdog). The count lives in the
// object; Ref<T> is a small smart pointer over it. Counts are atomic because an object
// may be released on another thread than the one that made it.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace qb {

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const noexcept {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  int RefCount() const noexcept { return count_.load(std::memory_order_relaxed); }

 protected:
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<int> count_{0};
};

template <typename T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(T* object) noexcept : ptr_(object) {
    if (ptr_) ptr_->AddRef();
  }
  Ref(const Ref& other) noexcept : Ref(other.ptr_) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  template <typename U>
  Ref(const Ref<U>& other) noexcept : Ref(other.get()) {}
  template <typename U>
  Ref(Ref<U>&& other) noexcept : ptr_(other.detach()) {}
  ~Ref() {
    if (ptr_) ptr_->Release();
  }

  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  T& operator*() const noexcept { return *ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Gives up the reference without releasing it.
  T* detach() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

  friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.ptr_ == b.ptr_; }
  friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.ptr_ == nullptr; }

 private:
  T* ptr_ = nullptr;
};

template <typename T, typename... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

}  // namespace qb
