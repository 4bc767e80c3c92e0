// Any input ends in a document or an Exception: the bytes are loaded both as a stream
// (binary signature and byte-order marks checked first) and as a string, and the tree
// that results is walked through the model's read operations.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/exception.h"
#include "support/stream.h"
#include "xml/xml_document.h"

namespace {

void Walk(const qb::Ref<qb::TXmlNode>& node) {
  try {
    node->GetText();  // a binary date-time outside the calendar raises EConvertError
    node->GetTypedValue();
  } catch (const qb::Exception&) {
  }
  node->GetFullPath();
  for (int i = 0; i < node->GetAttrCount(); ++i) node->GetAttrName(i);
  const int count = node->ChildCount();
  for (int i = 0; i < count; ++i) Walk(node->ChildList()->GetItem(i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = qb::MakeRef<qb::TXmlDocument>();
  try {
    qb::TMemoryStream stream(text);
    doc->LoadFromStream(stream);
  } catch (const qb::Exception&) {
  }
  Walk(doc);
  doc->SetPreserveWhiteSpace(true);
  try {
    doc->LoadXml(text);
  } catch (const qb::Exception&) {
  }
  Walk(doc);
  const auto copy = doc->CloneNode(true);
  try {
    if (const auto root = doc->GetDocumentElement()) root->SelectFirst("a\\b");
  } catch (const qb::Exception&) {
  }
  return 0;
}
