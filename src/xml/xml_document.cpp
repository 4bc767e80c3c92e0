// Implementation details: every load empties the document first and then parses straight
// into it, so a failed load keeps the nodes read before the error. Streams are checked
// for the binary signature and for byte-order marks before the text reader sees them.
#include "xml/xml_document.h"

#include <cstring>

#include "platform/files.h"
#include "platform/resources.h"
#include "support/exception.h"
#include "xml/xml_reader.h"

namespace qb {

TXmlDocument::TXmlDocument(Ref<TXmlNameTable> nameTable)
    : TXmlNode(nameTable ? std::move(nameTable) : MakeRef<TXmlNameTable>()) {}

void TXmlDocument::SetText(std::string_view text) {
  RemoveAllChildren();
  GetChildNodes()->Insert(CreateText(text), 0);
}

Ref<TXmlNode> TXmlDocument::CloneNode(bool deep) const {
  auto clone = MakeRef<TXmlDocument>(GetNameTable());
  CopyAttributesTo(*clone);
  if (deep) CopyChildrenTo(*clone);
  return clone;
}

Ref<TXmlElement> TXmlDocument::GetDocumentElement() const {
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) {
    TXmlNode* child = ChildList()->Item(i);
    if (child->GetNodeType() == kXmlNodeElement) return Ref<TXmlElement>(static_cast<TXmlElement*>(child));
  }
  return nullptr;
}

Ref<TXmlElement> TXmlDocument::NewDocumentById(std::string_view version, std::string_view encoding, XmlNameId root) {
  RemoveAllChildren();
  const Ref<TXmlNodeList> list = GetChildNodes();
  auto declaration = CreateProcessingInstructionById(NameTable().XmlId(), "");
  declaration->SetAttr("version", version.empty() ? "1.0" : version);
  declaration->SetAttrById(NameTable().EncodingId(), encoding.empty() ? "UTF-8" : encoding);
  list->Insert(declaration, 0);
  auto element = CreateElementById(root);
  list->Insert(element, 1);
  return element;
}

Ref<TXmlElement> TXmlDocument::NewDocument(std::string_view version, std::string_view encoding, std::string_view root) {
  return NewDocumentById(version, encoding, NameTable().GetId(root));
}

Ref<TXmlElement> TXmlDocument::CreateElementById(XmlNameId name) { return MakeRef<TXmlElement>(GetNameTable(), name); }

Ref<TXmlElement> TXmlDocument::CreateElement(std::string_view name) {
  return CreateElementById(NameTable().GetId(name));
}

Ref<TXmlText> TXmlDocument::CreateText(std::string_view text) {
  return MakeRef<TXmlText>(GetNameTable(), Variant::FromString(std::string(text)));
}

Ref<TXmlCDATASection> TXmlDocument::CreateCDATASection(std::string_view data) {
  return MakeRef<TXmlCDATASection>(GetNameTable(), data);
}

Ref<TXmlComment> TXmlDocument::CreateComment(std::string_view data) {
  return MakeRef<TXmlComment>(GetNameTable(), data);
}

Ref<TXmlProcessingInstruction> TXmlDocument::CreateProcessingInstructionById(XmlNameId target, std::string_view data) {
  return MakeRef<TXmlProcessingInstruction>(GetNameTable(), target, data);
}

Ref<TXmlProcessingInstruction> TXmlDocument::CreateProcessingInstruction(std::string_view target,
                                                                         std::string_view data) {
  return CreateProcessingInstructionById(NameTable().GetId(target), data);
}

void TXmlDocument::Clear() {
  RemoveAllChildren();
  RemoveAllAttrs();
}

void TXmlDocument::LoadXml(std::string_view text) {
  if (text.size() > kXmlBinarySignature.size() && text.substr(0, kXmlBinarySignature.size()) == kXmlBinarySignature) {
    LoadBinaryXml(text);
    return;
  }
  Clear();
  // The handlers are copied: one of them may replace itself while it runs.
  const TXmlElementEvent onEnd = onElementEnd_;
  const TXmlElementEvent onStart = onElementStart_;
  TXmlSource source(text);
  XmlParse(*this, source, GetNameTable(), preserveWhiteSpace_, onEnd, onStart);
}

void TXmlDocument::LoadFromStream(TStream& stream) {
  Clear();
  const std::int64_t size = stream.GetSize() - stream.GetPosition();
  const auto signatureSize = static_cast<std::int64_t>(kXmlBinarySignature.size());
  if (size > signatureSize) {
    char signature[kXmlBinarySignature.size()];
    stream.ReadBuffer(signature, sizeof signature);
    if (std::string_view(signature, sizeof signature) == kXmlBinarySignature) {
      LoadBinaryFromStream(stream);
      return;
    }
    stream.Seek(-signatureSize, SeekOrigin::Current);
  }
  if (size > 4) {
    unsigned char mark[4];
    stream.ReadBuffer(mark, sizeof mark);
    stream.Seek(-4, SeekOrigin::Current);
    const bool utf32 = std::memcmp(mark, "\xFF\xFE\x00\x00", 4) == 0 || std::memcmp(mark, "\x00\x00\xFE\xFF", 4) == 0;
    const bool utf16 = std::memcmp(mark, "\xFF\xFE", 2) == 0 || std::memcmp(mark, "\xFE\xFF", 2) == 0;
    if (utf32 || utf16) throw Exception("Unicode Encoding is not supported by QbXml");
    if (std::memcmp(mark, "\xEF\xBB\xBF", 3) == 0) stream.Seek(3, SeekOrigin::Current);
  }
  const TXmlElementEvent onEnd = onElementEnd_;
  const TXmlElementEvent onStart = onElementStart_;
  TXmlSource source(stream);
  XmlParse(*this, source, GetNameTable(), preserveWhiteSpace_, onEnd, onStart);
}

void TXmlDocument::LoadFromFile(const std::string& fileName) {
  const auto stream = platform::TFileStream::OpenReadExclusive(fileName);
  LoadFromStream(*stream);
}

void TXmlDocument::LoadFromResource(std::string_view type, std::string_view name) {
  const auto bytes = platform::LoadModuleResource(type, name);
  if (bytes && !bytes->empty()) LoadXml(*bytes);
}

}  // namespace qb
