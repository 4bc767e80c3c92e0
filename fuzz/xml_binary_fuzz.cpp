// Any input in the binary form ends in a document or an Exception, through the string
// reader and through the stream reader (with a tiny buffer, so that every read crosses a
// refill). Whatever loads is written again, in both forms; the binary form of a loaded
// document must load again, and from then on save to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/exception.h"
#include "support/stream.h"
#include "xml/xml_binary.h"
#include "xml/xml_document.h"

namespace {

void Walk(const qb::TXmlNode& node) {
  try {
    node.GetTypedValue();
    node.GetText();  // a date-time outside the calendar raises EConvertError
  } catch (const qb::Exception&) {
  }
  for (int i = 0; i < node.GetAttrCount(); ++i) node.GetAttrName(i);
  const int count = node.ChildCount();
  for (int i = 0; i < count; ++i) Walk(*node.ChildList()->Item(i));
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void Exercise(const qb::Ref<qb::TXmlDocument>& doc) {
  Walk(*doc);
  try {
    doc->GetXml();
    qb::TMemoryStream text;
    doc->SaveToStream(text);
  } catch (const qb::Exception&) {
    // An unsupported declared encoding, or a date-time outside the calendar.
  }
  std::string saved;
  try {
    saved = doc->GetBinaryXml();
  } catch (const qb::Exception&) {
    return;  // an unknown value type cannot come from the reader, but stay lenient
  }
  auto again = qb::MakeRef<qb::TXmlDocument>();
  again->LoadBinaryXml(saved);  // our own output always loads
  const std::string second = again->GetBinaryXml();
  auto third = qb::MakeRef<qb::TXmlDocument>();
  third->LoadBinaryXml(second);
  Check(third->GetBinaryXml() == second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto doc = qb::MakeRef<qb::TXmlDocument>();
  try {
    doc->LoadBinaryXml(bytes);
  } catch (const qb::Exception&) {
  }
  Exercise(doc);

  if (size >= qb::kXmlBinarySignature.size()) {
    auto streamed = qb::MakeRef<qb::TXmlDocument>();
    try {
      qb::TMemoryStream stream(bytes);
      stream.SetPosition(static_cast<std::int64_t>(qb::kXmlBinarySignature.size()));
      qb::TStmXmlReader reader(stream, 3);
      qb::XmlReadBinary(*streamed, reader);
    } catch (const qb::Exception&) {
    }
    // Both readers see the same bytes, so they build the same tree.
    Check(streamed->GetBinaryXml() == doc->GetBinaryXml());
  }
  return 0;
}
