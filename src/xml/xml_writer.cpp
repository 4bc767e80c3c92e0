// Implementation details: one node writer serves both forms. It appends XML text to a
// string; in the string form that string is the result, in the stream form it is handed
// to the saver whenever it passes a small chunk, so that the saver converts and buffers a
// hundred bytes or so at a time instead of one call per tag. The two forms differ only in
// how an element places its line breaks.
//
// The saver passes program text through unchanged when the output code page is the
// program's own: converting UTF-8 to UTF-8 through UTF-16 would only turn bytes that are
// not UTF-8 (text read without a declaration is kept byte for byte) into replacement
// characters. Other code pages are converted piece by piece, each piece cut between
// characters so that none is split across two conversions.
#include "xml/xml_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/codepage.h"
#include "platform/files.h"
#include "support/exception.h"
#include "support/format.h"
#include "xml/xml_document.h"
#include "xml/xml_reader.h"

namespace qb {
namespace {

constexpr std::size_t kMinimumCapacity = 12;
// The node writer hands its text on once it holds this much. The saver flushes when a
// third of its free space is less than the text, so small hand-offs let a 4096-byte
// buffer fill to about 3.7 KiB before each write to the stream.
constexpr std::size_t kChunk = 128;

// The longest prefix of `text` of at most `limit` bytes that ends between characters of
// the program code page (at least one character).
std::size_t PieceLength(std::string_view text, std::size_t limit) {
  std::size_t end = 0;
  while (end < text.size()) {
    const std::size_t next = end + platform::CharLength(text, end);
    if (next > limit && end > 0) break;
    end = next;
  }
  return end;
}

constexpr std::array<const char*, 256> MakeEntities() {
  std::array<const char*, 256> table{};
  table['"'] = "&quot;";
  table['&'] = "&amp;";
  table['<'] = "&lt;";
  table['>'] = "&gt;";
  return table;
}
constexpr std::array<const char*, 256> kEntities = MakeEntities();

// Text and attribute values: the double quote, "&", "<" and ">" become entities; every
// other byte, the apostrophe included, stays.
void AppendEscaped(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* entity = kEntities[static_cast<unsigned char>(text[i])];
    if (!entity) continue;
    out.append(text, start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(text, start, text.size() - start);
}

void AppendEscapedValue(std::string& out, const Variant& value) {
  if (value.Type() == VarType::String) {
    AppendEscaped(out, value.Text());
  } else {
    AppendEscaped(out, XmlTextOfValue(value));
  }
}

// The element's level: its ancestors below the nearest document (all of them when the
// node belongs to no document).
int LevelOf(const TXmlNode& node) {
  int level = 0;
  for (const TXmlNode* p = node.ParentNode(); p && p->GetNodeType() != kXmlNodeDocument; p = p->ParentNode()) ++level;
  return level;
}

class NodeWriter {
 public:
  // With a saver: the stream form, into the saver; without: the string form, into Out().
  explicit NodeWriter(TXmlSaver* saver) : saver_(saver) {}

  void Write(const TXmlNode& node, int level, bool preserve);
  std::string& Out() noexcept { return out_; }
  void Drain() {
    if (saver_ && !out_.empty()) saver_->Write(out_);
    out_.clear();
  }

 private:
  void StreamElement(const TXmlElement& element, int level, bool preserve);
  void StringElement(const TXmlElement& element, int level, bool preserve);
  // Indent (unless white space is preserved), "<", the name and the attributes.
  void OpenTag(const TXmlNode& node, int level, bool preserve);
  void CloseTag(const TXmlNode& node) {
    out_ += "</";
    out_ += node.GetNodeName();
    out_ += '>';
  }
  void Indent(int level) {
    out_ += "\r\n";
    out_.append(static_cast<std::size_t>(level) * kXmlIndentUnit.size(), kXmlIndentUnit[0]);
  }
  void Attributes(const TXmlNode& node);
  void CData(std::string_view data);
  void Children(const TXmlNode& node, int level, bool preserve) {
    const int count = node.ChildCount();
    for (int i = 0; i < count; ++i) Write(*node.ChildList()->Item(i), level, preserve);
  }
  void MaybeDrain() {
    if (saver_ && out_.size() >= kChunk) Drain();
  }

  TXmlSaver* saver_;
  std::string out_;
};

static_assert(kXmlIndentUnit.size() == 1, "Indent appends one repeated character");

void NodeWriter::Write(const TXmlNode& node, int level, bool preserve) {
  switch (node.GetNodeType()) {
    case kXmlNodeDocument:
      // A document's own elements are level 0 and follow its own setting.
      Children(node, 0, static_cast<const TXmlDocument&>(node).GetPreserveWhiteSpace());
      return;
    case kXmlNodeElement: {
      const auto& element = static_cast<const TXmlElement&>(node);
      if (saver_) {
        StreamElement(element, level, preserve);
      } else {
        StringElement(element, level, preserve);
      }
      return;
    }
    case kXmlNodeText: AppendEscapedValue(out_, static_cast<const TXmlText&>(node).Value()); break;
    case kXmlNodeCDATASection: CData(static_cast<const TXmlCDATASection&>(node).GetData()); break;
    case kXmlNodeComment:
      out_ += "<!--";
      out_ += static_cast<const TXmlComment&>(node).GetData();
      out_ += "-->";
      break;
    case kXmlNodeProcessingInstruction: {
      const std::string& data = static_cast<const TXmlProcessingInstruction&>(node).GetData();
      out_ += "<?";
      out_ += node.GetNodeName();
      if (data.empty()) {
        Attributes(node);
      } else {
        out_ += ' ';
        out_ += data;
      }
      out_ += "?>";
      break;
    }
    default: break;
  }
  MaybeDrain();
}

void NodeWriter::OpenTag(const TXmlNode& node, int level, bool preserve) {
  if (!preserve) Indent(level);
  out_ += '<';
  out_ += node.GetNodeName();
  Attributes(node);
}

void NodeWriter::Attributes(const TXmlNode& node) {
  for (const TXmlAttr& attr : node.Attributes()) {
    out_ += ' ';
    out_ += TXmlNameTable::GetName(attr.NameId);
    out_ += "=\"";
    AppendEscapedValue(out_, attr.Value);
    out_ += '"';
  }
}

void NodeWriter::CData(std::string_view data) {
  // "]]>" cannot stand inside a section: the section ends after its first "]".
  for (std::size_t end = data.find("]]>"); end != std::string_view::npos; end = data.find("]]>")) {
    out_ += "<![CDATA[";
    out_.append(data, 0, end + 1);
    out_ += "]]>";
    data.remove_prefix(end + 1);
  }
  out_ += "<![CDATA[";
  out_ += data;
  out_ += "]]>";
}

// The stream form: the end tag goes on its own line after element children or several
// children, right after a single text-like child.
void NodeWriter::StreamElement(const TXmlElement& element, int level, bool preserve) {
  OpenTag(element, level, preserve);
  const int count = element.ChildCount();
  if (count > 0) {
    out_ += '>';
    MaybeDrain();
    Children(element, level + 1, preserve);
    if (!preserve && (count > 1 || element.ChildList()->Item(0)->GetNodeType() == kXmlNodeElement)) Indent(level);
    CloseTag(element);
  } else if (element.StoredValue().IsEmpty()) {
    out_ += "/>";
  } else {
    out_ += '>';
    AppendEscapedValue(out_, element.StoredValue());
    CloseTag(element);
  }
  MaybeDrain();
}

// The string form: the end tag goes on its own line when the content holds a line break.
void NodeWriter::StringElement(const TXmlElement& element, int level, bool preserve) {
  OpenTag(element, level, preserve);
  out_ += '>';
  const std::size_t inner = out_.size();
  if (element.ChildCount() > 0) {
    Children(element, level + 1, preserve);
  } else if (!element.StoredValue().IsEmpty()) {
    AppendEscapedValue(out_, element.StoredValue());
  }
  if (out_.size() == inner) {
    out_.back() = '/';
    out_ += '>';
    return;
  }
  if (!preserve && out_.find_first_of("\r\n", inner) != std::string::npos) {
    const std::string_view content = std::string_view(out_).substr(inner);
    if (content.size() < 2 || content.substr(content.size() - 2) != "\r\n") out_ += "\r\n";
    out_.append(static_cast<std::size_t>(level) * kXmlIndentUnit.size(), kXmlIndentUnit[0]);
  }
  CloseTag(element);
}

}  // namespace

// --- Savers ------------------------------------------------------------------------------

TXmlSaver::TXmlSaver(std::size_t capacity)
    : codePage_(platform::kCodePageUtf8), buffer_(std::max(capacity, kMinimumCapacity)) {}

void TXmlSaver::Write(std::string_view text) {
  if (Free() / 3 < text.size()) Flush();
  const std::size_t third = Capacity() / 3;
  while (text.size() > third) {
    const std::size_t cut = codePage_ == XmlTextCodePage() ? third : PieceLength(text, third);
    Write(text.substr(0, cut));
    Flush();
    text.remove_prefix(cut);
  }
  Put(text);
}

void TXmlSaver::Put(std::string_view piece) {
  if (piece.empty()) return;
  if (codePage_ == XmlTextCodePage()) {
    Append(piece);
  } else {
    Append(platform::ConvertCodePage(kXmlTargetCodePage, codePage_, piece));
  }
}

void TXmlSaver::Append(std::string_view bytes) {
  // A piece always fits by the one-third rule; should a code page ever need more room
  // than that, the output goes on through further flushes rather than past the buffer.
  while (bytes.size() > Free()) {
    const std::size_t n = Free();
    std::memcpy(buffer_.data() + position_, bytes.data(), n);
    position_ += n;
    bytes.remove_prefix(n);
    Flush();
  }
  std::memcpy(buffer_.data() + position_, bytes.data(), bytes.size());
  position_ += bytes.size();
}

TXmlStmSaver::~TXmlStmSaver() {
  try {
    Flush();
  } catch (const std::exception&) {
    // The save already failed; its own error is the one the caller sees.
  }
}

void TXmlStmSaver::Flush() {
  const std::string_view used = Used();
  Reset();
  if (used.empty() || failed_) return;
  failed_ = true;
  stream_.WriteBuffer(used.data(), used.size());
  failed_ = false;
}

// --- Nodes -------------------------------------------------------------------------------

std::string TXmlNode::GetXml() const {
  NodeWriter writer(nullptr);
  writer.Write(*this, LevelOf(*this), PreservesWhiteSpace());
  return std::move(writer.Out());
}

void TXmlNode::Save(TXmlSaver& saver) const {
  NodeWriter writer(&saver);
  try {
    writer.Write(*this, LevelOf(*this), PreservesWhiteSpace());
  } catch (const std::exception&) {
    // What was written before the failure still reaches the saver.
    try {
      writer.Drain();
    } catch (const std::exception&) {
    }
    throw;
  }
  writer.Drain();
}

std::string TXmlNodeList::GetXml() const {
  std::string out;
  for (const auto& item : items_) out += item->GetXml();
  return out;
}

// --- Document ----------------------------------------------------------------------------

int TXmlDocument::OutputCodePage() const {
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) {
    const TXmlNode* child = ChildList()->Item(i);
    if (child->GetNodeNameId() != NameTable().XmlId()) continue;
    const std::string encoding = child->GetAttrById(NameTable().EncodingId(), "");
    if (encoding.empty()) break;
    const auto codePage = XmlCodePageOfEncoding(encoding);
    if (!codePage || !platform::IsCodePageSupported(*codePage)) {
      throw Exception(Format("Encoding \"%s\" is not supported by QbXml", encoding));
    }
    return *codePage;
  }
  return platform::kCodePageUtf8;
}

void TXmlDocument::SaveToStream(TStream& stream) const {
  const int codePage = OutputCodePage();
  TXmlStmSaver saver(stream);
  saver.SetCodePage(codePage);
  Save(saver);
  saver.Flush();
}

void TXmlDocument::SaveToFile(const std::string& fileName) const {
  // Checked before the file is created, so that an existing file is not emptied for a
  // document that cannot be written anyway.
  OutputCodePage();
  const auto stream = platform::TFileStream::Create(fileName);
  SaveToStream(*stream);
}

}  // namespace qb
