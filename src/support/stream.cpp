#include "support/stream.h"

#include <algorithm>
#include <cstring>

#include "support/exception.h"

namespace qb {

std::int64_t TStream::GetSize() {
  const std::int64_t position = Seek(0, SeekOrigin::Current);
  const std::int64_t size = Seek(0, SeekOrigin::End);
  Seek(position, SeekOrigin::Beginning);
  return size;
}

void TStream::SetSize(std::int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  while (count > 0) {
    const std::size_t n = Read(out, count);
    if (n == 0) throw EReadError("Stream read error");
    out += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  while (count > 0) {
    const std::size_t n = Write(in, count);
    if (n == 0) throw EWriteError("Stream write error");
    in += n;
    count -= n;
  }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, 65536)));
  std::int64_t left = count;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= static_cast<std::int64_t>(n);
  }
  return count;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (position_ >= data_.size()) return 0;
  const std::size_t n = std::min(count, data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return 0;
  if (position_ + count > data_.size()) data_.resize(position_ + count);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ += count;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == SeekOrigin::Current) base = static_cast<std::int64_t>(position_);
  if (origin == SeekOrigin::End) base = static_cast<std::int64_t>(data_.size());
  const std::int64_t target = base + offset;
  // Like a file, the position may lie past the end; it may not lie before the start.
  position_ = target < 0 ? 0 : static_cast<std::size_t>(target);
  return static_cast<std::int64_t>(position_);
}

void TMemoryStream::SetSize(std::int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
  position_ = std::min(position_, data_.size());
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

}  // namespace qb
