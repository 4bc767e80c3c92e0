// IXmlDocument: the root of a tree, its name table, its white-space setting and the
// handlers that the reader calls as it builds elements; and the load operations.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "support/stream.h"
#include "xml/xml_node.h"

namespace qb {

// Called by the reader with the child list an element was added to and the element:
// OnElementStart after the start tag's attributes, OnElementEnd after its end tag.
using TXmlElementEvent = std::function<void(const Ref<TXmlNodeList>& list, const Ref<TXmlNode>& element)>;

class TXmlDocument final : public TXmlNode {
 public:
  // Without a name table the document makes its own (499 buckets).
  explicit TXmlDocument(Ref<TXmlNameTable> nameTable = nullptr);

  XmlNameId GetNodeNameId() const override { return NameTable().DocumentId(); }
  int GetNodeType() const override { return kXmlNodeDocument; }
  // The joined texts of the direct text and CDATA children.
  std::string GetText() const override { return JoinedChildText(); }
  // Removes all children and inserts one text node holding the text.
  void SetText(std::string_view text) override;
  Ref<TXmlNode> CloneNode(bool deep) const override;

  // --- IXmlDocument ------------------------------------------------------------------
  // The first child that is an element, or none.
  Ref<TXmlElement> GetDocumentElement() const;
  bool GetPreserveWhiteSpace() const noexcept { return preserveWhiteSpace_; }
  void SetPreserveWhiteSpace(bool value) noexcept { preserveWhiteSpace_ = value; }
  const TXmlElementEvent& GetOnElementEnd() const noexcept { return onElementEnd_; }
  void SetOnElementEnd(TXmlElementEvent handler) { onElementEnd_ = std::move(handler); }
  const TXmlElementEvent& GetOnElementStart() const noexcept { return onElementStart_; }
  void SetOnElementStart(TXmlElementEvent handler) { onElementStart_ = std::move(handler); }
  // Empties the document, then adds the declaration <?xml version encoding?> (defaults
  // "1.0" and "UTF-8") and the root element, which it returns.
  Ref<TXmlElement> NewDocumentById(std::string_view version, std::string_view encoding, XmlNameId root);
  Ref<TXmlElement> NewDocument(std::string_view version, std::string_view encoding, std::string_view root);
  // New nodes of this document's name table, without parent.
  Ref<TXmlElement> CreateElementById(XmlNameId name);
  Ref<TXmlElement> CreateElement(std::string_view name);
  Ref<TXmlText> CreateText(std::string_view text);
  Ref<TXmlCDATASection> CreateCDATASection(std::string_view data);
  Ref<TXmlComment> CreateComment(std::string_view data);
  Ref<TXmlProcessingInstruction> CreateProcessingInstruction(std::string_view target, std::string_view data);
  Ref<TXmlProcessingInstruction> CreateProcessingInstructionById(XmlNameId target, std::string_view data);

  // Every load first removes the children and attributes; a failed load keeps what was
  // parsed before the error.
  // XML text (or the binary form when the text starts with its signature).
  void LoadXml(std::string_view text);
  // Binary form or XML text; Exception "Unicode Encoding is not supported by QbXml" for
  // a UTF-16 or UTF-32 byte-order mark; a UTF-8 one is skipped.
  void LoadFromStream(TStream& stream);
  // Opens the file with other writers excluded (EFOpenError "Cannot open file "%s". %s").
  void LoadFromFile(const std::string& fileName);
  // A resource of the program's own module; a missing one leaves the document unchanged.
  void LoadFromResource(std::string_view type, std::string_view name);

 private:
  // Where the binary form plugs into the loads.
  void LoadBinaryFromStream(TStream& stream);
  void LoadBinaryXml(std::string_view data);
  void Clear();

  bool preserveWhiteSpace_ = kXmlDefaultPreserveWhiteSpace;
  TXmlElementEvent onElementEnd_;
  TXmlElementEvent onElementStart_;
};

using IXmlDocument = TXmlDocument;

}  // namespace qb
