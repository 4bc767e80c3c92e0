// Implementation details: a recursive-descent parser that appends each node to the tree
// as soon as it is recognised, so that a failed load keeps what came before the error.
// An element's child list is made only when its first child arrives. Names go through
// the name table once per tag; the end tag is compared with the interned name.
#include "xml/xml_reader.h"

#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

class TXmlParser {
 public:
  TXmlParser(TXmlSource& source, const Ref<TXmlNameTable>& nameTable, bool preserveWhiteSpace,
             const TXmlElementEvent& onElementEnd, const TXmlElementEvent& onElementStart)
      : src_(source),
        nameTable_(nameTable),
        names_(*nameTable),
        preserveWhiteSpace_(preserveWhiteSpace),
        onElementEnd_(onElementEnd),
        onElementStart_(onElementStart) {}

  void ParseContent(TXmlNode& parent);

 private:
  // The child list of the node being filled, made on first use.
  class Children {
   public:
    explicit Children(TXmlNode& parent) : parent_(parent) {}
    TXmlNodeList& List() {
      if (!list_) list_ = parent_.GetChildNodes();
      return *list_;
    }
    void Append(const Ref<TXmlNode>& node) { List().Insert(node, -1); }

   private:
    TXmlNode& parent_;
    Ref<TXmlNodeList> list_;
  };

  void ParseText(Children& children);
  void ParseElement(Children& children);
  void ParseProcessingInstruction(Children& children);
  void ReadAttributes(TXmlNode& node);
  XmlNameId ReadName();

  TXmlSource& src_;
  const Ref<TXmlNameTable>& nameTable_;
  TXmlNameTable& names_;
  bool preserveWhiteSpace_;
  const TXmlElementEvent& onElementEnd_;
  const TXmlElementEvent& onElementStart_;
  int depth_ = 0;
};

XmlNameId TXmlParser::ReadName() {
  std::string& name = src_.PushToken();
  src_.ReadName(name);
  const XmlNameId id = names_.GetId(name);
  src_.PopToken();
  return id;
}

void TXmlParser::ParseContent(TXmlNode& parent) {
  Children children(parent);
  while (!src_.AtEnd()) {
    if (src_.Current() != '<') ParseText(children);
    if (src_.AtEnd() || !src_.Next()) return;  // past "<"
    switch (src_.Current()) {
      case '/': return;  // an end tag: the caller takes it
      case '?': ParseProcessingInstruction(children); break;
      case '!': {
        if (!src_.Next()) return;
        std::string& data = src_.PushToken();
        if (src_.Current() == '-') {
          src_.ExpectText("--");
          src_.ReadUntil("-->", data);
          children.Append(MakeRef<TXmlComment>(nameTable_, data));
        } else if (src_.Current() == '[') {
          src_.ExpectText("[CDATA[");
          src_.ReadUntil("]]>", data);
          children.Append(MakeRef<TXmlCDATASection>(nameTable_, data));
        } else {
          // A document type declaration is skipped up to the first ">".
          src_.ExpectText("DOCTYPE");
          src_.ReadUntil(">", data);
        }
        src_.PopToken();
        break;
      }
      default: ParseElement(children); break;
    }
  }
}

void TXmlParser::ParseText(Children& children) {
  std::string& text = src_.PushToken();
  src_.ReadTextRun(text);
  const std::string_view value = preserveWhiteSpace_ ? std::string_view(text) : Trim(text);
  if (!value.empty()) children.Append(MakeRef<TXmlText>(nameTable_, Variant::FromString(std::string(value))));
  src_.PopToken();
}

void TXmlParser::ParseElement(Children& children) {
  if (depth_ >= kXmlMaxNestingDepth) src_.Error(Format("Elements nested deeper than %d levels", kXmlMaxNestingDepth));
  const XmlNameId name = ReadName();
  if (src_.AtEnd()) throw Exception("Incomplete definition of the element");
  const char c = src_.Current();
  if (static_cast<unsigned char>(c) >= 33 && c != '/' && c != '>') {
    throw Exception("Invalid symbol in the name of the element");
  }
  const auto element = MakeRef<TXmlElement>(nameTable_, name);
  children.Append(element);
  ReadAttributes(*element);
  if (onElementStart_) onElementStart_(Ref<TXmlNodeList>(&children.List()), element);
  if (src_.Current() == '/') {
    src_.ExpectText("/>");
  } else {
    src_.ExpectChar('>');
    ++depth_;
    ParseContent(*element);
    --depth_;
    src_.ExpectChar('/');
    src_.ExpectText(TXmlNameTable::GetName(name));
    src_.SkipBlanks();
    src_.ExpectChar('>');
  }
  if (onElementEnd_) onElementEnd_(Ref<TXmlNodeList>(&children.List()), element);
}

void TXmlParser::ReadAttributes(TXmlNode& node) {
  TXmlAttrLoader attributes(node);
  src_.SkipBlanks();
  while (!src_.AtEnd() && TXmlSource::IsNameStart(src_.Current())) {
    const XmlNameId name = ReadName();
    src_.SkipBlanks();
    src_.ExpectChar('=');
    src_.SkipBlanks();
    if (src_.AtEnd()) src_.Error("The value of the attribute is expected");
    if (src_.Current() != '\'' && src_.Current() != '"') src_.Error("Line constant expected");
    std::string& value = src_.PushToken();
    src_.ReadQuotedValue(value);
    attributes.Set(name, Variant::FromString(value));
    src_.PopToken();
    src_.SkipBlanks();
  }
}

void TXmlParser::ParseProcessingInstruction(Children& children) {
  src_.Next();
  const XmlNameId target = ReadName();
  const auto instruction = MakeRef<TXmlProcessingInstruction>(nameTable_, target, "");
  children.Append(instruction);
  if (target == names_.XmlId()) {
    ReadAttributes(*instruction);
    src_.ExpectText("?>");
    const std::string encoding = instruction->GetAttrById(names_.EncodingId(), "");
    if (encoding.empty()) {
      src_.SetCodePage(65001);
    } else if (const auto codePage = XmlCodePageOfEncoding(encoding)) {
      src_.SetCodePage(*codePage);
    } else {
      throw Exception(Format("Encoding \"%s\" is not supported by QbXml", encoding));
    }
    return;
  }
  std::string& data = src_.PushToken();
  src_.ReadUntil("?>", data);
  instruction->SetText(data);
  src_.PopToken();
}

}  // namespace

void XmlParse(TXmlNode& parent, TXmlSource& source, const Ref<TXmlNameTable>& nameTable, bool preserveWhiteSpace,
              const TXmlElementEvent& onElementEnd, const TXmlElementEvent& onElementStart) {
  TXmlParser(source, nameTable, preserveWhiteSpace, onElementEnd, onElementStart).ParseContent(parent);
}

}  // namespace qb
