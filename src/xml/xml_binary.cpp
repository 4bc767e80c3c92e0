// Implementation details: the readers check every request against the bytes that remain
// before they copy or reserve anything, and every stored count is checked against them
// too (each item takes at least a known number of bytes), so a load never allocates much
// more than the input it has seen. Nodes are appended to the tree as they are read, so a
// failed load keeps what came before the error.
//
// Reading the name table adds the stored names to the document's table rather than
// emptying it: nodes that callers still hold, and other documents sharing the table,
// point at its names. Hashes are resolved against the stored names (first one wins),
// then the table's six fixed names, which gives the same result as an emptied table
// refilled in the stored order.
#include "xml/xml_binary.h"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/files.h"
#include "support/exception.h"
#include "support/format.h"
#include "xml/xml_document.h"
#include "xml/xml_reader.h"

namespace qb {
namespace {

[[noreturn]] void ThrowReadError() { throw Exception("Error reading data"); }

std::uint64_t DecodeLittleEndian(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

std::uint64_t ReadLittleEndian(TBinXmlReader& reader, std::size_t count) {
  unsigned char bytes[8];
  reader.Read(bytes, count);
  return DecodeLittleEndian(bytes, count);
}

void WriteLittleEndian(TBinXmlWriter& writer, std::uint64_t value, std::size_t count) {
  unsigned char bytes[8];
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  writer.Write(bytes, count);
}

bool ProgramTextIsUtf8() { return XmlTextCodePage() == platform::kCodePageUtf8; }

std::int32_t StoredCount(std::size_t count) {
  if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw Exception("Error writing binary XML: too many items for a count");
  }
  return static_cast<std::int32_t>(count);
}

// The in-memory representation of a value of fixed size, as little-endian bits.
struct Payload {
  std::uint64_t bits;
  std::size_t size;
};

std::optional<Payload> FixedPayload(const Variant& value) {
  const auto integer = static_cast<std::uint64_t>(value.IntegerValue());
  switch (value.Type()) {
    case VarType::Empty:
    case VarType::Null: return Payload{0, 0};
    case VarType::Int8:
    case VarType::UInt8: return Payload{integer, 1};
    case VarType::Int16:
    case VarType::UInt16: return Payload{integer, 2};
    case VarType::Boolean: return Payload{value.BooleanValue() ? 0xFFFFu : 0u, 2};  // the 16-bit variant boolean
    case VarType::Int32:
    case VarType::UInt32: return Payload{integer, 4};
    case VarType::Single: return Payload{std::bit_cast<std::uint32_t>(static_cast<float>(value.FloatValue())), 4};
    case VarType::Double:
    case VarType::DateTime: return Payload{std::bit_cast<std::uint64_t>(value.FloatValue()), 8};
    case VarType::Currency:
    case VarType::Int64: return Payload{integer, 8};
    default: return std::nullopt;  // counted payloads, and types outside the format
  }
}

std::int32_t NameHash(XmlNameId name) {
  return static_cast<std::int32_t>(TXmlNameTable::Hash(TXmlNameTable::GetName(name)));
}

// --- Documents ---------------------------------------------------------------------------

void WriteRecord(TBinXmlWriter& writer, const TXmlNode& node);

void WriteBody(TBinXmlWriter& writer, const TXmlNode& node) {
  const std::vector<TXmlAttr>& attributes = node.Attributes();
  writer.WriteCompact(StoredCount(attributes.size()));
  for (const TXmlAttr& attr : attributes) {
    writer.WriteCompact(NameHash(attr.NameId));
    writer.WriteValue(attr.Value);
  }
  const int count = node.ChildCount();
  writer.WriteCompact(count);
  for (int i = 0; i < count; ++i) WriteRecord(writer, *node.ChildList()->Item(i));
}

void WriteRecord(TBinXmlWriter& writer, const TXmlNode& node) {
  const int type = node.GetNodeType();
  switch (type) {
    case kXmlNodeElement: {
      const auto& element = static_cast<const TXmlElement&>(node);
      writer.WriteByte(static_cast<std::uint8_t>(type));
      writer.WriteCompact(NameHash(element.GetNodeNameId()));
      writer.WriteValue(element.ChildCount() > 0 ? Variant() : element.StoredValue());
      WriteBody(writer, element);
      return;
    }
    case kXmlNodeText:
      writer.WriteByte(static_cast<std::uint8_t>(type));
      writer.WriteValue(static_cast<const TXmlText&>(node).Value());
      return;
    case kXmlNodeCDATASection:
    case kXmlNodeComment:
      writer.WriteByte(static_cast<std::uint8_t>(type));
      writer.WriteNameString(static_cast<const TXmlCharacterData&>(node).GetData());
      return;
    case kXmlNodeProcessingInstruction:
      writer.WriteByte(static_cast<std::uint8_t>(type));
      writer.WriteCompact(NameHash(node.GetNodeNameId()));
      writer.WriteNameString(static_cast<const TXmlProcessingInstruction&>(node).GetData());
      WriteBody(writer, node);
      return;
    default: throw Exception("Error writing binary XML: incorrect node-type");
  }
}

class BinaryLoader {
 public:
  BinaryLoader(TXmlNode& document, TBinXmlReader& reader)
      : document_(document), reader_(reader), table_(document.GetNameTable()) {}

  void Load() {
    ReadNameTable();
    ReadBody(document_, 0);
  }

 private:
  void ReadNameTable();
  void ReadBody(TXmlNode& node, int depth);
  void ReadRecord(TXmlNodeList& list, int depth);
  XmlNameId ReadName() {
    const auto it = byHash_.find(static_cast<std::uint32_t>(reader_.ReadCompact()));
    return it == byHash_.end() ? nullptr : it->second;
  }

  TXmlNode& document_;
  TBinXmlReader& reader_;
  Ref<TXmlNameTable> table_;
  std::unordered_map<std::uint32_t, XmlNameId> byHash_;
};

void BinaryLoader::ReadNameTable() {
  const std::size_t count = reader_.ReadCount(1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = reader_.ReadNameString();
    if (name.empty()) continue;  // the empty name is ID 0 and never stored
    byHash_.emplace(TXmlNameTable::Hash(name), table_->GetId(name));
  }
  for (const XmlNameId fixed : {table_->TextId(), table_->CDATAId(), table_->CommentId(), table_->DocumentId(),
                                table_->XmlId(), table_->EncodingId()}) {
    byHash_.emplace(TXmlNameTable::Hash(*fixed), fixed);
  }
}

void BinaryLoader::ReadBody(TXmlNode& node, int depth) {
  node.RemoveAllAttrs();
  const std::size_t attributes = reader_.ReadCount(1);
  TXmlAttrLoader loader(node);
  for (std::size_t i = 0; i < attributes; ++i) {
    const XmlNameId name = ReadName();
    loader.Set(name, reader_.ReadValue());
  }
  const std::size_t children = reader_.ReadCount(1);
  if (children == 0) return;
  const Ref<TXmlNodeList> list = node.GetChildNodes();
  // An element holds children or a value: asking for the list has turned a value read
  // just before into a text child, which the stored children replace.
  list->Clear();
  for (std::size_t i = 0; i < children; ++i) ReadRecord(*list, depth);
}

void BinaryLoader::ReadRecord(TXmlNodeList& list, int depth) {
  const std::uint8_t type = reader_.ReadByte();
  if ((type == kXmlNodeElement || type == kXmlNodeProcessingInstruction) && depth >= kXmlMaxNestingDepth) {
    throw Exception(Format("Error reading binary XML: elements nested deeper than %d levels", kXmlMaxNestingDepth));
  }
  switch (type) {
    case kXmlNodeElement: {
      const auto element = MakeRef<TXmlElement>(table_, ReadName());
      list.Insert(element, -1);
      element->SetTypedValue(reader_.ReadValue());
      ReadBody(*element, depth + 1);
      return;
    }
    case kXmlNodeText: {
      const auto text = MakeRef<TXmlText>(table_, Variant());
      text->SetTypedValue(reader_.ReadValue());
      list.Insert(text, -1);
      return;
    }
    case kXmlNodeCDATASection: list.Insert(MakeRef<TXmlCDATASection>(table_, reader_.ReadNameString()), -1); return;
    case kXmlNodeComment: list.Insert(MakeRef<TXmlComment>(table_, reader_.ReadNameString()), -1); return;
    case kXmlNodeProcessingInstruction: {
      const XmlNameId target = ReadName();
      const auto instruction = MakeRef<TXmlProcessingInstruction>(table_, target, reader_.ReadNameString());
      list.Insert(instruction, -1);
      ReadBody(*instruction, depth + 1);
      return;
    }
    default: throw Exception("Error reading binary XML: incorrect node-type");
  }
}

}  // namespace

// --- Readers -----------------------------------------------------------------------------

void TBinXmlReader::ReadOptions() { options_ = static_cast<std::int32_t>(ReadLittleEndian(*this, 4)); }

std::uint8_t TBinXmlReader::ReadByte() {
  std::uint8_t value;
  Read(&value, 1);
  return value;
}

std::int32_t TBinXmlReader::ReadCompact() {
  const std::uint8_t first = ReadByte();
  if (first < 128) return first;
  if (first == 255) return static_cast<std::int32_t>(static_cast<std::uint32_t>(ReadLittleEndian(*this, 4)));
  return (first - 128) * 256 + ReadByte();
}

std::size_t TBinXmlReader::ReadCount(std::size_t minimumSize) {
  const std::int32_t count = ReadCompact();
  if (count < 0 || static_cast<std::uint64_t>(count) * minimumSize > Remaining()) ThrowReadError();
  return static_cast<std::size_t>(count);
}

std::string TBinXmlReader::ReadUtf8String() {
  std::string text(ReadCount(1), '\0');
  if (!text.empty()) Read(text.data(), text.size());
  if (ProgramTextIsUtf8()) return text;
  return platform::ConvertCodePage(platform::kCodePageUtf8, kXmlTargetCodePage, text);
}

std::u16string TBinXmlReader::ReadWideString() {
  const std::size_t count = ReadCount(2);
  std::string bytes(count * 2, '\0');
  if (count > 0) Read(bytes.data(), bytes.size());
  std::u16string text(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    text[i] = static_cast<char16_t>(DecodeLittleEndian(reinterpret_cast<const unsigned char*>(&bytes[2 * i]), 2));
  }
  return text;
}

std::string TBinXmlReader::ReadNameString() {
  if (options_ & kBinXmlWideStrings) return platform::WideToMultiByte(kXmlTargetCodePage, ReadWideString());
  return ReadUtf8String();
}

Variant TBinXmlReader::ReadValue() {
  switch (ReadCompact()) {
    case 0: return Variant();
    case 1: return Variant::Null();
    case 2: return Variant::FromInt16(static_cast<std::int16_t>(ReadLittleEndian(*this, 2)));
    case 3: return Variant::FromInt32(static_cast<std::int32_t>(ReadLittleEndian(*this, 4)));
    case 4: return Variant::FromSingle(std::bit_cast<float>(static_cast<std::uint32_t>(ReadLittleEndian(*this, 4))));
    case 5: return Variant::FromDouble(std::bit_cast<double>(ReadLittleEndian(*this, 8)));
    case 6: return Variant::FromCurrency(static_cast<std::int64_t>(ReadLittleEndian(*this, 8)));
    case 7: return Variant::FromDateTime(std::bit_cast<double>(ReadLittleEndian(*this, 8)));
    case 8: return Variant::FromWideString(ReadWideString());
    case 11: return Variant::FromBoolean(ReadLittleEndian(*this, 2) != 0);
    case 16: return Variant::FromInt8(static_cast<std::int8_t>(ReadLittleEndian(*this, 1)));
    case 17: return Variant::FromUInt8(static_cast<std::uint8_t>(ReadLittleEndian(*this, 1)));
    case 18: return Variant::FromUInt16(static_cast<std::uint16_t>(ReadLittleEndian(*this, 2)));
    case 19: return Variant::FromUInt32(static_cast<std::uint32_t>(ReadLittleEndian(*this, 4)));
    case 20: return Variant::FromInt64(static_cast<std::int64_t>(ReadLittleEndian(*this, 8)));
    case 256: return Variant::FromString(ReadUtf8String());
    case 0x2011: {
      std::string bytes(ReadCount(1), '\0');
      if (!bytes.empty()) Read(bytes.data(), bytes.size());
      return Variant::FromBytes(std::move(bytes));
    }
    default: throw Exception("Error reading value: incorrect type");
  }
}

TStmXmlReader::TStmXmlReader(TStream& stream, std::size_t bufferSize)
    : stream_(stream), buffer_(bufferSize == 0 ? 1 : bufferSize) {
  const std::int64_t left = stream.GetSize() - stream.GetPosition();
  left_ = left > 0 ? static_cast<std::uint64_t>(left) : 0;
  ReadOptions();
}

void TStmXmlReader::ReadStream(char* out, std::size_t count) {
  while (count > 0) {
    const std::size_t n = stream_.Read(out, count);
    if (n == 0) ThrowReadError();  // the stream ended before its size said
    out += n;
    count -= n;
    left_ -= std::min<std::uint64_t>(n, left_);
  }
}

void TStmXmlReader::Read(void* buffer, std::size_t count) {
  if (count > Remaining()) ThrowReadError();
  auto* out = static_cast<char*>(buffer);
  const std::size_t buffered = count_ - position_;
  if (count <= buffered) {
    std::memcpy(out, buffer_.data() + position_, count);
    position_ += count;
    return;
  }
  std::memcpy(out, buffer_.data() + position_, buffered);
  position_ = count_ = 0;
  ReadStream(out + buffered, count - buffered);
  const auto refill = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), left_));
  ReadStream(buffer_.data(), refill);
  count_ = refill;
}

TStrXmlReader::TStrXmlReader(std::string_view data)
    : data_(data), position_(std::min(data.size(), kXmlBinarySignature.size())) {
  ReadOptions();
}

void TStrXmlReader::Read(void* buffer, std::size_t count) {
  if (count > Remaining()) ThrowReadError();
  std::memcpy(buffer, data_.data() + position_, count);
  position_ += count;
}

// --- Writers -----------------------------------------------------------------------------

void TBinXmlWriter::WriteHeader() {
  Write(kXmlBinarySignature.data(), kXmlBinarySignature.size());
  WriteLittleEndian(*this, static_cast<std::uint32_t>(options_), 4);
}

void TBinXmlWriter::WriteCompact(std::int32_t value) {
  if (value >= 0 && value <= 127) {
    WriteByte(static_cast<std::uint8_t>(value));
  } else if (value >= 128 && value <= 32511) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(128 + value / 256),
                                   static_cast<std::uint8_t>(value % 256)};
    Write(bytes, 2);
  } else {
    WriteByte(255);
    WriteLittleEndian(*this, static_cast<std::uint32_t>(value), 4);
  }
}

void TBinXmlWriter::WriteUtf8String(std::string_view text) {
  if (!ProgramTextIsUtf8()) {
    const std::string utf8 = platform::ConvertCodePage(kXmlTargetCodePage, platform::kCodePageUtf8, text);
    WriteCompact(StoredCount(utf8.size()));
    Write(utf8.data(), utf8.size());
    return;
  }
  WriteCompact(StoredCount(text.size()));
  Write(text.data(), text.size());
}

void TBinXmlWriter::WriteWideString(std::u16string_view text) {
  WriteCompact(StoredCount(text.size()));
  std::string bytes(text.size() * 2, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  Write(bytes.data(), bytes.size());
}

void TBinXmlWriter::WriteNameString(std::string_view text) {
  if (options_ & kBinXmlWideStrings) {
    WriteWideString(platform::MultiByteToWide(kXmlTargetCodePage, text));
  } else {
    WriteUtf8String(text);
  }
}

void TBinXmlWriter::WriteValue(const Variant& value) {
  if (const auto payload = FixedPayload(value)) {
    WriteCompact(value.TypeCode());
    WriteLittleEndian(*this, payload->bits, payload->size);
    return;
  }
  switch (value.Type()) {
    case VarType::WideString:
      WriteCompact(value.TypeCode());
      WriteWideString(value.WideText());
      return;
    case VarType::String:
      WriteCompact(value.TypeCode());
      WriteUtf8String(value.Text());
      return;
    case VarType::ByteArray:
      WriteCompact(value.TypeCode());
      WriteCompact(StoredCount(value.Text().size()));
      Write(value.Text().data(), value.Text().size());
      return;
    default: throw Exception("Unknown data type in variant");
  }
}

TStmXmlWriter::TStmXmlWriter(TStream& stream, std::int32_t options, std::size_t bufferSize)
    : TBinXmlWriter(options), stream_(stream), buffer_(bufferSize == 0 ? 1 : bufferSize) {
  WriteHeader();
}

TStmXmlWriter::~TStmXmlWriter() {
  try {
    Flush();
  } catch (const std::exception&) {
    // The save already failed; its own error is the one the caller sees.
  }
}

void TStmXmlWriter::Write(const void* data, std::size_t count) {
  if (count > buffer_.size() - position_) {
    Flush();
    stream_.WriteBuffer(data, count);
    return;
  }
  std::memcpy(buffer_.data() + position_, data, count);
  position_ += count;
}

void TStmXmlWriter::Flush() {
  const std::size_t used = position_;
  position_ = 0;  // first: a refused write is not repeated by a later flush
  if (used > 0) stream_.WriteBuffer(buffer_.data(), used);
}

TStrXmlWriter::TStrXmlWriter(std::int32_t options) : TBinXmlWriter(options), result_(kInitialSize, '\0') {
  WriteHeader();
}

void TStrXmlWriter::Write(const void* data, std::size_t count) {
  if (count > result_.size() - position_) result_.resize(std::max(result_.size() * 2, position_ + count));
  std::memcpy(result_.data() + position_, data, count);
  position_ += count;
}

std::string TStrXmlWriter::TakeResult() {
  result_.resize(position_);
  position_ = 0;
  return std::move(result_);
}

// --- Documents ---------------------------------------------------------------------------

void XmlWriteBinary(const TXmlNode& document, TBinXmlWriter& writer) {
  const TXmlNameTable& names = document.NameTable();
  writer.WriteCompact(StoredCount(names.NameCount()));
  // Bucket order, each bucket in interning order: every name, used or not.
  for (std::size_t bucket = 0; bucket < names.BucketCount(); ++bucket) {
    for (std::size_t i = 0; i < names.BucketSize(bucket); ++i) writer.WriteNameString(*names.BucketName(bucket, i));
  }
  WriteBody(writer, document);
}

void XmlReadBinary(TXmlNode& document, TBinXmlReader& reader) { BinaryLoader(document, reader).Load(); }

std::string TXmlDocument::GetBinaryXml() const {
  TStrXmlWriter writer(0);
  XmlWriteBinary(*this, writer);
  return writer.TakeResult();
}

void TXmlDocument::SaveBinaryToStream(TStream& stream, std::int32_t options) const {
  TStmXmlWriter writer(stream, options);
  XmlWriteBinary(*this, writer);
  writer.Flush();
}

void TXmlDocument::SaveBinaryToFile(const std::string& fileName, std::int32_t options) const {
  const auto stream = platform::TFileStream::Create(fileName);
  SaveBinaryToStream(*stream, options);
}

void TXmlDocument::LoadBinaryFromStream(TStream& stream) {
  TStmXmlReader reader(stream);
  XmlReadBinary(*this, reader);
}

void TXmlDocument::LoadBinaryXml(std::string_view data) {
  Clear();
  TStrXmlReader reader(data);
  XmlReadBinary(*this, reader);
}

}  // namespace qb
