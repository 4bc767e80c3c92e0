// Implementation details: the tree keeps one invariant, a node's parent pointer is the
// owner of the child list that holds it (or none). Every path that changes a child list
// goes through TXmlNodeList::Insert/Replace/Delete/Clear, which maintain it; a node that
// dies first detaches its list so that children outliving it never point at freed memory.
// Read-only scans use the raw child list, so that looking for a child never turns an
// element's stored value into a text node.
#include "xml/xml_node.h"

#include "platform/locale.h"
#include "support/base64.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"
#include "xml/xml_document.h"

namespace qb {
namespace {

bool IsNameStart(unsigned char c) { return c == '_' || platform::IsCharAlpha(c); }
bool IsNameChar(unsigned char c) {
  return platform::IsCharAlphaNumeric(c) || c == '-' || c == '.' || c == ':' || c == '_';
}

// A name for the selection operations; anything else must be a path.
bool IsSelectionName(std::string_view text) {
  if (text.empty() || !IsNameStart(static_cast<unsigned char>(text[0]))) return false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (!IsNameChar(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool IsTextKind(const TXmlNode* node) {
  const int type = node->GetNodeType();
  return type == kXmlNodeText || type == kXmlNodeCDATASection;
}

template <typename T>
Ref<T> As(TXmlNode* node, int type) {
  return node->GetNodeType() == type ? Ref<T>(static_cast<T*>(node)) : Ref<T>();
}

}  // namespace

// --- TXmlNodeList ------------------------------------------------------------------------

TXmlNodeList::~TXmlNodeList() {
  if (owner_) {
    for (const auto& item : items_) item->parent_ = nullptr;
  }
}

Ref<TXmlNode> TXmlNodeList::GetItem(int index) const {
  if (index < 0 || index >= GetCount())
    throw Exception(Format("Failed to get list item: Index %d out of range", index));
  return items_[static_cast<std::size_t>(index)];
}

void TXmlNodeList::Exchange(int a, int b) {
  if (a < 0 || b < 0 || a >= GetCount() || b >= GetCount()) return;
  items_[static_cast<std::size_t>(a)].swap(items_[static_cast<std::size_t>(b)]);
}

int TXmlNodeList::IndexOf(const TXmlNode* node) const noexcept {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == node) return static_cast<int>(i);
  }
  return -1;
}

// Capacity grows by 4 while it is at most 8, by 16 while at most 64, then by a quarter.
void TXmlNodeList::Grow() {
  const std::size_t capacity = items_.capacity();
  if (items_.size() < capacity) return;
  items_.reserve(capacity + (capacity <= 8 ? 4 : capacity <= 64 ? 16 : capacity / 4));
}

Ref<TXmlNode> TXmlNodeList::Prepare(const Ref<TXmlNode>& node) {
  if (!node) throw EInvalidCast("Invalid class typecast");
  if (!owner_) return node;
  bool clone = (node->parent_ && node->parent_ != owner_) || node->nameTable_ != owner_->nameTable_;
  // The owner itself or one of its ancestors would make a cycle: it goes in as a copy.
  if (!clone && (node.get() == owner_ || node->ChildCount() > 0)) {
    for (const TXmlNode* p = owner_; p; p = p->parent_) {
      if (p == node.get()) {
        clone = true;
        break;
      }
    }
  }
  if (!clone) return node;
  Ref<TXmlNode> copy = node->CloneNode(true);
  if (copy->nameTable_ != owner_->nameTable_) copy->MoveToNameTable(owner_->nameTable_);
  return copy;
}

TXmlNode* TXmlNodeList::Insert(const Ref<TXmlNode>& node, int index) {
  Ref<TXmlNode> item = Prepare(node);
  if (owner_ && item->parent_ == owner_) {
    // Already one of ours: it moves instead of appearing twice.
    const int from = IndexOf(item.get());
    if (from >= 0) {
      items_.erase(items_.begin() + from);
      if (index > from) --index;
    }
  }
  if (index < 0 || index > GetCount()) index = GetCount();
  Grow();
  items_.insert(items_.begin() + index, item);
  if (owner_) item->parent_ = owner_;
  return item.get();
}

void TXmlNodeList::Replace(int index, const Ref<TXmlNode>& node) {
  if (index < 0 || index >= GetCount() || items_[static_cast<std::size_t>(index)] == node) return;
  Ref<TXmlNode> item = Prepare(node);
  if (owner_ && item->parent_ == owner_) {
    const int from = IndexOf(item.get());
    if (from >= 0) {
      items_.erase(items_.begin() + from);
      if (from < index) --index;
    }
  }
  Ref<TXmlNode> old = std::exchange(items_[static_cast<std::size_t>(index)], item);
  if (owner_) {
    old->parent_ = nullptr;
    item->parent_ = owner_;
  }
}

void TXmlNodeList::Delete(int index) {
  if (index < 0 || index >= GetCount()) return;
  Ref<TXmlNode> node = std::move(items_[static_cast<std::size_t>(index)]);
  items_.erase(items_.begin() + index);
  if (owner_) node->parent_ = nullptr;
}

void TXmlNodeList::Clear() {
  std::vector<Ref<TXmlNode>> items;
  items.swap(items_);
  if (owner_) {
    for (const auto& item : items) item->parent_ = nullptr;
  }
}

void TXmlNodeList::Add(Ref<TXmlNode> node) {
  Grow();
  items_.push_back(std::move(node));
}

// --- TXmlNode: tree ------------------------------------------------------------------------

TXmlNode::~TXmlNode() {
  // A caller may still hold the child list: it outlives us without an owner.
  if (childNodes_) {
    for (const auto& item : childNodes_->items_) item->parent_ = nullptr;
    childNodes_->owner_ = nullptr;
  }
}

Ref<TXmlDocument> TXmlNode::GetOwnerDocument() const {
  for (const TXmlNode* n = this; n; n = n->parent_) {
    if (n->GetNodeType() == kXmlNodeDocument) {
      return Ref<TXmlDocument>(static_cast<TXmlDocument*>(const_cast<TXmlNode*>(n)));
    }
  }
  return nullptr;
}

bool TXmlNode::PreservesWhiteSpace() const {
  for (const TXmlNode* n = this; n; n = n->parent_) {
    if (n->GetNodeType() == kXmlNodeDocument) return static_cast<const TXmlDocument*>(n)->GetPreserveWhiteSpace();
  }
  return kXmlDefaultPreserveWhiteSpace;
}

std::string TXmlNode::TrimUnlessPreserved(std::string_view text) const {
  return std::string(PreservesWhiteSpace() ? text : Trim(text));
}

Ref<TXmlNodeList> TXmlNode::GetChildNodes() {
  if (!childNodes_) childNodes_ = MakeRef<TXmlNodeList>(this);
  return childNodes_;
}

void TXmlNode::AppendChild(const Ref<TXmlNode>& node) { GetChildNodes()->Insert(node, -1); }

void TXmlNode::InsertBefore(const Ref<TXmlNode>& node, const Ref<TXmlNode>& before) {
  const Ref<TXmlNodeList> list = GetChildNodes();
  list->Insert(node, before ? list->IndexOf(before.get()) : -1);
}

void TXmlNode::ReplaceChild(const Ref<TXmlNode>& newNode, const Ref<TXmlNode>& oldNode) {
  if (!childNodes_ || !oldNode) return;
  const int index = childNodes_->IndexOf(oldNode.get());
  if (index >= 0) childNodes_->Replace(index, newNode);
}

int TXmlNode::RemoveChild(const Ref<TXmlNode>& node) {
  if (!childNodes_) return -1;
  const int index = childNodes_->IndexOf(node.get());
  if (index >= 0) childNodes_->Delete(index);
  return index;
}

void TXmlNode::ExchangeChildren(const Ref<TXmlNode>& a, const Ref<TXmlNode>& b) {
  if (!childNodes_) return;
  const int ia = childNodes_->IndexOf(a.get());
  const int ib = childNodes_->IndexOf(b.get());
  if (ia >= 0 && ib >= 0) childNodes_->Exchange(ia, ib);
}

Ref<TXmlElement> TXmlNode::AppendElementById(XmlNameId name) {
  auto element = MakeRef<TXmlElement>(nameTable_, name);
  GetChildNodes()->Insert(element, -1);
  return element;
}

Ref<TXmlElement> TXmlNode::AppendElement(std::string_view name) { return AppendElementById(nameTable_->GetId(name)); }

Ref<TXmlText> TXmlNode::AppendText(std::string_view text) {
  auto node = MakeRef<TXmlText>(nameTable_, Variant::FromString(std::string(text)));
  GetChildNodes()->Insert(node, -1);
  return node;
}

Ref<TXmlCDATASection> TXmlNode::AppendCDATA(std::string_view data) {
  auto node = MakeRef<TXmlCDATASection>(nameTable_, data);
  GetChildNodes()->Insert(node, -1);
  return node;
}

Ref<TXmlComment> TXmlNode::AppendComment(std::string_view data) {
  auto node = MakeRef<TXmlComment>(nameTable_, data);
  GetChildNodes()->Insert(node, -1);
  return node;
}

Ref<TXmlProcessingInstruction> TXmlNode::AppendProcessingInstructionById(XmlNameId target, std::string_view data) {
  auto node = MakeRef<TXmlProcessingInstruction>(nameTable_, target, data);
  GetChildNodes()->Insert(node, -1);
  return node;
}

Ref<TXmlProcessingInstruction> TXmlNode::AppendProcessingInstruction(std::string_view target, std::string_view data) {
  return AppendProcessingInstructionById(nameTable_->GetId(target), data);
}

int TXmlNode::FindChildIndex(XmlNameId name) const noexcept {
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) {
    if (childNodes_->Item(i)->GetNodeNameId() == name) return i;
  }
  return -1;
}

std::string TXmlNode::GetChildTextById(XmlNameId name, std::string_view fallback) const {
  const int index = FindChildIndex(name);
  return index >= 0 ? childNodes_->Item(index)->GetText() : std::string(fallback);
}

std::string TXmlNode::GetChildText(std::string_view name, std::string_view fallback) const {
  return GetChildTextById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetChildTextById(XmlNameId name, std::string_view value) { ObtainChildById(name)->SetText(value); }

void TXmlNode::SetChildText(std::string_view name, std::string_view value) {
  SetChildTextById(nameTable_->GetId(name), value);
}

Ref<TXmlNode> TXmlNode::RequireChildById(XmlNameId name) const {
  const int index = FindChildIndex(name);
  if (index < 0) throw Exception(Format("Error: Child node \"%s\" not found", TXmlNameTable::GetName(name)));
  return Ref<TXmlNode>(childNodes_->Item(index));
}

Ref<TXmlNode> TXmlNode::RequireChild(std::string_view name) const { return RequireChildById(nameTable_->GetId(name)); }

Ref<TXmlNode> TXmlNode::ObtainChildById(XmlNameId name) {
  const int index = FindChildIndex(name);
  if (index >= 0) return Ref<TXmlNode>(childNodes_->Item(index));
  return AppendElementById(name);
}

Ref<TXmlNode> TXmlNode::ObtainChild(std::string_view name) { return ObtainChildById(nameTable_->GetId(name)); }

void TXmlNode::RemoveAllChildren() {
  if (childNodes_) childNodes_->Clear();
}

void TXmlNode::RemoveTextChildren() {
  for (int i = ChildCount() - 1; i >= 0; --i) {
    if (IsTextKind(childNodes_->Item(i))) childNodes_->Delete(i);
  }
}

std::string TXmlNode::JoinedChildText() const {
  std::string result;
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) {
    const TXmlNode* child = childNodes_->Item(i);
    if (!IsTextKind(child)) continue;
    const std::string piece = child->GetText();
    if (piece.empty()) continue;
    if (!result.empty()) result += ' ';
    result += piece;
  }
  return result;
}

void TXmlNode::CopyChildrenTo(TXmlNode& clone) const {
  const int count = ChildCount();
  if (count == 0) return;
  clone.childNodes_ = MakeRef<TXmlNodeList>(&clone);
  for (int i = 0; i < count; ++i) clone.childNodes_->Insert(childNodes_->Item(i)->CloneNode(true), -1);
}

void TXmlNode::MoveToNameTable(const Ref<TXmlNameTable>& table) {
  if (table == nameTable_) return;
  const XmlNameId name = GetNodeNameId();
  SetNodeNameId(table->GetId(TXmlNameTable::GetName(name)));
  for (TXmlAttr& attr : attrs_) attr.NameId = table->GetId(TXmlNameTable::GetName(attr.NameId));
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) childNodes_->Item(i)->MoveToNameTable(table);
  nameTable_ = table;  // last: the names above still point into the old table
}

// --- Selection ---------------------------------------------------------------------------

Ref<TXmlNode> TXmlNode::SelectFirst(std::string_view expr) const {
  if (IsSelectionName(expr)) {
    const XmlNameId name = nameTable_->GetId(expr);
    const int count = ChildCount();
    for (int i = 0; i < count; ++i) {
      TXmlNode* child = childNodes_->Item(i);
      if (child->GetNodeType() == kXmlNodeElement && child->GetNodeNameId() == name) return Ref<TXmlNode>(child);
    }
    return nullptr;
  }
  const std::size_t separator = expr.find(kXmlPathSeparator);
  if (separator == std::string_view::npos) throw Exception("This feature is not supported by QbXml");
  const Ref<TXmlNode> head = SelectFirst(expr.substr(0, separator));
  return head ? head->SelectFirst(expr.substr(separator + 1)) : nullptr;
}

Ref<TXmlNodeList> TXmlNode::SelectAll(std::string_view expr) const {
  if (IsSelectionName(expr)) {
    const XmlNameId name = nameTable_->GetId(expr);
    auto list = MakeRef<TXmlNodeList>();
    const int count = ChildCount();
    for (int i = 0; i < count; ++i) {
      TXmlNode* child = childNodes_->Item(i);
      if (child->GetNodeType() == kXmlNodeElement && child->GetNodeNameId() == name) list->Add(Ref<TXmlNode>(child));
    }
    return list;
  }
  const std::size_t separator = expr.find(kXmlPathSeparator);
  if (separator == std::string_view::npos) throw Exception("This feature is not supported by QbXml");
  const Ref<TXmlNode> head = SelectFirst(expr.substr(0, separator));
  return head ? head->SelectAll(expr.substr(separator + 1)) : nullptr;
}

std::string TXmlNode::GetFullPath() const {
  if (!parent_) return "";
  std::vector<const TXmlNode*> chain;
  for (const TXmlNode* n = this; n && n->GetNodeType() != kXmlNodeDocument; n = n->parent_) chain.push_back(n);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += kXmlPathSeparator;
    path += (*it)->GetNodeName();
  }
  return path;
}

Ref<TXmlElement> TXmlNode::FindElementByAttr(std::string_view elementName, std::string_view attrName,
                                             const Variant& value) const {
  const XmlNameId element = nameTable_->GetId(elementName);
  const XmlNameId attrId = nameTable_->GetId(attrName);
  const Variant wanted = NarrowWideString(value);
  const int count = ChildCount();
  for (int i = 0; i < count; ++i) {
    TXmlNode* child = childNodes_->Item(i);
    if (child->GetNodeType() != kXmlNodeElement || child->GetNodeNameId() != element) continue;
    const TXmlAttr* attr = child->FindAttr(attrId);
    if (!attr) continue;
    try {
      if (VariantEquals(NarrowWideString(attr->Value), wanted))
        return Ref<TXmlElement>(static_cast<TXmlElement*>(child));
    } catch (const Exception&) {
      // A comparison that cannot be made counts as unequal.
    }
  }
  return nullptr;
}

Ref<TXmlElement> TXmlNode::AsElement() { return As<TXmlElement>(this, kXmlNodeElement); }
Ref<TXmlText> TXmlNode::AsText() { return As<TXmlText>(this, kXmlNodeText); }
Ref<TXmlCDATASection> TXmlNode::AsCDATASection() { return As<TXmlCDATASection>(this, kXmlNodeCDATASection); }
Ref<TXmlComment> TXmlNode::AsComment() { return As<TXmlComment>(this, kXmlNodeComment); }
Ref<TXmlProcessingInstruction> TXmlNode::AsProcessingInstruction() {
  return As<TXmlProcessingInstruction>(this, kXmlNodeProcessingInstruction);
}

// --- Node kinds ----------------------------------------------------------------------------

std::string TXmlElement::GetText() const {
  if (ChildCount() > 0) return JoinedChildText();
  return value_.IsEmpty() ? std::string() : XmlTextOfValue(value_);
}

void TXmlElement::SetText(std::string_view text) {
  RemoveAllChildren();
  value_ = Variant::FromString(std::string(text));
}

VarType TXmlElement::GetDataType() const {
  return ChildCount() > 0 || value_.IsEmpty() ? VarType::String : value_.Type();
}

Variant TXmlElement::GetTypedValue() const {
  return ChildCount() > 0 ? Variant::FromString(JoinedChildText()) : value_;
}

void TXmlElement::SetTypedValue(const Variant& value) {
  RemoveAllChildren();
  value_ = value;
}

Ref<TXmlNodeList> TXmlElement::GetChildNodes() {
  Ref<TXmlNodeList> list = TXmlNode::GetChildNodes();
  if (!value_.IsEmpty()) {
    list->Insert(MakeRef<TXmlText>(GetNameTable(), std::move(value_)), -1);
    value_ = Variant();
  }
  return list;
}

Ref<TXmlNode> TXmlElement::CloneNode(bool deep) const {
  auto clone = MakeRef<TXmlElement>(GetNameTable(), name_);
  clone->value_ = value_;
  CopyAttributesTo(*clone);
  if (deep) CopyChildrenTo(*clone);
  return clone;
}

void TXmlElement::ReplaceTextByCDATA(std::string_view text) {
  // A stored value is the element's text as well; left in place, the append below
  // would turn it into a text child that survives the replacement.
  value_ = Variant();
  RemoveTextChildren();
  for (std::size_t end = text.find("]]>"); end != std::string_view::npos; end = text.find("]]>")) {
    AppendCDATA(text.substr(0, end + 1));
    text.remove_prefix(end + 1);
  }
  AppendCDATA(text);
}

void TXmlElement::ReplaceTextByBinaryData(const void* data, std::size_t size, int lineLength) {
  value_ = Variant();
  RemoveTextChildren();
  const std::string encoded = Base64Encode(std::string_view(static_cast<const char*>(data), size));
  if (lineLength < 1) {
    AppendText(encoded);
    return;
  }
  const auto line = static_cast<std::size_t>(lineLength);
  std::string text;
  text.reserve(encoded.size() + encoded.size() / line * 2);
  for (std::size_t i = 0; i < encoded.size(); i += line) {
    if (i > 0) text += "\r\n";
    text.append(encoded, i, line);
  }
  AppendText(text);
}

std::string TXmlElement::GetTextAsBinaryData() const {
  std::string compact;
  for (const char c : GetText()) {
    if (static_cast<unsigned char>(c) > 32) compact += c;
  }
  return compact.size() < 4 ? std::string() : Base64Decode(compact);
}

Ref<TXmlNode> TXmlText::CloneNode(bool) const {
  auto clone = MakeRef<TXmlText>(GetNameTable(), value_);
  CopyAttributesTo(*clone);
  return clone;
}

Ref<TXmlNode> TXmlCDATASection::CloneNode(bool) const {
  auto clone = MakeRef<TXmlCDATASection>(GetNameTable(), GetData());
  CopyAttributesTo(*clone);
  return clone;
}

Ref<TXmlNode> TXmlComment::CloneNode(bool) const {
  auto clone = MakeRef<TXmlComment>(GetNameTable(), GetData());
  CopyAttributesTo(*clone);
  return clone;
}

Ref<TXmlNode> TXmlProcessingInstruction::CloneNode(bool) const {
  // Attributes are copied too: the XML declaration keeps its version and encoding.
  auto clone = MakeRef<TXmlProcessingInstruction>(GetNameTable(), target_, data_);
  CopyAttributesTo(*clone);
  return clone;
}

}  // namespace qb
