#include "xml/xml_binary.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/date_time.h"
#include "support/exception.h"
#include "support/stream.h"
#include "support/temp_dir.h"
#include "xml/xml_document.h"
#include "xml/xml_reader.h"
#include "xml_test_util.h"

namespace qb {
namespace {

using test::ErrorOf;
using test::ParseXml;
using namespace std::string_literals;

const std::string kSignature(kXmlBinarySignature);
const std::string kHeader0 = kSignature + std::string(4, '\0');  // signature and options 0

// What a writer adds after the header.
std::string Written(const std::function<void(TBinXmlWriter&)>& write) {
  TStrXmlWriter writer(0);
  write(writer);
  return writer.TakeResult().substr(kHeader0.size());
}

std::string LoadBinaryError(const std::string& data) {
  auto doc = MakeRef<TXmlDocument>();
  return ErrorOf([&] { doc->LoadBinaryXml(data); });
}

// The tree as text with every value's type code, to compare trees exactly.
std::string Dump(const TXmlNode& node) {
  std::string out = std::to_string(node.GetNodeType()) + ":" + node.GetNodeName();
  if (node.GetNodeType() == kXmlNodeElement || node.GetNodeType() == kXmlNodeText) {
    out +=
        "=" + std::to_string(static_cast<int>(node.GetDataType())) + "'" + XmlTextOfValue(node.GetTypedValue()) + "'";
  } else if (node.GetNodeType() != kXmlNodeDocument) {
    out += "='" + node.GetText() + "'";
  }
  for (const TXmlAttr& attr : node.Attributes()) {
    out += " @" + TXmlNameTable::GetName(attr.NameId) + "=" + std::to_string(attr.Value.TypeCode()) + "'" +
           XmlTextOfValue(attr.Value) + "'";
  }
  if (node.ChildCount() > 0) {
    out += "{";
    for (int i = 0; i < node.ChildCount(); ++i) out += Dump(*node.ChildList()->Item(i)) + ";";
    out += "}";
  }
  return out;
}

Ref<TXmlDocument> TypedDocument() {
  auto doc = ParseXml(
      "<?xml version='1.0' encoding='UTF-8'?><!--note \xD0\x96--><root a='text'>"
      "<item id='1'>one</item><![CDATA[x]]]]><?pi some data?><empty/><mixed>a<b/>c</mixed></root>");
  const auto root = doc->GetDocumentElement();
  root->SetIntAttr("int", 7);
  root->SetFloatAttr("float", -0.0025);
  root->SetBoolAttr("yes", true);
  root->SetBoolAttr("no", false);
  root->SetDateTimeAttr("when", EncodeDateTime({2024, 2, 29, 13, 5, 9, 0}));
  root->SetVarAttr("wide", Variant::FromWideString(u"\u0416w"));
  root->SetVarAttr("bytes", Variant::FromBytes(std::string("\0\xFF\x01", 3)));
  for (const Variant& value :
       {Variant(), Variant::Null(), Variant::FromInt16(-2), Variant::FromSingle(0.5f), Variant::FromCurrency(-123456),
        Variant::FromInt8(-8), Variant::FromUInt8(200), Variant::FromUInt16(65535), Variant::FromUInt32(4000000000u),
        Variant::FromInt64(-5000000000LL), Variant::FromString("\xD0\x96 <&>")}) {
    root->AppendElement("v" + std::to_string(value.TypeCode()))->SetTypedValue(value);
  }
  return doc;
}

TEST(XmlBinaryTest, CompactIntegers) {
  const struct {
    std::int32_t value;
    std::string bytes;
  } cases[] = {
      {0, std::string(1, '\0')},
      {5, "\x05"},
      {127, "\x7F"},
      {128, "\x80\x80"},
      {200, "\x80\xC8"},
      {300, "\x81\x2C"},
      {32511, "\xFE\xFF"},
      {32512, std::string("\xFF\x00\x7F\x00\x00", 5)},
      {-1, "\xFF\xFF\xFF\xFF\xFF"},
      {INT32_MIN, std::string("\xFF\x00\x00\x00\x80", 5)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.bytes, Written([&](TBinXmlWriter& w) { w.WriteCompact(c.value); })) << c.value;
    const std::string data = kHeader0 + c.bytes;
    TStrXmlReader reader(data);
    EXPECT_EQ(c.value, reader.ReadCompact()) << c.value;
    EXPECT_EQ(0u, reader.Remaining());
  }
}

TEST(XmlBinaryTest, NameHashes) {
  const struct {
    const char* name;
    std::uint32_t hash;
    std::string bytes;
  } cases[] = {
      {"a", 97, "\x61"},
      {"ab", 6275, "\x98\x83"},
      {"root", 31775236, "\xFF\x04\xDA\xE4\x01"},
      {"#document", 4258389378u, "\xFF\x82\xDD\xD1\xFD"},  // 2^31 and above: 5 bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.hash, TXmlNameTable::Hash(c.name)) << c.name;
    EXPECT_EQ(c.bytes, Written([&](TBinXmlWriter& w) { w.WriteCompact(static_cast<std::int32_t>(c.hash)); }));
  }
}

TEST(XmlBinaryTest, ValuePayloads) {
  const struct {
    Variant value;
    std::string bytes;
  } cases[] = {
      {Variant(), std::string(1, '\0')},
      {Variant::FromBytes("abc"),
       "\xA0\x11\x03"
       "abc"},
      {Variant::FromInt32(-2), "\x03\xFE\xFF\xFF\xFF"},
      {Variant::FromBoolean(true), "\x0B\xFF\xFF"},
      {Variant::FromBoolean(false), std::string("\x0B\x00\x00", 3)},
      {Variant::FromDouble(1.5), std::string("\x05\x00\x00\x00\x00\x00\x00\xF8\x3F", 9)},
      {Variant::FromString("\xD0\x96"), std::string("\x81\x00\x02\xD0\x96", 5)},
      {Variant::FromWideString(u"\u0416"), "\x08\x01\x16\x04"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.bytes, Written([&](TBinXmlWriter& w) { w.WriteValue(c.value); })) << c.value.TypeCode();
    const std::string data = kHeader0 + c.bytes;
    TStrXmlReader reader(data);
    EXPECT_EQ(c.value, reader.ReadValue()) << c.value.TypeCode();
  }
}

TEST(XmlBinaryTest, LayoutOfASmallDocument) {
  auto doc = MakeRef<TXmlDocument>();
  doc->AppendElement("r")->SetIntAttr("x", 5);
  // Names in bucket order (hash modulo 499): xml 95, r 114, x 120, #document 224,
  // encoding 231, #comment 365, #cdata-section 438, #text 446.
  const std::string expected = kHeader0 +
                               "\x08"
                               "\x03xml\x01r\x01x\x09#document\x08"
                               "encoding\x08#comment\x0E#cdata-section\x05#text"
                               "\x00\x01"                      // document: no attributes, one child
                               "\x01\x72\x00"                  // element r, empty value
                               "\x01\x78\x03\x05\x00\x00\x00"  // x = 32-bit integer 5
                               "\x00"s;                        // no children
  EXPECT_EQ(expected, doc->GetBinaryXml());
  TMemoryStream stream;
  doc->SaveBinaryToStream(stream, 0);
  EXPECT_EQ(expected, stream.DataString());
}

TEST(XmlBinaryTest, RoundTripsKeepTreeNamesOrderAndTypes) {
  const auto original = TypedDocument();
  for (const std::int32_t options : {0, 1}) {
    TMemoryStream stream;
    original->SaveBinaryToStream(stream, options);
    stream.SetPosition(0);
    auto loaded = MakeRef<TXmlDocument>();
    loaded->LoadFromStream(stream);
    EXPECT_EQ(Dump(*original), Dump(*loaded)) << options;
    const auto root = loaded->GetDocumentElement();
    EXPECT_EQ(VarType::Int32, root->GetAttrType("int"));
    EXPECT_EQ(7, root->GetIntAttr("int", 0));
    // The declaration keeps its attributes, so the text form is the same as well.
    EXPECT_EQ(original->GetXml(), loaded->GetXml());
  }
  auto fromString = MakeRef<TXmlDocument>();
  fromString->LoadXml(original->GetBinaryXml());
  EXPECT_EQ(Dump(*original), Dump(*fromString));
}

TEST(XmlBinaryTest, WideOptionStoresNamesAndDataAsUtf16ButStringValuesAsUtf8) {
  auto doc = MakeRef<TXmlDocument>(MakeRef<TXmlNameTable>(1));  // one bucket: names in interning order
  const auto root = doc->AppendElement("\xD0\x96");
  root->AppendComment("c");
  root->SetAttr("s", "v");
  TMemoryStream stream;
  doc->SaveBinaryToStream(stream, 1);
  const std::string bytes = stream.DataString();
  EXPECT_EQ(kSignature + "\x01\x00\x00\x00"s + "\x08\x05#\0t\0e\0x\0t\0"s, bytes.substr(0, 30));
  EXPECT_NE(std::string::npos, bytes.find("\x01\x16\x04"s));  // the name Ж
  EXPECT_NE(std::string::npos, bytes.find("\x05\x01"
                                          "c\0"s));            // the comment
  EXPECT_NE(std::string::npos, bytes.find("\x81\x00\x01v"s));  // the 8-bit value
  stream.SetPosition(0);
  auto loaded = MakeRef<TXmlDocument>();
  loaded->LoadFromStream(stream);
  EXPECT_EQ(Dump(*doc), Dump(*loaded));
}

TEST(XmlBinaryTest, ElementValueOrChildren) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->AppendElement("r");
  root->SetTypedValue(Variant::FromDouble(2.5));
  auto loaded = MakeRef<TXmlDocument>();
  loaded->LoadBinaryXml(doc->GetBinaryXml());
  EXPECT_EQ(VarType::Double, loaded->GetDocumentElement()->GetDataType());
  EXPECT_EQ(0, loaded->GetDocumentElement()->ChildCount());
  // With children the element's own value is stored empty.
  root->AppendElement("c");
  const std::string bytes = doc->GetBinaryXml();
  EXPECT_NE(std::string::npos, bytes.find("\x01\x72\x00\x00\x02"s));  // r, empty value, no attributes, 2 children
  loaded->LoadBinaryXml(bytes);
  EXPECT_EQ("2:#text=5'2.50000000000000E+0000'", Dump(*loaded->GetDocumentElement()->ChildList()->Item(0)));
  // Stored children replace a value stored for the same element.
  loaded->LoadBinaryXml(kHeader0 +
                        "\x01\x01r"
                        "\x00\x01"
                        "\x01\x72\x81\x00\x01v"
                        "\x00\x01"
                        "\x01\x72\x00\x00\x00"s);
  EXPECT_EQ("1:r=256''{1:r=256'';}", Dump(*loaded->GetDocumentElement()));
}

TEST(XmlBinaryTest, SignatureAloneIsReadAsText) {
  TMemoryStream stream(kSignature);
  auto doc = MakeRef<TXmlDocument>();
  EXPECT_EQ("Exception: Name must start with letter or \"_\" at [1:2]", ErrorOf([&] { doc->LoadFromStream(stream); }));
  EXPECT_EQ("Exception: Name must start with letter or \"_\" at [1:2]", ErrorOf([&] { doc->LoadXml(kSignature); }));
  // LoadBinaryXml skips the signature unchecked; too little data is a read error.
  EXPECT_EQ("Exception: Error reading data", LoadBinaryError("short"));
  EXPECT_EQ("Exception: Error reading data", LoadBinaryError(kSignature + "\x01\x00\x00"s));
}

TEST(XmlBinaryTest, EveryTruncationIsAReadError) {
  const std::string full = TypedDocument()->GetBinaryXml();
  for (std::size_t size = kSignature.size() + 1; size < full.size(); ++size) {
    const std::string part = full.substr(0, size);
    TMemoryStream stream(part);
    auto doc = MakeRef<TXmlDocument>();
    ASSERT_EQ("Exception: Error reading data", ErrorOf([&] { doc->LoadFromStream(stream); })) << size;
    ASSERT_EQ("Exception: Error reading data", LoadBinaryError(part)) << size;
  }
}

TEST(XmlBinaryTest, CorruptedInputs) {
  // A document body after an empty name table: no attributes, one child.
  const std::string body = kHeader0 + "\x00\x00\x01"s;
  const struct {
    std::string data;
    const char* error;
  } cases[] = {
      {body + "\x07", "Error reading binary XML: incorrect node-type"},
      {body + "\x06\x00\x00"s, "Error reading binary XML: incorrect node-type"},
      {body + "\x02\x09"s, "Error reading value: incorrect type"},
      {body + "\x02\x81\x01"s, "Error reading value: incorrect type"},
      // Counts larger than the rest of the data, or negative, before anything is reserved.
      {kHeader0 + "\xFF\xFF\xFF\xFF\x7F"s, "Error reading data"},
      {kHeader0 + "\xFF\xFF\xFF\xFF\xFF"s, "Error reading data"},
      {kHeader0 + "\x00\x05\x61\x00\x61\x00"s, "Error reading data"},
      {kHeader0 + "\x00\x00\x03\x02\x00\x02\x00"s, "Error reading data"},
      {kHeader0 + "\x01\xFF\xFF\xFF\xFF\x7F"s, "Error reading data"},
      {body + "\x02\xA0\x11\xFF\xFF\xFF\xFF\x7F"s, "Error reading data"},
      {body + "\x02\x08\xFF\xFF\xFF\xFF\x3F"s, "Error reading data"},
      {body + "\x02\x08\x02\x41\x00\x42"s, "Error reading data"},
  };
  for (const auto& c : cases) EXPECT_EQ(std::string("Exception: ") + c.error, LoadBinaryError(c.data));
  // Under option 1 a name string is a UTF-16 count.
  EXPECT_EQ("Exception: Error reading data",
            LoadBinaryError(kSignature + "\x01\x00\x00\x00\x01\xFF\x00\x00\x00\x40"s + std::string(64, 'a')));
}

TEST(XmlBinaryTest, NestingIsLimited) {
  const auto nested = [](int depth) {
    std::string data = kHeader0 + "\x01\x01r\x00\x01"s;  // names: r; document with one child
    for (int i = 0; i < depth; ++i) data += "\x01\x72\x00\x00"s + std::string(1, i + 1 < depth ? '\x01' : '\x00');
    return data;
  };
  auto doc = MakeRef<TXmlDocument>();
  doc->LoadBinaryXml(nested(kXmlMaxNestingDepth));
  EXPECT_EQ("r", doc->GetDocumentElement()->GetNodeName());
  EXPECT_EQ("Exception: Error reading binary XML: elements nested deeper than 1024 levels",
            LoadBinaryError(nested(kXmlMaxNestingDepth + 1)));
}

TEST(XmlBinaryTest, FailedLoadKeepsWhatWasRead) {
  const std::string full = ParseXml("<a><b/><c/></a>")->GetBinaryXml();
  auto doc = MakeRef<TXmlDocument>();
  EXPECT_EQ("Exception: Error reading data", ErrorOf([&] { doc->LoadBinaryXml(full.substr(0, full.size() - 2)); }));
  // c was appended before its body failed to read.
  EXPECT_EQ("1:a=256''{1:b=256'';1:c=256'';}", Dump(*doc->GetDocumentElement()));
}

TEST(XmlBinaryTest, HashesResolveToTheFirstStoredNameAndHeldNodesStayValid) {
  // "b0" and "co" share the hash 6418: both come back as the one stored first.
  const auto source = ParseXml("<r b0='1' co='2'><co/><b0/></r>");
  const std::string data = source->GetBinaryXml();
  auto doc = ParseXml("<old attr='1'><kept/></old>");
  const Ref<TXmlNode> held = doc->GetDocumentElement()->SelectFirst("kept");
  doc->LoadBinaryXml(data);
  EXPECT_EQ("1:r=256'' @b0=256'2'{1:b0=256'';1:b0=256'';}", Dump(*doc->GetDocumentElement()));
  // Nodes from before the load keep their names; the fixed names still work.
  EXPECT_EQ("kept", held->GetNodeName());
  EXPECT_EQ("#text", doc->CreateText("t")->GetNodeName());
  // A hash that no stored name has resolves to the empty name.
  auto unnamed = MakeRef<TXmlDocument>();
  unnamed->LoadBinaryXml(kHeader0 + "\x00\x00\x01\x01\x61\x00\x00\x00"s);
  EXPECT_EQ("", unnamed->GetDocumentElement()->GetNodeName());
}

TEST(XmlBinaryTest, WritingADocumentInsideATreeIsRefused) {
  auto doc = MakeRef<TXmlDocument>();
  doc->AppendElement("r")->AppendChild(MakeRef<TXmlDocument>());
  EXPECT_EQ("Exception: Error writing binary XML: incorrect node-type", ErrorOf([&] { doc->GetBinaryXml(); }));
}

TEST(XmlBinaryTest, StreamReaderRefillsAcrossItsBuffer) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->AppendElement("r");
  for (int i = 0; i < 200; ++i)
    root->AppendElement("e")->SetAttr("v", std::string(static_cast<std::size_t>(i * 7), 'x'));
  root->AppendText(std::string(200000, 'y'));  // larger than the 65536-byte buffer
  const std::string data = doc->GetBinaryXml();
  for (const std::size_t bufferSize : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, TStmXmlReader::kBufferSize}) {
    TMemoryStream stream(data);
    stream.SetPosition(static_cast<std::int64_t>(kSignature.size()));
    TStmXmlReader reader(stream, bufferSize);
    auto loaded = MakeRef<TXmlDocument>();
    XmlReadBinary(*loaded, reader);
    EXPECT_EQ(Dump(*doc), Dump(*loaded)) << bufferSize;
    EXPECT_EQ(0u, reader.Remaining());
  }
}

TEST(XmlBinaryTest, ConfigurationInTheBinaryFormReadsLikeText) {
  const auto text = ParseXml(
      "<?xml version='1.0' encoding='UTF-8'?><settings><configData><SourceFolder>C:\\Exchange\\Outbox</SourceFolder>"
      "<ConfigFolder>C:\\Exchange\\State</ConfigFolder><UploadServer><UploadAT>https://example.test/up</UploadAT>"
      "<Username>branch12</Username><Password/></UploadServer></configData></settings>");
  test::ScopedTempDir dir;
  const std::string path = dir.file("config.xml");
  text->SaveBinaryToFile(path, 0);
  auto doc = MakeRef<TXmlDocument>();
  doc->LoadFromFile(path);
  const auto config = doc->GetDocumentElement()->RequireChild("configData");
  EXPECT_EQ("C:\\Exchange\\Outbox", VarToXmlText(config->GetValue("SourceFolder")));
  EXPECT_EQ("C:\\Exchange\\State", VarToXmlText(config->GetValue("ConfigFolder")));
  const auto server = config->RequireChild("UploadServer");
  EXPECT_EQ("https://example.test/up", VarToXmlText(server->GetValue("UploadAT")));
  EXPECT_EQ("branch12", VarToXmlText(server->GetValue("Username")));
  EXPECT_EQ("", VarToXmlText(server->GetValue("Password")));
  EXPECT_EQ("Exception: Error: Child node \"configData\" not found",
            ErrorOf([&] { config->RequireChild("configData"); }));
  const std::string missing = dir.file(test::PlatformPath("no/such/dir/config.bin"));
  EXPECT_EQ(0u, ErrorOf([&] {
                  text->SaveBinaryToFile(missing, 0);
                }).find("EFCreateError: Cannot create file \"" + missing + "\". "));
}

}  // namespace
}  // namespace qb
