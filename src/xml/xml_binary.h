// The binary form of a document: the signature "< binary-xml >", 32-bit options, the name
// table, and the document's node body. Numbers are little-endian; counts, type codes and
// name hashes are compact integers (1, 2 or 5 bytes); values keep their type.
//
// Readers trust no stored count: a count that the remaining bytes cannot hold raises
// "Error reading data" before anything is reserved, and nesting is limited as in the text
// reader, so that no input makes a load allocate without bound or exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/stream.h"
#include "support/variant.h"
#include "xml/xml_node.h"

namespace qb {

// Option bit 0: names and character data are stored as UTF-16 instead of UTF-8.
inline constexpr std::int32_t kBinXmlWideStrings = 1;

class TBinXmlReader {
 public:
  TBinXmlReader(const TBinXmlReader&) = delete;
  TBinXmlReader& operator=(const TBinXmlReader&) = delete;
  virtual ~TBinXmlReader() = default;

  std::int32_t Options() const noexcept { return options_; }

  // Exactly `count` bytes; Exception "Error reading data" when fewer remain.
  virtual void Read(void* buffer, std::size_t count) = 0;
  // The bytes that remain to be read.
  virtual std::uint64_t Remaining() const noexcept = 0;

  std::uint8_t ReadByte();
  std::int32_t ReadCompact();
  // A compact count of items of at least `minimumSize` bytes each: "Error reading data"
  // when it is negative or the remaining bytes cannot hold that many.
  std::size_t ReadCount(std::size_t minimumSize);
  // UTF-8 bytes, returned as program text.
  std::string ReadUtf8String();
  std::u16string ReadWideString();
  // A wide string under option bit 0, else a UTF-8 string; program text either way.
  std::string ReadNameString();
  // Exception "Error reading value: incorrect type" for a type code outside the format.
  Variant ReadValue();

 protected:
  TBinXmlReader() = default;
  // Called by each reader's constructor: the options follow the signature.
  void ReadOptions();

 private:
  std::int32_t options_ = 0;
};

class TStmXmlReader final : public TBinXmlReader {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  // Reads from the stream's position to its end; reads the options at once.
  explicit TStmXmlReader(TStream& stream, std::size_t bufferSize = kBufferSize);

  // From the buffer; a request larger than what is buffered takes the buffered bytes,
  // reads the rest straight from the stream, then refills the buffer.
  void Read(void* buffer, std::size_t count) override;
  std::uint64_t Remaining() const noexcept override { return (count_ - position_) + left_; }

 private:
  void ReadStream(char* out, std::size_t count);

  TStream& stream_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t count_ = 0;
  std::uint64_t left_;  // bytes of the stream not yet read
};

class TStrXmlReader final : public TBinXmlReader {
 public:
  // Skips the 14 bytes of the signature without looking at them and reads the options.
  // The data must outlive the reader (a temporary string is refused at compile time).
  explicit TStrXmlReader(std::string_view data);
  explicit TStrXmlReader(std::string&&) = delete;

  void Read(void* buffer, std::size_t count) override;
  std::uint64_t Remaining() const noexcept override { return data_.size() - position_; }

 private:
  std::string_view data_;
  std::size_t position_;
};

class TBinXmlWriter {
 public:
  TBinXmlWriter(const TBinXmlWriter&) = delete;
  TBinXmlWriter& operator=(const TBinXmlWriter&) = delete;
  virtual ~TBinXmlWriter() = default;

  std::int32_t Options() const noexcept { return options_; }

  virtual void Write(const void* data, std::size_t count) = 0;

  void WriteByte(std::uint8_t value) { Write(&value, 1); }
  void WriteCompact(std::int32_t value);
  void WriteUtf8String(std::string_view text);
  void WriteWideString(std::u16string_view text);
  void WriteNameString(std::string_view text);
  // Exception "Unknown data type in variant" for a type outside the format.
  void WriteValue(const Variant& value);

 protected:
  explicit TBinXmlWriter(std::int32_t options) : options_(options) {}
  // Called by each writer's constructor: the signature and the options.
  void WriteHeader();

 private:
  std::int32_t options_;
};

class TStmXmlWriter final : public TBinXmlWriter {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  // Writes the signature and the options at once.
  TStmXmlWriter(TStream& stream, std::int32_t options, std::size_t bufferSize = kBufferSize);
  // Writes out the rest; an error of that write is dropped, as the owner flushes
  // explicitly on success and this only runs while another error is on its way.
  ~TStmXmlWriter() override;

  // A write larger than the free space writes out the buffer first; one as large as
  // the buffer goes straight to the stream.
  void Write(const void* data, std::size_t count) override;
  void Flush();

 private:
  TStream& stream_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
};

class TStrXmlWriter final : public TBinXmlWriter {
 public:
  static constexpr std::size_t kInitialSize = 65536;

  explicit TStrXmlWriter(std::int32_t options);

  void Write(const void* data, std::size_t count) override;
  // The bytes written; the writer is empty afterwards.
  std::string TakeResult();

 private:
  std::string result_;
  std::size_t position_ = 0;
};

// The name table and the node body of a document (what follows the options).
void XmlWriteBinary(const TXmlNode& document, TBinXmlWriter& writer);
// Reads them into a document that has been emptied. Names are added to the document's
// name table, never removed from it; a node name hash resolves to the first stored name
// that has it (or one of the table's six fixed names, or the empty name).
// Exceptions "Error reading data", "Error reading binary XML: incorrect node-type",
// "Error reading value: incorrect type"; nodes read before an error stay in the tree.
void XmlReadBinary(TXmlNode& document, TBinXmlReader& reader);

}  // namespace qb
