// IXmlDocument: the root of a tree, its name table, its white-space setting and the
// handlers that the reader calls as it builds elements; and the load operations.
#pragma once

#include <cstdint>
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
  // The binary form with options 0.
  std::string GetBinaryXml() const;
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
  // The binary form; its first 14 bytes (the signature) are skipped unchecked.
  void LoadBinaryXml(std::string_view data);
  // Binary form or XML text; Exception "Unicode Encoding is not supported by QbXml" for
  // a UTF-16 or UTF-32 byte-order mark; a UTF-8 one is skipped.
  void LoadFromStream(TStream& stream);
  // Opens the file with other writers excluded (EFOpenError "Cannot open file "%s". %s").
  void LoadFromFile(const std::string& fileName);
  // A resource of the program's own module; a missing one leaves the document unchanged.
  void LoadFromResource(std::string_view type, std::string_view name);

  // XML text in the encoding that the declaration (the first child named "xml") names,
  // UTF-8 without one; Exception "Encoding "%s" is not supported by QbXml" before
  // anything is written (or, for a file, before the file is created).
  void SaveToStream(TStream& stream) const;
  // EFCreateError "Cannot create file "%s". %s".
  void SaveToFile(const std::string& fileName) const;
  // The binary form; options bit 0 stores names and character data as UTF-16.
  void SaveBinaryToStream(TStream& stream, std::int32_t options) const;
  void SaveBinaryToFile(const std::string& fileName, std::int32_t options) const;

 private:
  // The rest of a stream whose signature has been read, in the binary form.
  void LoadBinaryFromStream(TStream& stream);
  // The output code page that SaveToStream uses.
  int OutputCodePage() const;
  void Clear();

  bool preserveWhiteSpace_ = kXmlDefaultPreserveWhiteSpace;
  TXmlElementEvent onElementEnd_;
  TXmlElementEvent onElementStart_;
};

using IXmlDocument = TXmlDocument;

}  // namespace qb
