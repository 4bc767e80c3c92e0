// Implementation details: attributes are a vector of {name ID, value} records in
// insertion order, found by a linear scan of IDs (nodes carry few attributes, and an ID
// comparison is one pointer comparison). The typed getters convert on reading, so a value
// read from a file (always text) and one set in memory (typed) answer alike.
#include <algorithm>

#include "platform/codepage.h"
#include "platform/locale.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"
#include "xml/xml_node.h"

namespace qb {

int XmlTextCodePage() { return kXmlTargetCodePage != 0 ? kXmlTargetCodePage : platform::AnsiCodePage(); }

std::string XmlTextOfValue(const Variant& value) {
  if (value.Type() == VarType::WideString) return platform::WideToMultiByte(kXmlTargetCodePage, value.WideText());
  return VarToXmlText(value);
}

Variant NarrowWideString(const Variant& value) {
  if (value.Type() != VarType::WideString) return value;
  return Variant::FromString(platform::WideToMultiByte(kXmlTargetCodePage, value.WideText()));
}

XmlNameId TXmlNode::GetAttrNameId(int index) const {
  if (index < 0 || index >= GetAttrCount()) throw Exception(Format("Attribute index %d out of range", index));
  return attrs_[static_cast<std::size_t>(index)].NameId;
}

const TXmlAttr* TXmlNode::FindAttr(XmlNameId name) const noexcept {
  for (const TXmlAttr& attr : attrs_) {
    if (attr.NameId == name) return &attr;
  }
  return nullptr;
}

// The array grows by 4 records while the count is below 9, by 16 while it is at most
// 64, and by a quarter of the count beyond.
void TXmlNode::AppendAttr(XmlNameId name, Variant value) {
  const std::size_t count = attrs_.size();
  if (count == attrs_.capacity()) attrs_.reserve(count + (count < 9 ? 4 : count <= 64 ? 16 : count / 4));
  attrs_.push_back(TXmlAttr{name, std::move(value)});
}

void TXmlAttrLoader::Set(XmlNameId name, Variant value) {
  constexpr int kScanLimit = 16;
  const int count = node_.GetAttrCount();
  if (count < kScanLimit) {
    node_.SetVarAttrById(name, std::move(value));
    return;
  }
  if (index_.empty()) {
    for (int i = 0; i < count; ++i) index_.emplace(node_.attrs_[static_cast<std::size_t>(i)].NameId, i);
  }
  const auto [it, added] = index_.emplace(name, count);
  if (added) {
    node_.AppendAttr(name, std::move(value));
  } else {
    node_.SetAttrValue(it->second, std::move(value));
  }
}

void TXmlNode::RemoveAttrById(XmlNameId name) {
  const auto it = std::find_if(attrs_.begin(), attrs_.end(), [name](const TXmlAttr& a) { return a.NameId == name; });
  if (it != attrs_.end()) attrs_.erase(it);
}

void TXmlNode::RemoveAttr(std::string_view name) { RemoveAttrById(nameTable_->GetId(name)); }

VarType TXmlNode::GetAttrTypeById(XmlNameId name) const {
  const TXmlAttr* attr = FindAttr(name);
  return attr ? attr->Value.Type() : VarType::String;
}

VarType TXmlNode::GetAttrType(std::string_view name) const { return GetAttrTypeById(nameTable_->GetId(name)); }

Variant TXmlNode::GetVarAttrById(XmlNameId name, const Variant& fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  return attr ? attr->Value : fallback;
}

Variant TXmlNode::GetVarAttr(std::string_view name, const Variant& fallback) const {
  return GetVarAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetVarAttrById(XmlNameId name, Variant value) {
  for (TXmlAttr& attr : attrs_) {
    if (attr.NameId == name) {
      attr.Value = std::move(value);
      return;
    }
  }
  AppendAttr(name, std::move(value));
}

void TXmlNode::SetVarAttr(std::string_view name, Variant value) {
  SetVarAttrById(nameTable_->GetId(name), std::move(value));
}

std::string TXmlNode::RequireAttrById(XmlNameId name) const {
  const TXmlAttr* attr = FindAttr(name);
  if (!attr) throw Exception(Format("Attribute \"%s\" not assigned", TXmlNameTable::GetName(name)));
  return XmlTextOfValue(attr->Value);
}

std::string TXmlNode::RequireAttr(std::string_view name) const { return RequireAttrById(nameTable_->GetId(name)); }

std::string TXmlNode::GetAttrById(XmlNameId name, std::string_view fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  return attr ? XmlTextOfValue(attr->Value) : std::string(fallback);
}

std::string TXmlNode::GetAttr(std::string_view name, std::string_view fallback) const {
  return GetAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetAttrById(XmlNameId name, std::string_view value) {
  SetVarAttrById(name, Variant::FromString(std::string(value)));
}

void TXmlNode::SetAttr(std::string_view name, std::string_view value) { SetAttrById(nameTable_->GetId(name), value); }

std::string TXmlNode::GetBytesAttrById(XmlNameId name, std::string_view fallback) const {
  return GetAttrById(name, fallback);
}

std::string TXmlNode::GetBytesAttr(std::string_view name, std::string_view fallback) const {
  return GetAttrById(nameTable_->GetId(name), fallback);
}

bool TXmlNode::GetBoolAttrById(XmlNameId name, bool fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  return attr ? VarToBool(NarrowWideString(attr->Value)) : fallback;
}

bool TXmlNode::GetBoolAttr(std::string_view name, bool fallback) const {
  return GetBoolAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetBoolAttrById(XmlNameId name, bool value) { SetVarAttrById(name, Variant::FromBoolean(value)); }
void TXmlNode::SetBoolAttr(std::string_view name, bool value) { SetBoolAttrById(nameTable_->GetId(name), value); }

std::int32_t TXmlNode::GetIntAttrById(XmlNameId name, std::int32_t fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  return attr ? VarToInt32(NarrowWideString(attr->Value)) : fallback;
}

std::int32_t TXmlNode::GetIntAttr(std::string_view name, std::int32_t fallback) const {
  return GetIntAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetIntAttrById(XmlNameId name, std::int32_t value) { SetVarAttrById(name, Variant::FromInt32(value)); }
void TXmlNode::SetIntAttr(std::string_view name, std::int32_t value) { SetIntAttrById(nameTable_->GetId(name), value); }

TDateTime TXmlNode::GetDateTimeAttrById(XmlNameId name, TDateTime fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  if (!attr) return fallback;
  const VarType type = attr->Value.Type();
  if (type == VarType::String || type == VarType::WideString) return XmlTextToDateTime(XmlTextOfValue(attr->Value));
  return VarToDateTime(attr->Value);
}

TDateTime TXmlNode::GetDateTimeAttr(std::string_view name, TDateTime fallback) const {
  return GetDateTimeAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetDateTimeAttrById(XmlNameId name, TDateTime value) {
  SetVarAttrById(name, Variant::FromDateTime(value));
}

void TXmlNode::SetDateTimeAttr(std::string_view name, TDateTime value) {
  SetDateTimeAttrById(nameTable_->GetId(name), value);
}

double TXmlNode::GetFloatAttrById(XmlNameId name, double fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  if (!attr) return fallback;
  if (attr->Value.IsNumeric()) return VarToDouble(attr->Value);
  return XmlTextToFloat(XmlTextOfValue(attr->Value));
}

double TXmlNode::GetFloatAttr(std::string_view name, double fallback) const {
  return GetFloatAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetFloatAttrById(XmlNameId name, double value) { SetVarAttrById(name, Variant::FromDouble(value)); }
void TXmlNode::SetFloatAttr(std::string_view name, double value) { SetFloatAttrById(nameTable_->GetId(name), value); }

std::int32_t TXmlNode::GetHexAttrById(XmlNameId name, std::int32_t fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  if (!attr) return fallback;
  const std::string text = "$" + XmlTextOfValue(attr->Value);
  // SetHexAttr pads to any width, and zeros in front carry no bits: the integer reading's
  // eight-digit limit counts from the first significant digit.
  std::size_t zeros = 1;
  while (zeros + 1 < text.size() && text[zeros] == '0' && HexDigitValue(text[zeros + 1]) >= 0) ++zeros;
  if (const auto value = TryStrToInt("$" + text.substr(zeros))) return *value;
  throw EConvertError(Format("'%s' is not a valid integer value", text));
}

std::int32_t TXmlNode::GetHexAttr(std::string_view name, std::int32_t fallback) const {
  return GetHexAttrById(nameTable_->GetId(name), fallback);
}

void TXmlNode::SetHexAttrById(XmlNameId name, std::int32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (auto bits = static_cast<std::uint32_t>(value); bits != 0; bits >>= 4) text.insert(text.begin(), kHex[bits & 15]);
  // At least one digit, and no more padding than a 32-bit value can use.
  const auto wanted = static_cast<std::size_t>(std::clamp(digits, 1, 32));
  if (text.size() < wanted) text.insert(0, wanted - text.size(), '0');
  SetVarAttrById(name, Variant::FromString(std::move(text)));
}

void TXmlNode::SetHexAttr(std::string_view name, std::int32_t value, int digits) {
  SetHexAttrById(nameTable_->GetId(name), value, digits);
}

int TXmlNode::GetEnumAttrById(XmlNameId name, const std::vector<std::string>& values, int fallback) const {
  const TXmlAttr* attr = FindAttr(name);
  if (!attr) return fallback;
  const std::string text = XmlTextOfValue(attr->Value);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (platform::SameTextLocale(values[i], text)) return static_cast<int>(i);
  }
  std::string allowed;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) allowed += "\r\n";
    allowed += values[i];
  }
  throw Exception(
      Format("Incorrect value of the attribute \"%0:s\" at element \"%1:s\".\r\nAllowed values are: \r\n%2:s",
             TXmlNameTable::GetName(name), GetNodeName(), allowed));
}

int TXmlNode::GetEnumAttr(std::string_view name, const std::vector<std::string>& values, int fallback) const {
  return GetEnumAttrById(nameTable_->GetId(name), values, fallback);
}

int TXmlNode::RequireEnumAttrById(XmlNameId name, const std::vector<std::string>& values) const {
  if (!FindAttr(name)) throw Exception(Format("Attribute \"%s\" not found", TXmlNameTable::GetName(name)));
  return GetEnumAttrById(name, values, 0);
}

int TXmlNode::RequireEnumAttr(std::string_view name, const std::vector<std::string>& values) const {
  return RequireEnumAttrById(nameTable_->GetId(name), values);
}

Variant TXmlNode::GetValue(std::string_view name) const {
  if (name.empty()) return GetTypedValue();
  if (name[0] == '@') return GetVarAttr(name.substr(1), Variant::FromString(""));
  const Ref<TXmlNode> node = SelectFirst(name);
  return node ? node->GetTypedValue() : Variant::FromString("");
}

void TXmlNode::SetValue(std::string_view name, const Variant& value) {
  if (name.empty()) {
    SetTypedValue(value);
    return;
  }
  if (name[0] == '@') {
    SetVarAttr(name.substr(1), value);
    return;
  }
  Ref<TXmlNode> node = SelectFirst(name);
  if (!node) node = AppendElement(name);
  node->SetTypedValue(value);
}

}  // namespace qb
