// TNetBuffer: a first-in-first-out byte queue, the receive buffer and the send batch of
// an I/O handler. Bytes are appended at the back and taken from the front; the consumed
// front is reclaimed lazily, so taking small pieces costs no copying of the rest.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

class TNetBuffer {
 public:
  std::size_t Size() const { return data_.size() - head_; }
  bool Empty() const { return Size() == 0; }
  // The unread bytes, valid until the next change.
  const char* Data() const { return data_.data() + head_; }
  std::string_view View() const { return {Data(), Size()}; }

  void Append(const void* bytes, std::size_t count);
  void Append(std::string_view bytes) { Append(bytes.data(), bytes.size()); }

  // Room for `count` more bytes at the back: write into it, then Commit what was filled.
  char* Reserve(std::size_t count);
  void Commit(std::size_t count) {
    data_.resize(data_.size() - reserved_ + count);
    reserved_ = 0;
  }

  // Removes up to `count` bytes from the front.
  void Remove(std::size_t count);
  // Removes and returns up to `count` bytes from the front.
  std::string Extract(std::size_t count);
  void Clear();

  // Index of `sequence` at or after `start`, or npos.
  std::size_t IndexOf(std::string_view sequence, std::size_t start = 0) const;

 private:
  std::vector<char> data_;
  std::size_t head_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace qb
