#include "net/net_buffer.h"

#include <algorithm>
#include <cstring>

namespace qb {

void TNetBuffer::Append(const void* bytes, std::size_t count) {
  if (count == 0) return;
  std::memcpy(Reserve(count), bytes, count);
  Commit(count);
}

char* TNetBuffer::Reserve(std::size_t count) {
  // Reclaim the consumed front once it outweighs what is left, so the buffer does not
  // grow with the total that passed through it.
  if (head_ > 0 && head_ >= Size()) {
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  const std::size_t used = data_.size();
  data_.resize(used + count);
  reserved_ = count;
  return data_.data() + used;
}

void TNetBuffer::Remove(std::size_t count) {
  head_ += std::min(count, Size());
  if (head_ == data_.size()) Clear();
}

std::string TNetBuffer::Extract(std::size_t count) {
  count = std::min(count, Size());
  std::string out(Data(), count);
  Remove(count);
  return out;
}

void TNetBuffer::Clear() {
  data_.clear();
  head_ = 0;
  reserved_ = 0;
}

std::size_t TNetBuffer::IndexOf(std::string_view sequence, std::size_t start) const {
  const std::string_view view = View();
  if (sequence.empty() || start >= view.size()) return std::string_view::npos;
  return view.find(sequence, start);
}

}  // namespace qb
