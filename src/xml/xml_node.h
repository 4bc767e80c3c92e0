// The XML document model: reference-counted nodes with interned names and variant values.
//
// The system's interfaces map onto the node classes themselves: IXmlNode is TXmlNode,
// IXmlElement is TXmlElement and so on (aliases below), handed out as Ref<T>. The leaf
// classes are final, so "exact class" tests are GetNodeType() tests. A node's parent is
// a plain back pointer; the child list holds one reference to each child.
//
// Text in memory is 8-bit text in the program code page. Element contents are either
// child nodes or one stored value; see TXmlElement.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/ref_counted.h"
#include "support/variant.h"
#include "xml/xml_name_table.h"

namespace qb {

class TXmlNode;
class TXmlElement;
class TXmlText;
class TXmlCDATASection;
class TXmlComment;
class TXmlProcessingInstruction;
class TXmlDocument;
class TXmlSaver;

// Node type codes (GetNodeType).
enum : int {
  kXmlNodeOther = 0,
  kXmlNodeElement = 1,
  kXmlNodeText = 2,
  kXmlNodeCDATASection = 3,
  kXmlNodeProcessingInstruction = 4,
  kXmlNodeComment = 5,
  kXmlNodeDocument = 6,
};

// Unit-level settings shared by all documents.
inline constexpr bool kXmlDefaultPreserveWhiteSpace = false;
inline constexpr std::string_view kXmlIndentUnit = "\t";
inline constexpr char kXmlPathSeparator = '\\';
inline constexpr std::string_view kXmlBinarySignature = "< binary-xml >";
inline constexpr int kXmlTargetCodePage = 0;  // 0: the program code page

// The code page of the library's text in memory (kXmlTargetCodePage resolved).
int XmlTextCodePage();

// The XML text of a value (support/variant.h), with a wide string converted to program
// text first. This is also the generic text of a value that the attribute getters return.
std::string XmlTextOfValue(const Variant& value);
// A wide string variant as an 8-bit string variant; any other value unchanged.
Variant NarrowWideString(const Variant& value);

// One attribute record.
struct TXmlAttr {
  XmlNameId NameId;
  Variant Value;
};

// Sets the attributes of a node being loaded, one after another: a repeated name replaces
// the earlier value and keeps its position. Past a few attributes names are found through
// an index, so that no input makes loading quadratic.
class TXmlAttrLoader {
 public:
  explicit TXmlAttrLoader(TXmlNode& node) : node_(node) {}
  void Set(XmlNameId name, Variant value);

 private:
  TXmlNode& node_;
  std::unordered_map<XmlNameId, int> index_;
};

// IXmlNodeList: an ordered list of node references. A node's child list is owned by that
// node (the parent of every entry); a list from SelectAll has no owner and leaves the
// parents of its entries alone.
class TXmlNodeList final : public RefCounted {
 public:
  explicit TXmlNodeList(TXmlNode* owner = nullptr) : owner_(owner) {}
  ~TXmlNodeList() override;

  int GetCount() const noexcept { return static_cast<int>(items_.size()); }
  // Exception "Failed to get list item: Index %d out of range".
  Ref<TXmlNode> GetItem(int index) const;
  // Swaps two entries; nothing when either index is outside the list.
  void Exchange(int a, int b);
  // The concatenated GetXml of the entries.
  std::string GetXml() const;

  TXmlNode* Owner() const noexcept { return owner_; }
  // Unchecked access and search, for the library's own loops.
  TXmlNode* Item(int index) const noexcept { return items_[static_cast<std::size_t>(index)].get(); }
  int IndexOf(const TXmlNode* node) const noexcept;

  // Insertion into a child list (index -1 or the count: at the end). A node that has
  // another parent, belongs to another name table, or is this list's owner or one of
  // its ancestors is deep-cloned into the owner's name table and the clone inserted
  // instead; a node already in this list moves. Returns the node inserted.
  TXmlNode* Insert(const Ref<TXmlNode>& node, int index);
  // Puts `node` (under the same rule) in place of the entry at `index`.
  void Replace(int index, const Ref<TXmlNode>& node);
  // Removes an entry: its parent becomes none and the list's reference is released.
  void Delete(int index);
  void Clear();
  // Appends to a list without owner (selection results).
  void Add(Ref<TXmlNode> node);

 private:
  friend class TXmlNode;

  void Grow();
  Ref<TXmlNode> Prepare(const Ref<TXmlNode>& node);

  TXmlNode* owner_;
  std::vector<Ref<TXmlNode>> items_;
};

using IXmlNodeList = TXmlNodeList;

class TXmlNode : public RefCounted {
 public:
  // --- IXmlNode ----------------------------------------------------------------------
  Ref<TXmlNameTable> GetNameTable() const { return nameTable_; }
  TXmlNameTable& NameTable() const noexcept { return *nameTable_; }
  const std::string& GetNodeName() const { return TXmlNameTable::GetName(GetNodeNameId()); }
  virtual XmlNameId GetNodeNameId() const = 0;
  virtual int GetNodeType() const { return kXmlNodeOther; }
  virtual std::string GetText() const = 0;
  virtual void SetText(std::string_view text) = 0;
  virtual VarType GetDataType() const { return VarType::String; }
  virtual Variant GetTypedValue() const { return Variant::FromString(GetText()); }
  virtual void SetTypedValue(const Variant& value) { SetText(XmlTextOfValue(value)); }
  // The node as XML text in program text (the string form of the writer).
  std::string GetXml() const;
  // Writes the node to a saver (the stream form: converted, indented unless white space
  // is preserved).
  void Save(TXmlSaver& saver) const;
  virtual Ref<TXmlNode> CloneNode(bool deep) const = 0;
  Ref<TXmlNode> GetParentNode() const { return Ref<TXmlNode>(parent_); }
  Ref<TXmlDocument> GetOwnerDocument() const;
  virtual Ref<TXmlNodeList> GetChildNodes();

  void AppendChild(const Ref<TXmlNode>& node);
  void InsertBefore(const Ref<TXmlNode>& node, const Ref<TXmlNode>& before);
  void ReplaceChild(const Ref<TXmlNode>& newNode, const Ref<TXmlNode>& oldNode);
  int RemoveChild(const Ref<TXmlNode>& node);
  void ExchangeChildren(const Ref<TXmlNode>& a, const Ref<TXmlNode>& b);
  Ref<TXmlElement> AppendElementById(XmlNameId name);
  Ref<TXmlElement> AppendElement(std::string_view name);
  Ref<TXmlText> AppendText(std::string_view text);
  Ref<TXmlCDATASection> AppendCDATA(std::string_view data);
  Ref<TXmlComment> AppendComment(std::string_view data);
  Ref<TXmlProcessingInstruction> AppendProcessingInstructionById(XmlNameId target, std::string_view data);
  Ref<TXmlProcessingInstruction> AppendProcessingInstruction(std::string_view target, std::string_view data);
  std::string GetChildText(std::string_view name, std::string_view fallback) const;
  std::string GetChildTextById(XmlNameId name, std::string_view fallback) const;
  void SetChildText(std::string_view name, std::string_view value);
  void SetChildTextById(XmlNameId name, std::string_view value);
  // Exception "Error: Child node "%s" not found".
  Ref<TXmlNode> RequireChildById(XmlNameId name) const;
  Ref<TXmlNode> RequireChild(std::string_view name) const;
  Ref<TXmlNode> ObtainChildById(XmlNameId name);
  Ref<TXmlNode> ObtainChild(std::string_view name);
  void RemoveAllChildren();
  // Name or path ("a\b\c"); Exception "This feature is not supported by QbXml" otherwise.
  Ref<TXmlNodeList> SelectAll(std::string_view expr) const;
  Ref<TXmlNode> SelectFirst(std::string_view expr) const;
  std::string GetFullPath() const;
  Ref<TXmlElement> FindElementByAttr(std::string_view elementName, std::string_view attrName,
                                     const Variant& value) const;

  int GetAttrCount() const noexcept { return static_cast<int>(attrs_.size()); }
  // The index must lie in 0..count-1; Exception "Attribute index %d out of range" otherwise.
  XmlNameId GetAttrNameId(int index) const;
  const std::string& GetAttrName(int index) const { return TXmlNameTable::GetName(GetAttrNameId(index)); }
  void RemoveAttr(std::string_view name);
  void RemoveAttrById(XmlNameId name);
  void RemoveAllAttrs() noexcept { attrs_.clear(); }
  bool AttrExistsById(XmlNameId name) const noexcept { return FindAttr(name) != nullptr; }
  bool AttrExists(std::string_view name) const { return AttrExistsById(nameTable_->GetId(name)); }
  VarType GetAttrTypeById(XmlNameId name) const;
  VarType GetAttrType(std::string_view name) const;
  Variant GetVarAttrById(XmlNameId name, const Variant& fallback) const;
  Variant GetVarAttr(std::string_view name, const Variant& fallback) const;
  void SetVarAttrById(XmlNameId name, Variant value);
  void SetVarAttr(std::string_view name, Variant value);
  // Exception "Attribute "%s" not assigned".
  std::string RequireAttrById(XmlNameId name) const;
  std::string RequireAttr(std::string_view name) const;
  std::string GetAttrById(XmlNameId name, std::string_view fallback) const;
  std::string GetAttr(std::string_view name, std::string_view fallback) const;
  void SetAttrById(XmlNameId name, std::string_view value);
  void SetAttr(std::string_view name, std::string_view value);
  std::string GetBytesAttrById(XmlNameId name, std::string_view fallback) const;
  std::string GetBytesAttr(std::string_view name, std::string_view fallback) const;
  bool GetBoolAttrById(XmlNameId name, bool fallback) const;
  bool GetBoolAttr(std::string_view name, bool fallback) const;
  void SetBoolAttrById(XmlNameId name, bool value);
  void SetBoolAttr(std::string_view name, bool value);
  std::int32_t GetIntAttrById(XmlNameId name, std::int32_t fallback) const;
  std::int32_t GetIntAttr(std::string_view name, std::int32_t fallback) const;
  void SetIntAttrById(XmlNameId name, std::int32_t value);
  void SetIntAttr(std::string_view name, std::int32_t value);
  TDateTime GetDateTimeAttrById(XmlNameId name, TDateTime fallback) const;
  TDateTime GetDateTimeAttr(std::string_view name, TDateTime fallback) const;
  void SetDateTimeAttrById(XmlNameId name, TDateTime value);
  void SetDateTimeAttr(std::string_view name, TDateTime value);
  double GetFloatAttrById(XmlNameId name, double fallback) const;
  double GetFloatAttr(std::string_view name, double fallback) const;
  void SetFloatAttrById(XmlNameId name, double value);
  void SetFloatAttr(std::string_view name, double value);
  std::int32_t GetHexAttr(std::string_view name, std::int32_t fallback) const;
  std::int32_t GetHexAttrById(XmlNameId name, std::int32_t fallback) const;
  void SetHexAttr(std::string_view name, std::int32_t value, int digits);
  void SetHexAttrById(XmlNameId name, std::int32_t value, int digits);
  int GetEnumAttr(std::string_view name, const std::vector<std::string>& values, int fallback) const;
  int GetEnumAttrById(XmlNameId name, const std::vector<std::string>& values, int fallback) const;
  // Exception "Attribute "%s" not found" when absent.
  int RequireEnumAttr(std::string_view name, const std::vector<std::string>& values) const;
  int RequireEnumAttrById(XmlNameId name, const std::vector<std::string>& values) const;
  // "" : the typed value; "@name": an attribute; otherwise SelectFirst's typed value.
  Variant GetValue(std::string_view name) const;
  void SetValue(std::string_view name, const Variant& value);

  Ref<TXmlElement> AsElement();
  Ref<TXmlText> AsText();
  Ref<TXmlCDATASection> AsCDATASection();
  Ref<TXmlComment> AsComment();
  Ref<TXmlProcessingInstruction> AsProcessingInstruction();

  // --- Library access ------------------------------------------------------------------
  TXmlNode* ParentNode() const noexcept { return parent_; }
  // The child list if it exists (no creation, no conversion of a stored value).
  TXmlNodeList* ChildList() const noexcept { return childNodes_.get(); }
  int ChildCount() const noexcept { return childNodes_ ? childNodes_->GetCount() : 0; }
  const std::vector<TXmlAttr>& Attributes() const noexcept { return attrs_; }
  const TXmlAttr* FindAttr(XmlNameId name) const noexcept;
  // The owning document's preserve-white-space flag, or the unit default.
  bool PreservesWhiteSpace() const;
  // Appends an attribute without looking for an earlier one of that name.
  void AppendAttr(XmlNameId name, Variant value);
  // Replaces the value of the attribute at `index` (0..count-1).
  void SetAttrValue(int index, Variant value) { attrs_[static_cast<std::size_t>(index)].Value = std::move(value); }
  // Re-interns every name of this subtree into `table`, which it then holds.
  void MoveToNameTable(const Ref<TXmlNameTable>& table);

 protected:
  explicit TXmlNode(Ref<TXmlNameTable> nameTable) : nameTable_(std::move(nameTable)) {}
  ~TXmlNode() override;

  // Used when a node moves to another name table; only elements and processing
  // instructions store a name.
  virtual void SetNodeNameId(XmlNameId) {}
  // Copies attributes and (deep) children into a fresh clone.
  void CopyAttributesTo(TXmlNode& clone) const { clone.attrs_ = attrs_; }
  void CopyChildrenTo(TXmlNode& clone) const;
  // The joined texts of the direct text and CDATA children (element and document).
  std::string JoinedChildText() const;
  std::string TrimUnlessPreserved(std::string_view text) const;
  void RemoveTextChildren();

 private:
  friend class TXmlNodeList;
  friend class TXmlAttrLoader;

  int FindChildIndex(XmlNameId name) const noexcept;

  TXmlNode* parent_ = nullptr;
  Ref<TXmlNameTable> nameTable_;
  std::vector<TXmlAttr> attrs_;
  Ref<TXmlNodeList> childNodes_;
};

// IXmlElement. Holds child nodes or one stored value: setting its text or typed value
// removes the children and stores the value; asking for the child list turns a stored
// value into a text child first.
class TXmlElement final : public TXmlNode {
 public:
  TXmlElement(Ref<TXmlNameTable> nameTable, XmlNameId name) : TXmlNode(std::move(nameTable)), name_(name) {}

  XmlNameId GetNodeNameId() const override { return name_; }
  int GetNodeType() const override { return kXmlNodeElement; }
  std::string GetText() const override;
  void SetText(std::string_view text) override;
  VarType GetDataType() const override;
  Variant GetTypedValue() const override;
  void SetTypedValue(const Variant& value) override;
  Ref<TXmlNode> CloneNode(bool deep) const override;
  Ref<TXmlNodeList> GetChildNodes() override;

  // Replaces the text and CDATA children by CDATA sections; "]]>" splits a section.
  void ReplaceTextByCDATA(std::string_view text);
  // Replaces the text and CDATA children by one text child holding the Base64 of the
  // bytes, broken by CR LF into lines of `lineLength` characters when it is at least 1.
  void ReplaceTextByBinaryData(const void* data, std::size_t size, int lineLength);
  // The bytes that the text encodes in Base64 (white space ignored).
  std::string GetTextAsBinaryData() const;

  const Variant& StoredValue() const noexcept { return value_; }

 protected:
  void SetNodeNameId(XmlNameId name) override { name_ = name; }

 private:
  XmlNameId name_;
  Variant value_;
};

// IXmlCharacterData: the base of CDATA sections and comments.
class TXmlCharacterData : public TXmlNode {
 public:
  std::string GetText() const override { return TrimUnlessPreserved(data_); }
  void SetText(std::string_view text) override { data_.assign(text); }
  const std::string& GetData() const noexcept { return data_; }

 protected:
  TXmlCharacterData(Ref<TXmlNameTable> nameTable, std::string_view data)
      : TXmlNode(std::move(nameTable)), data_(data) {}

 private:
  std::string data_;
};

// IXmlText: a text node holds a value, not a string.
class TXmlText final : public TXmlNode {
 public:
  TXmlText(Ref<TXmlNameTable> nameTable, Variant value) : TXmlNode(std::move(nameTable)), value_(std::move(value)) {}

  XmlNameId GetNodeNameId() const override { return NameTable().TextId(); }
  int GetNodeType() const override { return kXmlNodeText; }
  std::string GetText() const override { return TrimUnlessPreserved(XmlTextOfValue(value_)); }
  void SetText(std::string_view text) override { value_ = Variant::FromString(std::string(text)); }
  VarType GetDataType() const override { return value_.Type(); }
  Variant GetTypedValue() const override { return value_; }
  void SetTypedValue(const Variant& value) override { value_ = value; }
  Ref<TXmlNode> CloneNode(bool deep) const override;

  const Variant& Value() const noexcept { return value_; }

 private:
  Variant value_;
};

class TXmlCDATASection final : public TXmlCharacterData {
 public:
  TXmlCDATASection(Ref<TXmlNameTable> nameTable, std::string_view data)
      : TXmlCharacterData(std::move(nameTable), data) {}
  XmlNameId GetNodeNameId() const override { return NameTable().CDATAId(); }
  int GetNodeType() const override { return kXmlNodeCDATASection; }
  Ref<TXmlNode> CloneNode(bool deep) const override;
};

class TXmlComment final : public TXmlCharacterData {
 public:
  TXmlComment(Ref<TXmlNameTable> nameTable, std::string_view data) : TXmlCharacterData(std::move(nameTable), data) {}
  XmlNameId GetNodeNameId() const override { return NameTable().CommentId(); }
  int GetNodeType() const override { return kXmlNodeComment; }
  Ref<TXmlNode> CloneNode(bool deep) const override;
};

// IXmlProcessingInstruction. The XML declaration is the one with the target "xml"; it
// keeps version and encoding as attributes.
class TXmlProcessingInstruction final : public TXmlNode {
 public:
  TXmlProcessingInstruction(Ref<TXmlNameTable> nameTable, XmlNameId target, std::string_view data)
      : TXmlNode(std::move(nameTable)), target_(target), data_(data) {}

  XmlNameId GetNodeNameId() const override { return target_; }
  int GetNodeType() const override { return kXmlNodeProcessingInstruction; }
  std::string GetText() const override { return data_; }
  void SetText(std::string_view text) override { data_.assign(text); }
  Ref<TXmlNode> CloneNode(bool deep) const override;
  const std::string& GetData() const noexcept { return data_; }

 protected:
  void SetNodeNameId(XmlNameId target) override { target_ = target; }

 private:
  XmlNameId target_;
  std::string data_;
};

using IXmlNode = TXmlNode;
using IXmlElement = TXmlElement;
using IXmlCharacterData = TXmlCharacterData;
using IXmlText = TXmlText;
using IXmlCDATASection = TXmlCDATASection;
using IXmlComment = TXmlComment;
using IXmlProcessingInstruction = TXmlProcessingInstruction;

}  // namespace qb
