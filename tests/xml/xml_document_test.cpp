#include "xml/xml_document.h"

#include <gtest/gtest.h>

#include "support/date_time.h"
#include "support/exception.h"
#include "xml_test_util.h"

namespace qb {
namespace {

using test::Child;
using test::ErrorOf;
using test::ParseXml;

TEST(XmlDocumentTest, GetValueOfChildrenAndAttributes) {
  const struct {
    const char* xml;
    const char* name;
    VarType type;
    const char* text;
  } cases[] = {
      {"<r><SourceFolder>C:\\in</SourceFolder></r>", "SourceFolder", VarType::String, "C:\\in"},
      {"<r><SourceFolder/></r>", "SourceFolder", VarType::Empty, ""},
      {"<r><SourceFolder>   </SourceFolder></r>", "SourceFolder", VarType::Empty, ""},
      {"<r/>", "SourceFolder", VarType::String, ""},
      {"<r><sourcefolder>x</sourcefolder></r>", "SourceFolder", VarType::String, ""},
      {"<r><?SourceFolder x?></r>", "SourceFolder", VarType::String, ""},  // elements only
      {"<r><a>x</a><a>y</a></r>", "a", VarType::String, "x"},
      {"<r><a> one <![CDATA[ two ]]><b>no</b><!--no--> three</a></r>", "a", VarType::String, "one two three"},
      {"<r><a><b>deep</b></a></r>", "a\\b", VarType::String, "deep"},
      {"<r id='7'/>", "@id", VarType::String, "7"},
      {"<r/>", "@id", VarType::String, ""},
      {"<r>text</r>", "", VarType::String, "text"},
  };
  for (const auto& c : cases) {
    const auto doc = ParseXml(c.xml);
    const Variant value = doc->GetDocumentElement()->GetValue(c.name);
    EXPECT_EQ(c.type, value.Type()) << c.xml;
    EXPECT_EQ(c.text, VarToXmlText(value)) << c.xml;
  }
}

TEST(XmlDocumentTest, RequireChildFindsAnyKindAndNamesWhatIsMissing) {
  const auto doc = ParseXml("<r><?x data?><y/></r>");
  const auto root = doc->GetDocumentElement();
  EXPECT_EQ(kXmlNodeProcessingInstruction, root->RequireChild("x")->GetNodeType());
  EXPECT_EQ("y", root->RequireChild("y")->GetNodeName());
  EXPECT_EQ("Exception: Error: Child node \"configData\" not found",
            ErrorOf([&] { root->RequireChild("configData"); }));
  // The configuration shape: configData as the root itself is not found below it.
  const auto flat = ParseXml("<configData/>");
  EXPECT_EQ("Exception: Error: Child node \"configData\" not found",
            ErrorOf([&] { flat->GetDocumentElement()->RequireChild("configData"); }));
  EXPECT_FALSE(ParseXml("<!--only-->")->GetDocumentElement());
}

TEST(XmlDocumentTest, SelectionByNameAndPath) {
  const auto doc = ParseXml("<r><a/><a><b>2</b></a><c><d><e>x</e></d></c></r>");
  const auto root = doc->GetDocumentElement();
  // The path looks only under the first a.
  EXPECT_FALSE(root->SelectFirst("a\\b"));
  EXPECT_EQ("x", root->SelectFirst("c\\d\\e")->GetText());
  EXPECT_EQ(0, root->SelectAll("a\\b")->GetCount());
  EXPECT_FALSE(root->SelectAll("z\\b"));
  EXPECT_EQ(1, root->SelectAll("c\\d\\e")->GetCount());
  for (const char* bad : {"a b", "", "1a", "a\\", "\\a", "a\\b c"}) {
    EXPECT_EQ("Exception: This feature is not supported by QbXml", ErrorOf([&] { root->SelectFirst(bad); })) << bad;
  }
  EXPECT_EQ("Exception: This feature is not supported by QbXml", ErrorOf([&] { root->SelectAll("a b"); }));

  auto all = root->SelectAll("a");
  ASSERT_EQ(2, all->GetCount());
  const Ref<TXmlNode> second = all->GetItem(1);
  all.reset();
  EXPECT_EQ(root.get(), second->GetParentNode().get());
  EXPECT_EQ(3, root->ChildCount());
  EXPECT_EQ("r\\a\\b", second->SelectFirst("b")->GetFullPath());
  EXPECT_EQ("", doc->CreateElement("free")->GetFullPath());
}

TEST(XmlDocumentTest, ListIndexErrors) {
  const auto doc = ParseXml("<r><a/><b/></r>");
  const auto list = doc->GetDocumentElement()->GetChildNodes();
  EXPECT_EQ("Exception: Failed to get list item: Index -1 out of range", ErrorOf([&] { list->GetItem(-1); }));
  EXPECT_EQ("Exception: Failed to get list item: Index 2 out of range", ErrorOf([&] { list->GetItem(2); }));
  list->Exchange(0, 5);  // ignored
  list->Exchange(0, 1);
  EXPECT_EQ("b", list->GetItem(0)->GetNodeName());
}

TEST(XmlDocumentTest, InsertionClonesWhatBelongsElsewhere) {
  const auto doc = ParseXml("<r><a x='1'><b>t</b></a><c/></r>");
  const auto root = doc->GetDocumentElement();
  const auto a = root->SelectFirst("a");
  const auto c = root->SelectFirst("c");
  // A node with another parent goes in as a deep copy; the original stays.
  c->AppendChild(a);
  EXPECT_EQ(root.get(), a->GetParentNode().get());
  ASSERT_EQ(1, c->ChildCount());
  const auto copy = Child(c, 0);
  EXPECT_NE(a.get(), copy.get());
  EXPECT_EQ("1", copy->GetAttr("x", ""));
  EXPECT_EQ("t", copy->SelectFirst("b")->GetText());

  // A node of another name table is copied with its names interned into ours.
  auto other = MakeRef<TXmlDocument>();
  auto foreign = other->CreateElement("fresh");
  foreign->SetAttr("attr", "v");
  foreign->AppendElement("kid");
  c->AppendChild(foreign);
  const auto moved = Child(c, 1);
  EXPECT_EQ(doc->NameTable().GetId("fresh"), moved->GetNodeNameId());
  EXPECT_EQ(doc->NameTable().GetId("attr"), moved->GetAttrNameId(0));
  EXPECT_EQ(doc->NameTable().GetId("kid"), Child(moved, 0)->GetNodeNameId());
  EXPECT_EQ(doc->GetNameTable(), Child(moved, 0)->GetNameTable());
  EXPECT_FALSE(foreign->GetParentNode());

  // A child appended again moves instead of being listed twice.
  root->AppendChild(a);
  ASSERT_EQ(2, root->ChildCount());
  EXPECT_EQ(a.get(), Child(root, 1).get());
  root->InsertBefore(a, c);
  EXPECT_EQ(a.get(), Child(root, 0).get());

  // An ancestor inserted below itself goes in as a copy: no cycle.
  const auto b = a->SelectFirst("b");
  b->AppendChild(a);
  EXPECT_EQ(root.get(), a->GetParentNode().get());
  EXPECT_EQ("b", b->SelectFirst("a")->SelectFirst("b")->GetNodeName());
  a->AppendChild(a);
  EXPECT_EQ(a.get(), a->SelectAll("a")->GetItem(0)->GetParentNode().get());
}

TEST(XmlDocumentTest, ReplaceRemoveAndExchange) {
  const auto doc = ParseXml("<r><a/><b/><c/></r>");
  const auto root = doc->GetDocumentElement();
  const auto a = root->SelectFirst("a");
  const auto b = root->SelectFirst("b");
  const auto x = doc->CreateElement("x");
  root->ReplaceChild(x, b);
  EXPECT_FALSE(b->GetParentNode());
  EXPECT_EQ(x.get(), Child(root, 1).get());
  root->ReplaceChild(b, b);  // not a child: nothing
  root->ReplaceChild(x, x);  // itself: nothing
  EXPECT_EQ(3, root->ChildCount());
  // A child put in another child's place moves there; it is not listed twice.
  const auto c = root->SelectFirst("c");
  root->ReplaceChild(c, a);
  EXPECT_EQ(2, root->ChildCount());
  EXPECT_EQ(c.get(), Child(root, 0).get());
  EXPECT_FALSE(a->GetParentNode());
  root->InsertBefore(a, c);
  root->ExchangeChildren(a, x);
  EXPECT_EQ("x", Child(root, 0)->GetNodeName());
  EXPECT_EQ(2, root->RemoveChild(a));
  EXPECT_EQ(-1, root->RemoveChild(a));
  EXPECT_FALSE(a->GetParentNode());
  root->RemoveAllChildren();
  EXPECT_FALSE(x->GetParentNode());
  EXPECT_EQ(0, root->ChildCount());
}

TEST(XmlDocumentTest, ElementHoldsChildrenOrOneValue) {
  const auto doc = ParseXml("<r><a>1<b/>2</a></r>");
  const auto a = doc->GetDocumentElement()->SelectFirst("a");
  a->SetTypedValue(Variant::FromInt32(42));
  EXPECT_EQ(0, a->ChildCount());
  EXPECT_EQ(VarType::Int32, a->GetDataType());
  EXPECT_EQ("42", a->GetText());
  EXPECT_EQ(Variant::FromInt32(42), a->GetTypedValue());
  // Asking for the child list turns the value into a text child.
  const auto list = a->GetChildNodes();
  ASSERT_EQ(1, list->GetCount());
  EXPECT_EQ(VarType::Int32, list->GetItem(0)->GetDataType());
  EXPECT_EQ(VarType::String, a->GetDataType());
  EXPECT_EQ(Variant::FromString("42"), a->GetTypedValue());
  a->SetText("  s  ");
  EXPECT_EQ("  s  ", a->GetText());  // a stored value is not trimmed
  EXPECT_EQ(VarType::String, a->GetDataType());
  EXPECT_EQ(VarType::String, doc->CreateElement("e")->GetDataType());
  EXPECT_EQ(VarType::Empty, doc->CreateElement("e")->GetTypedValue().Type());

  doc->GetDocumentElement()->SetValue("n\\m", Variant::FromDouble(1.5));
  EXPECT_EQ("1.50000000000000E+0000", doc->GetDocumentElement()->GetChildText("n\\m", "none"));
  doc->GetDocumentElement()->SetValue("@k", Variant::FromBoolean(true));
  EXPECT_EQ("1", doc->GetDocumentElement()->GetAttr("k", ""));
  doc->GetDocumentElement()->SetChildText("a", "t");
  EXPECT_EQ("t", doc->GetDocumentElement()->GetChildText("a", ""));
  EXPECT_EQ("d", doc->GetDocumentElement()->GetChildText("zz", "d"));
}

TEST(XmlDocumentTest, TypedAttributes) {
  auto doc = MakeRef<TXmlDocument>();
  const auto e = doc->NewDocument("", "", "e");
  e->SetFloatAttr("x", 1.5);
  EXPECT_EQ(VarType::Double, e->GetAttrType("x"));
  EXPECT_EQ("1.50000000000000E+0000", e->GetAttr("x", ""));
  e->SetAttr("x", e->GetAttr("x", ""));
  EXPECT_EQ(1.5, e->GetFloatAttr("x", 0));
  e->SetAttr("f", "1,5");
  EXPECT_EQ("Exception: '1,5' is not a valid floating point value", ErrorOf([&] { e->GetFloatAttr("f", 0); }));
  EXPECT_EQ(-2.0, e->GetFloatAttr("absent", -2.0));
  e->SetIntAttr("i", 7);
  EXPECT_EQ(7.0, e->GetFloatAttr("i", 0));

  const TDateTime when = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 0);
  e->SetDateTimeAttr("d", when);
  EXPECT_EQ("2024-02-29T13:45:30", e->GetAttr("d", ""));
  EXPECT_EQ(when, e->GetDateTimeAttr("d", 0));
  e->SetAttr("d", "2024-02-29");
  EXPECT_EQ(EncodeDate(2024, 2, 29), e->GetDateTimeAttr("d", 0));
  e->SetAttr("d", "2023-02-29");
  EXPECT_EQ("EConvertError: Invalid argument to date encode", ErrorOf([&] { e->GetDateTimeAttr("d", 0); }));

  e->SetHexAttr("h", 255, 4);
  EXPECT_EQ("00FF", e->GetAttr("h", ""));
  e->SetHexAttr("h", -1, 2);
  EXPECT_EQ("FFFFFFFF", e->GetAttr("h", ""));
  EXPECT_EQ(-1, e->GetHexAttr("h", 0));
  // Padding beyond eight digits reads back as the same value.
  e->SetHexAttr("h", 255, 10);
  EXPECT_EQ("00000000FF", e->GetAttr("h", ""));
  EXPECT_EQ(255, e->GetHexAttr("h", 0));
  e->SetHexAttr("h", 0, 12);
  EXPECT_EQ(0, e->GetHexAttr("h", 0));
  e->SetAttr("h", "0000000123456789");  // nine significant digits do not fit
  EXPECT_THROW(e->GetHexAttr("h", 0), EConvertError);
  e->SetAttr("h", "1f");
  EXPECT_EQ(31, e->GetHexAttr("h", 0));
  e->SetAttr("h", "zz");
  EXPECT_EQ("EConvertError: '$zz' is not a valid integer value", ErrorOf([&] { e->GetHexAttr("h", 0); }));

  e->SetAttr("b", "TRUE");
  EXPECT_TRUE(e->GetBoolAttr("b", false));
  e->SetAttr("b", "maybe");
  EXPECT_EQ("EVariantTypeCastError: Could not convert variant of type (String) into type (Boolean)",
            ErrorOf([&] { e->GetBoolAttr("b", false); }));
  e->SetBoolAttr("b", true);
  EXPECT_EQ("1", e->GetAttr("b", ""));
  e->SetAttr("n", " 12");
  EXPECT_EQ(12, e->GetIntAttr("n", 0));
  EXPECT_EQ(5, e->GetIntAttr("absent", 5));

  e->SetVarAttr("w", Variant::FromWideString(u"\u041F"));
  EXPECT_EQ("\xD0\x9F", e->GetAttr("w", ""));
  EXPECT_EQ(VarType::WideString, e->GetAttrType("w"));

  EXPECT_EQ("Exception: Attribute \"req\" not assigned", ErrorOf([&] { e->RequireAttr("req"); }));
  e->RemoveAttr("x");
  EXPECT_FALSE(e->AttrExists("x"));
  EXPECT_EQ("f", e->GetAttrName(0));  // order of the rest kept
  EXPECT_EQ("Exception: Attribute index 9 out of range", ErrorOf([&] { e->GetAttrName(9); }));
}

TEST(XmlDocumentTest, EnumeratedAttributes) {
  const auto doc = ParseXml("<e mode='off' bad='auto'/>");
  const auto e = doc->GetDocumentElement();
  const std::vector<std::string> values = {"On", "Off"};
  EXPECT_EQ(1, e->GetEnumAttr("mode", values, 0));
  EXPECT_EQ(0, e->GetEnumAttr("absent", values, 0));
  EXPECT_EQ(1, e->RequireEnumAttr("mode", values));
  EXPECT_EQ(
      "Exception: Incorrect value of the attribute \"bad\" at element \"e\".\r\nAllowed values are: \r\nOn\r\nOff",
      ErrorOf([&] { e->GetEnumAttr("bad", values, 0); }));
  EXPECT_EQ("Exception: Attribute \"absent\" not found", ErrorOf([&] { e->RequireEnumAttr("absent", values); }));
}

TEST(XmlDocumentTest, BinaryDataAndCDataSections) {
  auto doc = MakeRef<TXmlDocument>();
  const auto e = doc->NewDocument("1.0", "UTF-8", "e");
  e->AppendElement("keep");
  e->ReplaceTextByBinaryData("abc", 3, 0);
  EXPECT_EQ("YWJj", e->GetText());
  EXPECT_EQ("abc", e->GetTextAsBinaryData());
  e->ReplaceTextByBinaryData("abcdefg", 7, 4);
  EXPECT_EQ("YWJj\r\nZGVm\r\nZw==", e->SelectAll("keep")->GetItem(0)->GetParentNode()->GetText());
  EXPECT_EQ("abcdefg", e->GetTextAsBinaryData());
  EXPECT_EQ(2, e->ChildCount());  // the element child stays
  e->SetText(" YW ");
  EXPECT_EQ("", e->GetTextAsBinaryData());

  // A stored value is the element's text too: it is replaced, not kept as a child.
  e->ReplaceTextByCDATA("a]]>b");
  ASSERT_EQ(2, e->ChildCount());
  EXPECT_EQ("a]", Child(e, 0)->AsCDATASection()->GetData());
  EXPECT_EQ("]>b", Child(e, 1)->AsCDATASection()->GetData());
}

TEST(XmlDocumentTest, DocumentOperations) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->NewDocument("", "windows-1251", "root");
  ASSERT_EQ(2, doc->ChildCount());
  const auto declaration = Child(doc, 0);
  EXPECT_EQ("xml", declaration->GetNodeName());
  EXPECT_EQ("1.0", declaration->GetAttr("version", ""));
  EXPECT_EQ("windows-1251", declaration->GetAttr("encoding", ""));
  EXPECT_EQ(root.get(), doc->GetDocumentElement().get());
  EXPECT_EQ(doc.get(), root->GetOwnerDocument().get());
  EXPECT_EQ("#document", doc->GetNodeName());
  EXPECT_EQ(kXmlNodeDocument, doc->GetNodeType());

  // A deep clone keeps the declaration's attributes and shares the name table.
  const auto copy = doc->CloneNode(true);
  EXPECT_EQ("windows-1251", Child(copy, 0)->GetAttr("encoding", ""));
  EXPECT_EQ(doc->GetNameTable(), copy->GetNameTable());
  EXPECT_FALSE(copy->GetParentNode());
  EXPECT_EQ(0, doc->CloneNode(false)->ChildCount());

  doc->SetText(" words ");
  ASSERT_EQ(1, doc->ChildCount());
  EXPECT_EQ("words", doc->GetText());
  doc->SetPreserveWhiteSpace(true);
  EXPECT_EQ(" words ", doc->GetText());

  EXPECT_EQ(kXmlNodeText, doc->CreateText("t")->GetNodeType());
  EXPECT_EQ("#cdata-section", doc->CreateCDATASection("c")->GetNodeName());
  EXPECT_EQ("#comment", doc->CreateComment("c")->GetNodeName());
  EXPECT_EQ("#text", doc->CreateText("c")->GetNodeName());
  EXPECT_FALSE(doc->CreateComment("c")->AsElement());
  EXPECT_EQ(Variant::FromString("p"), doc->CreateProcessingInstruction("t", "p")->GetTypedValue());
}

TEST(XmlDocumentTest, FindElementByAttr) {
  const auto doc = ParseXml("<r><i id='x'/><i id='7' n='first'/><i id='7'/></r>");
  const auto root = doc->GetDocumentElement();
  const auto found = root->FindElementByAttr("i", "id", Variant::FromInt32(7));
  ASSERT_TRUE(found);
  EXPECT_EQ("first", found->GetAttr("n", ""));
  EXPECT_FALSE(root->FindElementByAttr("i", "id", Variant::FromInt32(8)));
  EXPECT_TRUE(root->FindElementByAttr("i", "id", Variant::FromString("x")));
}

TEST(XmlDocumentTest, NodesOutliveTheirParents) {
  Ref<TXmlNode> child;
  Ref<TXmlNodeList> list;
  {
    const auto doc = ParseXml("<r><a><b/></a></r>");
    child = doc->GetDocumentElement()->SelectFirst("a");
    list = child->GetChildNodes();
  }
  EXPECT_FALSE(child->GetParentNode());
  EXPECT_FALSE(child->GetOwnerDocument());
  child.reset();
  ASSERT_EQ(1, list->GetCount());
  EXPECT_FALSE(list->GetItem(0)->GetParentNode());
}

TEST(XmlNameTableTest, InterningAndFixedNames) {
  auto table = MakeRef<TXmlNameTable>();
  EXPECT_EQ(nullptr, table->GetId(""));
  EXPECT_EQ("", TXmlNameTable::GetName(nullptr));
  EXPECT_EQ("#text", *table->TextId());
  EXPECT_EQ("encoding", *table->EncodingId());
  EXPECT_EQ(6u, table->NameCount());
  EXPECT_EQ(97u, TXmlNameTable::Hash("a"));
  EXPECT_EQ(6275u, TXmlNameTable::Hash("ab"));
  EXPECT_EQ(31775236u, TXmlNameTable::Hash("root"));
  const XmlNameId a = table->GetId("a");
  EXPECT_NE(a, table->GetId("A"));
  // IDs stay put however many names follow (past the point where the index takes over).
  for (int i = 0; i < 10000; ++i) table->GetId("name" + std::to_string(i));
  EXPECT_EQ(a, table->GetId("a"));
  EXPECT_EQ(table->GetId("name77"), table->GetId("name77"));
  EXPECT_EQ(10008u, table->NameCount());
}

}  // namespace
}  // namespace qb
