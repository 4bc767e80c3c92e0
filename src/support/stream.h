// The runtime's byte streams: one abstract base that the file streams, the in-memory
// stream, the multipart body and the transport all speak, so that any of them can be
// handed to anything that reads or writes a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

enum class SeekOrigin { Beginning, Current, End };

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Reads up to `count` bytes; returns how many were read, 0 at the end.
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes up to `count` bytes; returns how many were written.
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;

  // The usual size query: remember the position, seek to the end, seek back.
  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t size);

  std::int64_t GetPosition() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Beginning); }

  // Whole-buffer forms: EReadError "Stream read error" / EWriteError "Stream write error"
  // when fewer bytes move than asked for.
  void ReadBuffer(void* buffer, std::size_t count);
  void WriteBuffer(const void* buffer, std::size_t count);
  void WriteText(std::string_view text) { WriteBuffer(text.data(), text.size()); }

  // Copies `count` bytes from `source` (all of it from its start when count is 0).
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A growable stream in memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string_view initial) : data_(initial.begin(), initial.end()) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t GetSize() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;

  const char* Data() const { return data_.data(); }
  std::string DataString() const { return std::string(data_.begin(), data_.end()); }
  void Clear();

 private:
  std::vector<char> data_;
  std::size_t position_ = 0;
};

}  // namespace qb
