// The XML text writer's output objects. A saver buffers program text and converts it to
// its output code page on the way in; the node writer (TXmlNode::Save, GetXml) lives in
// xml_writer.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/stream.h"

namespace qb {

class TXmlSaver {
 public:
  TXmlSaver(const TXmlSaver&) = delete;
  TXmlSaver& operator=(const TXmlSaver&) = delete;
  virtual ~TXmlSaver() = default;

  // 65001 (UTF-8) at creation.
  int CodePage() const noexcept { return codePage_; }
  void SetCodePage(int codePage) noexcept { codePage_ = codePage; }

  // Converts program text into the buffer. When a third of the free space is less than
  // the text, the buffer is flushed first; text longer than a third of the capacity goes
  // in pieces of at most that size (cut between characters), each followed by a flush.
  // A piece therefore always fits, as no character takes more than three bytes more.
  virtual void Write(std::string_view text);
  // Hands the used part of the buffer on and empties it.
  virtual void Flush() = 0;

  std::size_t Capacity() const noexcept { return buffer_.size(); }

 protected:
  // The capacity is at least 12 bytes, so that a piece holds a whole character.
  explicit TXmlSaver(std::size_t capacity);

  // The used part of the buffer, which the flush then empties with Reset.
  std::string_view Used() const noexcept { return std::string_view(buffer_.data(), position_); }
  void Reset() noexcept { position_ = 0; }

 private:
  void Put(std::string_view piece);
  void Append(std::string_view bytes);
  std::size_t Free() const noexcept { return buffer_.size() - position_; }

  int codePage_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
};

// A saver that flushes into a stream.
class TXmlStmSaver final : public TXmlSaver {
 public:
  static constexpr std::size_t kStreamCapacity = 4096;

  explicit TXmlStmSaver(TStream& stream, std::size_t capacity = kStreamCapacity)
      : TXmlSaver(capacity), stream_(stream) {}
  // Flushes what is still buffered. An error of that last write is dropped: the owner
  // flushes explicitly on success, so this only runs while another error is on its way.
  ~TXmlStmSaver() override;

  // The stream's write error (EWriteError "Stream write error") when it refuses bytes;
  // after that the saver writes nothing more, so the output never has a hole.
  void Flush() override;

 private:
  TStream& stream_;
  bool failed_ = false;
};

}  // namespace qb
