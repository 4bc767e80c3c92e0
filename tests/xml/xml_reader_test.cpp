#include "xml/xml_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/files.h"
#include "support/error_texts.h"
#include "support/temp_dir.h"
#include "xml/xml_document.h"
#include "xml_test_util.h"

namespace qb {
namespace {

using test::Child;
using test::LoadError;
using test::ParseXml;

TEST(XmlReaderTest, EveryErrorMessageWithItsPosition) {
  const struct {
    const char* input;
    const char* message;
  } cases[] = {
      {"<a>1 < 2</a>", "Name must start with letter or \"_\" at [1:7]"},
      {"< a/>", "Name must start with letter or \"_\" at [1:2]"},
      {"<a>&1;</a>", "Name must start with letter or \"_\" at [1:5]"},
      {"<? x?>", "Name must start with letter or \"_\" at [1:3]"},
      {"<a b=c/>", "Line constant expected at [1:6]"},
      {"<a>x</b>", "Text \"a\" expected at [1:7]"},
      {"<abc>x</abd>", "Text \"c\" expected at [1:11]"},
      {"<a>x</ab>", "Character \">\" expected at [1:8]"},
      {"<a>", "Character \"/\" expected at [1:3]"},
      {"<a><", "Character \"/\" expected at [1:4]"},
      {"<a x'1'/>", "Character \"=\" expected at [1:5]"},
      {"<a =1/>", "Character \">\" expected at [1:4]"},
      {"<a>&#65</a>", "Character \";\" expected at [1:8]"},
      {"<a/ >", "Text \">\" expected at [1:4]"},
      {"<a>&#X41;</a>", "Number expected at [1:6]"},
      {"<a>&#", "Number expected at [1:5]"},
      {"<a>&#;</a>", "Number expected at [1:6]"},
      {"<a>&#x;</a>", "Hexadecimal number expected at [1:7]"},
      {"<a>&", "\"#\" or XML entity symbol name expected at [1:4]"},
      {"<a>&Amp;</a>", "Unknown XML entity symbol name \"Amp\" found at [1:9]"},
      {"<a x='<'/>", "Character \"<\" cannot be used in the values of attributes at [1:7]"},
      {"<a x='1", "\"'\" expected at [1:7]"},
      {"<a x=\"1'/>", "\"\"\" expected at [1:10]"},
      {"<a x=", "The value of the attribute is expected at [1:5]"},
      {"<!-- x", "\"-->\" expected at [1:6]"},
      {"<![CDATA[x", "\"]]>\" expected at [1:10]"},
      {"<?pi x", "\"?>\" expected at [1:6]"},
      {"<!DOCTYPE x", "\">\" expected at [1:11]"},
      {"<!-x-->", "Text \"-\" expected at [1:4]"},
      {"<![CDAT[", "Text \"A[\" expected at [1:8]"},
      {"<!ELEMENT>", "Text \"DOCTYPE\" expected at [1:3]"},
      {"<?xml version='1.0'>", "Text \"?>\" expected at [1:20]"},
      {"<?xml version='1.0' encoding='UTF-16'?><a/>", "Encoding \"UTF-16\" is not supported by QbXml"},
      {"<a", "Incomplete definition of the element"},
      {"<a!>", "Invalid symbol in the name of the element"},
      // Lines count line feeds only; a line feed is column 0 of the line it starts.
      {"\n\n<a>\n<b>x</c>", "Text \"b\" expected at [4:7]"},
      {"<a>\r\r</b>", "Text \"a\" expected at [1:8]"},
      {"<a>\n", "Character \"/\" expected at [2:0]"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.message, LoadError(c.input)) << c.input;
}

TEST(XmlReaderTest, WorkedExampleElementsAttributesAndEntities) {
  const auto doc = ParseXml("<a x='1' y='2'>hello &amp; bye<b/></a>");
  const auto a = doc->GetDocumentElement();
  ASSERT_TRUE(a);
  EXPECT_EQ("a", a->GetNodeName());
  ASSERT_EQ(2, a->GetAttrCount());
  EXPECT_EQ("x", a->GetAttrName(0));
  EXPECT_EQ("y", a->GetAttrName(1));
  EXPECT_EQ(VarType::String, a->GetAttrType("x"));
  EXPECT_EQ("2", a->GetAttr("y", ""));
  ASSERT_EQ(2, a->GetChildNodes()->GetCount());
  EXPECT_EQ(kXmlNodeText, Child(a, 0)->GetNodeType());
  EXPECT_EQ("hello & bye", Child(a, 0)->GetText());
  EXPECT_EQ("b", Child(a, 1)->GetNodeName());
  EXPECT_EQ(0, Child(a, 1)->ChildCount());
}

TEST(XmlReaderTest, EntityAndCharacterReferences) {
  const struct {
    const char* input;
    std::string text;
  } cases[] = {
      {"&amp;&quot;&lt;&gt;&apos;", "&\"<>'"},
      {"&#65;&#x41;&#x4a;&#127;", "AAJ\x7F"},
      {"&#0;", std::string(1, '\0')},
      // Above 127 a reference is the character in the program code page (UTF-8 here),
      // not the number modulo 256.
      {"&#1055;", "\xD0\x9F"},
      {"&#233;", "\xC3\xA9"},
      {"&#128;", "\xC2\x80"},
      {"&#x20AC;", "\xE2\x82\xAC"},
      {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
      {"&#xD800;", "?"},
      {"&#xFFFE;", "?"},
      {"&#x110000;", "?"},
      {"&#99999999999999999999;", "?"},
      {"&#x000000041;", "A"},
  };
  for (const auto& c : cases) {
    const auto doc = ParseXml(std::string("<a v=\"") + c.input + "\">" + c.input + "</a>", true);
    const auto a = doc->GetDocumentElement();
    EXPECT_EQ(c.text, a->GetText()) << c.input;
    EXPECT_EQ(c.text, a->GetAttr("v", "")) << c.input;
  }
}

TEST(XmlReaderTest, WhiteSpaceWithAndWithoutPreserving) {
  const char* input = "<root>\n  <v>  C:\\in  </v>\n</root>";
  const auto trimmedDoc = ParseXml(input);
  const auto trimmed = trimmedDoc->GetDocumentElement();
  ASSERT_EQ(1, trimmed->ChildCount());
  EXPECT_EQ("C:\\in", Child(Ref<TXmlNode>(trimmed), 0)->GetText());
  EXPECT_EQ("C:\\in", Child(Child(Ref<TXmlNode>(trimmed), 0), 0)->GetText());

  const auto keptDoc = ParseXml(input, true);
  const auto kept = keptDoc->GetDocumentElement();
  ASSERT_EQ(3, kept->ChildCount());
  EXPECT_EQ("\n  ", Child(Ref<TXmlNode>(kept), 0)->GetText());
  EXPECT_EQ("  C:\\in  ", Child(Ref<TXmlNode>(kept), 1)->GetText());

  for (const char* empty : {"<a/>", "<a></a>", "<a> </a>", "<a>\r\n\t</a>"}) {
    EXPECT_EQ(0, ParseXml(empty)->GetDocumentElement()->ChildCount()) << empty;
  }
  EXPECT_EQ(1, ParseXml("<a> </a>", true)->GetDocumentElement()->ChildCount());
  EXPECT_EQ("one two", ParseXml("<a> one <b>x</b> two </a>")->GetDocumentElement()->GetText());
}

TEST(XmlReaderTest, DocumentLevelShapes) {
  EXPECT_EQ(0, ParseXml("")->ChildCount());
  // A stray end tag ends the parse; what follows is never read.
  const auto stray = ParseXml("<a>x</a></b><c/>");
  ASSERT_EQ(1, stray->ChildCount());
  EXPECT_EQ("a", Child(Ref<TXmlNode>(stray), 0)->GetNodeName());
  // Several top-level elements and top-level text are kept.
  const auto two = ParseXml("t<a/><b/>");
  ASSERT_EQ(3, two->ChildCount());
  EXPECT_EQ("a", two->GetDocumentElement()->GetNodeName());
  // The declaration of a document type ends at its first ">".
  const auto doctype = ParseXml("<!DOCTYPE r [<!ELEMENT r ANY>]><r/>");
  ASSERT_EQ(2, doctype->ChildCount());
  EXPECT_EQ("]>", Child(Ref<TXmlNode>(doctype), 0)->GetText());
  EXPECT_EQ("r", Child(Ref<TXmlNode>(doctype), 1)->GetNodeName());
}

TEST(XmlReaderTest, CommentsCDataAndProcessingInstructions) {
  const auto doc = ParseXml(
      "<?pi  data?><!--a---><![CDATA[x]]]><!-- - -- --><?p ?"
      "?>?>",
      true);
  ASSERT_EQ(6, doc->ChildCount());
  const auto pi = Child(Ref<TXmlNode>(doc), 0)->AsProcessingInstruction();
  ASSERT_TRUE(pi);
  EXPECT_EQ("pi", pi->GetNodeName());
  EXPECT_EQ("  data", pi->GetData());
  EXPECT_EQ("a-", Child(Ref<TXmlNode>(doc), 1)->AsComment()->GetData());
  EXPECT_EQ("x]", Child(Ref<TXmlNode>(doc), 2)->AsCDATASection()->GetData());
  EXPECT_EQ(" - -- ", Child(Ref<TXmlNode>(doc), 3)->AsComment()->GetData());
  EXPECT_EQ(" ?", Child(Ref<TXmlNode>(doc), 4)->AsProcessingInstruction()->GetData());
  EXPECT_EQ("?>", Child(Ref<TXmlNode>(doc), 5)->GetText());
  // Attribute values may hold ">" and the other quote, and keep their line breaks.
  const auto a = ParseXml("<a v='x>\"y' w=\"it's\n\"/>")->GetDocumentElement();
  EXPECT_EQ("x>\"y", a->GetAttr("v", ""));
  EXPECT_EQ("it's\n", a->GetAttr("w", ""));
  // A repeated attribute replaces the earlier value and keeps its place.
  const auto r = ParseXml("<a x='1' y='2' x='3'/>")->GetDocumentElement();
  ASSERT_EQ(2, r->GetAttrCount());
  EXPECT_EQ("x", r->GetAttrName(0));
  EXPECT_EQ("3", r->GetAttr("x", ""));
}

TEST(XmlReaderTest, ManyAttributesAndRepeats) {
  std::string input = "<a";
  for (int i = 0; i < 40; ++i) input += " n" + std::to_string(i) + "='" + std::to_string(i) + "'";
  input += " n3='x' n30='y'/>";
  const auto a = ParseXml(input)->GetDocumentElement();
  ASSERT_EQ(40, a->GetAttrCount());
  EXPECT_EQ("x", a->GetAttr("n3", ""));
  EXPECT_EQ("y", a->GetAttr("n30", ""));
  EXPECT_EQ("n30", a->GetAttrName(30));
}

TEST(XmlReaderTest, EncodingCases) {
  const struct {
    std::string input;
    std::string text;  // of the element a
  } cases[] = {
      // No declaration: bytes as they are, valid UTF-8 or not.
      {"<a>\xC3\xA9\xFF</a>", "\xC3\xA9\xFF"},
      // A declaration switches to UTF-8, with or without an empty encoding.
      {"<?xml version='1.0'?><a>\xC3\xA9\xFF</a>", "\xC3\xA9?"},
      {"<?xml version='1.0' encoding=''?><a>\xE2\x82\xAC</a>", "\xE2\x82\xAC"},
      {"<?xml version='1.0' encoding='utf-8'?><a>\xF0\x9F\x98\x80</a>", "\xF0\x9F\x98\x80"},
      // Malformed UTF-8 becomes "?": overlong, surrogate, above U+10FFFF, stray and cut.
      {"<?xml version='1.0'?><a>\xC0\xBC|\xED\xA0\x80|\xF4\x90\x80\x80|\x80|\xE2\x82|\xF8</a>", "?|?|?|?|?|?"},
      // Names compare ignoring case; the code page applies after the declaration.
      {"<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<a>\xCF\xF0\xE8</a>", "\xD0\x9F\xD1\x80\xD0\xB8"},
      {"<?xml version='1.0' encoding='KOI8-R'?><a>\xF0\xD2\xC9</a>", "\xD0\x9F\xD1\x80\xD0\xB8"},
      {"<?xml version='1.0' encoding='iso-8859-1'?><a>\xE9</a>", "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    const auto doc = ParseXml(c.input);
    ASSERT_TRUE(doc->GetDocumentElement()) << c.input;
    EXPECT_EQ(c.text, doc->GetDocumentElement()->GetText()) << c.input;
  }
  // Letters of the declared code page are name characters.
  const auto cyrillic = ParseXml("<?xml version='1.0' encoding='windows-1251'?><\xEF\xF0\xE8 \xE0='1'/>");
  EXPECT_EQ("\xD0\xBF\xD1\x80\xD0\xB8", cyrillic->GetDocumentElement()->GetNodeName());
  EXPECT_EQ("1", cyrillic->GetDocumentElement()->GetAttr("\xD0\xB0", ""));
  // The declaration is kept with its attributes.
  const auto declared = ParseXml("<?xml version='1.0' encoding='windows-1251'?><a/>");
  const auto xml = Child(Ref<TXmlNode>(declared), 0);
  EXPECT_EQ("xml", xml->GetNodeName());
  EXPECT_EQ("windows-1251", xml->GetAttr("encoding", ""));
  EXPECT_EQ("1.0", xml->GetAttr("version", ""));
}

// Input far longer than one block, with the declaration's code page applying to every
// later block and a UTF-8 sequence cut by each block boundary.
TEST(XmlReaderTest, BlocksAfterTheDeclaration) {
  std::string body;
  for (int i = 0; i < 12000; ++i) body += "\xCF\xF0\xE8";  // windows-1251
  const auto cp1251 = ParseXml("<?xml version='1.0' encoding='windows-1251'?><a>" + body + "</a>");
  std::string expected;
  for (int i = 0; i < 12000; ++i) expected += "\xD0\x9F\xD1\x80\xD0\xB8";
  EXPECT_EQ(expected, cp1251->GetDocumentElement()->GetText());

  const std::string head = "<?xml version='1.0'?><a>";
  std::string utf8;
  for (int i = 0; i < 20000; ++i) utf8 += "\xE2\x82\xAC";
  const auto doc = ParseXml(head + utf8 + "</a>");
  EXPECT_EQ(utf8, doc->GetDocumentElement()->GetText());
  // Columns count characters of program text across blocks.
  EXPECT_EQ("Text \"a\" expected at [1:" + std::to_string(head.size() + utf8.size() + 3) + "]",
            LoadError(head + utf8 + "</b>"));
}

TEST(XmlReaderTest, ByteOrderMarksOfStreams) {
  const struct {
    std::string input;
    const char* error;
    const char* text;
  } cases[] = {
      {std::string("\xFF\xFE<\0a\0/\0>\0", 10), "Unicode Encoding is not supported by QbXml", nullptr},
      {std::string("\xFE\xFF\0<\0a\0/\0>", 10), "Unicode Encoding is not supported by QbXml", nullptr},
      {std::string("\xFF\xFE\0\0<\0\0\0", 8), "Unicode Encoding is not supported by QbXml", nullptr},
      {std::string("\0\0\xFE\xFF\0\0\0<", 8), "Unicode Encoding is not supported by QbXml", nullptr},
      // A UTF-8 mark is skipped but does not switch to UTF-8.
      {"\xEF\xBB\xBF<a>\xFF</a>", nullptr, "\xFF"},
  };
  for (const auto& c : cases) {
    auto doc = MakeRef<TXmlDocument>();
    TMemoryStream stream(c.input);
    if (c.error) {
      try {
        doc->LoadFromStream(stream);
        ADD_FAILURE() << "loaded";
      } catch (const Exception& e) {
        EXPECT_EQ(c.error, e.Message());
      }
    } else {
      doc->LoadFromStream(stream);
      EXPECT_EQ(c.text, doc->GetDocumentElement()->GetText());
    }
  }
  // Strings get no byte-order-mark check.
  EXPECT_EQ("\xEF\xBB\xBF", ParseXml("\xEF\xBB\xBF<a/>")->GetText());
}

TEST(XmlReaderTest, HandlersSeeElementsAsTheyAreBuilt) {
  std::vector<std::string> events;
  auto doc = MakeRef<TXmlDocument>();
  doc->SetOnElementStart([&](const Ref<TXmlNodeList>& list, const Ref<TXmlNode>& element) {
    events.push_back("start " + element->GetNodeName() + " " + element->GetAttr("id", "-") + " in " +
                     std::to_string(list->GetCount()));
  });
  doc->SetOnElementEnd([&](const Ref<TXmlNodeList>& list, const Ref<TXmlNode>& element) {
    events.push_back("end " + element->GetNodeName());
    // A handler may drop what it has processed.
    if (element->GetNodeName() == "item") list->Delete(list->IndexOf(element.get()));
  });
  doc->LoadXml("<r><item id='1'>a</item><item id='2'/></r>");
  const std::vector<std::string> expected = {"start r - in 1",    "start item 1 in 1", "end item",
                                             "start item 2 in 1", "end item",          "end r"};
  EXPECT_EQ(expected, events);
  EXPECT_EQ(0, doc->GetDocumentElement()->ChildCount());
}

TEST(XmlReaderTest, FailedLoadKeepsWhatCameBefore) {
  auto doc = MakeRef<TXmlDocument>();
  doc->LoadXml("<old/>");
  EXPECT_THROW(doc->LoadXml("<a/><b>&bad;</b>"), Exception);
  ASSERT_EQ(2, doc->ChildCount());
  EXPECT_EQ("a", Child(Ref<TXmlNode>(doc), 0)->GetNodeName());
  EXPECT_EQ("b", Child(Ref<TXmlNode>(doc), 1)->GetNodeName());
}

TEST(XmlReaderTest, NestingIsBounded) {
  std::string deep;
  for (int i = 0; i < kXmlMaxNestingDepth; ++i) deep += "<a>";
  EXPECT_EQ("Character \"/\" expected at [1:" + std::to_string(deep.size()) + "]", LoadError(deep));
  EXPECT_EQ("Elements nested deeper than 1024 levels at [1:" + std::to_string(deep.size() + 2) + "]",
            LoadError(deep + "<a>"));
}

TEST(XmlReaderTest, LoadFromFile) {
  test::ScopedTempDir dir;
  const std::string path = dir.file("config.xml");
  test::WriteFile(path, "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\r\n<settings><configData/></settings>");
  auto doc = MakeRef<TXmlDocument>();
  doc->LoadFromFile(path);
  EXPECT_EQ("settings", doc->GetDocumentElement()->GetNodeName());
  try {
    doc->LoadFromFile(dir.file("missing.xml"));
    ADD_FAILURE() << "loaded";
  } catch (const EFOpenError& e) {
    EXPECT_EQ("Cannot open file \"" + dir.file("missing.xml") + "\". " + test::MissingFileText(), e.Message());
  }
}

TEST(XmlReaderTest, EncodingTable) {
  const std::pair<const char*, int> cases[] = {
      {"UTF-8", 65001},       {"windows-1250", 1250}, {"WINDOWS-1258", 1258}, {"iso-8859-13", 28603},
      {"ISO-8859-15", 28605}, {"koi8-u", 21866},      {"Koi8-R", 20866},
  };
  for (const auto& [name, codePage] : cases) EXPECT_EQ(codePage, XmlCodePageOfEncoding(name)) << name;
  for (const char* name : {"UTF-16", "UTF8", "latin1", "ISO-8859-10", "windows-1251 ", ""}) {
    EXPECT_FALSE(XmlCodePageOfEncoding(name)) << name;
  }
}

}  // namespace
}  // namespace qb
