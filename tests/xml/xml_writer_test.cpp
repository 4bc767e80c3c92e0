#include "xml/xml_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/codepage.h"
#include "support/date_time.h"
#include "support/exception.h"
#include "support/stream.h"
#include "support/temp_dir.h"
#include "xml/xml_document.h"
#include "xml_test_util.h"

namespace qb {
namespace {

using test::ErrorOf;
using test::ParseXml;

std::string Saved(const TXmlDocument& doc) {
  TMemoryStream stream;
  doc.SaveToStream(stream);
  return stream.DataString();
}

// Records the size of every write, and refuses writes after a byte budget when given one.
class RecordingStream final : public TMemoryStream {
 public:
  explicit RecordingStream(std::size_t budget = SIZE_MAX) : budget_(budget) {}
  std::size_t Write(const void* buffer, std::size_t count) override {
    if (count > budget_) return 0;
    budget_ -= count;
    writes.push_back(count);
    return TMemoryStream::Write(buffer, count);
  }
  std::vector<std::size_t> writes;

 private:
  std::size_t budget_;
};

TEST(XmlWriterTest, WorkedExampleByteForByte) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->NewDocument("1.0", "UTF-8", "root");
  const auto config = root->AppendElement("configData");
  config->AppendElement("SourceFolder")->AppendText("C:\\in");
  config->AppendComment("c");
  const std::string expected =
      "<?xml version=\"1.0\" "
      "encoding=\"UTF-8\"?>\r\n<root>\r\n\t<configData>\r\n\t\t<SourceFolder>C:\\in</SourceFolder>"
      "<!--c-->\r\n\t</configData>\r\n</root>";
  EXPECT_EQ(expected, Saved(*doc));
  // Read back, the document is saved to the same bytes again.
  TMemoryStream stream(expected);
  auto again = MakeRef<TXmlDocument>();
  again->LoadFromStream(stream);
  EXPECT_EQ(expected, Saved(*again));
}

TEST(XmlWriterTest, StreamAndStringFormsOfElements) {
  const struct {
    const char* xml;
    bool preserve;
    const char* stream;  // SaveToStream of the document
    const char* string;  // GetXml of the document
  } cases[] = {
      // One text child: on one line, in both forms.
      {"<a>x</a>", false, "\r\n<a>x</a>", "\r\n<a>x</a>"},
      // An element child puts the end tag on its own line.
      {"<a><b/></a>", false, "\r\n<a>\r\n\t<b/>\r\n</a>", "\r\n<a>\r\n\t<b/>\r\n</a>"},
      // Several children: the stream form closes on its own line; the string form only
      // when the content holds a line break.
      {"<a><!--c-->t</a>", false, "\r\n<a><!--c-->t\r\n</a>", "\r\n<a><!--c-->t</a>"},
      {"<a>x<b>y</b></a>", false, "\r\n<a>x\r\n\t<b>y</b>\r\n</a>", "\r\n<a>x\r\n\t<b>y</b>\r\n</a>"},
      // A single comment child holding a line break: only the string form breaks the line.
      {"<a><!--1\n2--></a>", false, "\r\n<a><!--1\n2--></a>", "\r\n<a><!--1\n2-->\r\n</a>"},
      {"<a><![CDATA[x\r\n]]></a>", false, "\r\n<a><![CDATA[x\r\n]]></a>", "\r\n<a><![CDATA[x\r\n]]>\r\n</a>"},
      {"<a><b><c/></b></a>", false, "\r\n<a>\r\n\t<b>\r\n\t\t<c/>\r\n\t</b>\r\n</a>",
       "\r\n<a>\r\n\t<b>\r\n\t\t<c/>\r\n\t</b>\r\n</a>"},
      {"<a></a>", false, "\r\n<a/>", "\r\n<a/>"},
      // White space preserved: no indentation at all, text kept as it is.
      {"<a>\n <b> x </b></a>", true, "<a>\n <b> x </b></a>", "<a>\n <b> x </b></a>"},
      {"<a/>", true, "<a/>", "<a/>"},
      // Other kinds, and escaping of text only.
      {"<?pi  data?><!--a -- b--><![CDATA[<&>]]>x &amp; &lt;y&gt; 'q' &quot;", true,
       "<?pi   data?><!--a -- b--><![CDATA[<&>]]>x &amp; &lt;y&gt; 'q' &quot;",
       "<?pi   data?><!--a -- b--><![CDATA[<&>]]>x &amp; &lt;y&gt; 'q' &quot;"},
      {"<a q='say \"hi\" &amp; it&apos;s &lt;&gt;'/>", false, "\r\n<a q=\"say &quot;hi&quot; &amp; it's &lt;&gt;\"/>",
       "\r\n<a q=\"say &quot;hi&quot; &amp; it's &lt;&gt;\"/>"},
  };
  for (const auto& c : cases) {
    const auto doc = ParseXml(c.xml, c.preserve);
    EXPECT_EQ(c.stream, Saved(*doc)) << c.xml;
    EXPECT_EQ(c.string, doc->GetXml()) << c.xml;
  }
}

TEST(XmlWriterTest, GetXmlOfSingleNodesAndLists) {
  const auto doc = ParseXml("<r><a><b>x</b><c/></a><a/></r>");
  const auto root = doc->GetDocumentElement();
  const auto b = root->SelectFirst("a\\b");
  // The level counts the element's ancestors below the document.
  EXPECT_EQ("\r\n\t\t<b>x</b>", b->GetXml());
  EXPECT_EQ("\r\n\t<a>\r\n\t\t<b>x</b>\r\n\t\t<c/>\r\n\t</a>\r\n\t<a/>", root->SelectAll("a")->GetXml());
  EXPECT_EQ("x", b->GetChildNodes()->GetXml());
  // A text node is written untrimmed; a node outside any document is indented from 0.
  auto loose = doc->CreateElement("n");
  loose->AppendText("  1 < 2  ");
  EXPECT_EQ("\r\n<n>  1 &lt; 2  </n>", loose->GetXml());
  EXPECT_EQ("  1 &lt; 2  ", loose->GetChildNodes()->GetItem(0)->GetXml());
  // Content that already ends in CR LF gets no second one before the end tag.
  auto lines = doc->CreateElement("n");
  lines->AppendText("x\r\n");
  EXPECT_EQ("\r\n<n>x\r\n</n>", lines->GetXml());
  // "]]>" inside a section splits it after its first "]".
  auto data = doc->CreateElement("n");
  data->AppendCDATA("a]]>b]]>");
  EXPECT_EQ("\r\n<n><![CDATA[a]]]><![CDATA[]>b]]]><![CDATA[]>]]></n>", data->GetXml());
}

TEST(XmlWriterTest, TypedValuesAsText) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->NewDocument("", "", "r");
  root->SetFloatAttr("f", 1.5);
  root->SetBoolAttr("t", true);
  root->SetBoolAttr("n", false);
  root->SetDateTimeAttr("d", EncodeDateTime({2024, 2, 29, 13, 5, 9, 870}));
  root->SetIntAttr("i", -42);
  root->SetVarAttr("w", Variant::FromWideString(u"\u00e9\"x"));
  root->AppendElement("v")->SetTypedValue(Variant::FromDouble(-0.0025));
  root->AppendElement("s")->SetTypedValue(Variant::FromBytes("abc"));
  root->AppendElement("e")->SetTypedValue(Variant::FromString(""));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r f=\"1.50000000000000E+0000\" t=\"1\" n=\"0\" "
      "d=\"2024-02-29T13:05:09\" i=\"-42\" w=\"\xC3\xA9&quot;x\">"
      "\r\n\t<v>-2.50000000000000E-0003</v>\r\n\t<s>YWJj</s>\r\n\t<e></e>\r\n</r>",
      Saved(*doc));
  // The float text reads back as the same number.
  EXPECT_EQ(1.5, ParseXml(Saved(*doc))->GetDocumentElement()->GetFloatAttr("f", 0));
  // In the string form an empty text counts as no content.
  EXPECT_EQ("\r\n\t<e/>", root->SelectFirst("e")->GetXml());
}

TEST(XmlWriterTest, OutputEncodingFollowsTheDeclaration) {
  // Program text is UTF-8 here; "Привет" in code page 1251 is CF F0 E8 E2 E5 F2.
  const std::string word = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
  auto doc = MakeRef<TXmlDocument>();
  doc->NewDocument("1.0", "windows-1251", "r")->SetAttr("a", word + "\xE2\x82\xAC\xE4\xB8\xAD");
  const std::string saved = Saved(*doc);
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<r a=\"\xCF\xF0\xE8\xE2\xE5\xF2\x88?\"/>", saved);
  // The reader converts back after the declaration.
  EXPECT_EQ(word + "\xE2\x82\xAC?", ParseXml(saved)->GetDocumentElement()->GetAttr("a", ""));

  // No declaration: UTF-8 and no byte-order mark; bytes that are not UTF-8 pass unchanged.
  auto plain = MakeRef<TXmlDocument>();
  plain->AppendElement("r")->AppendText(word + "\xFF");
  EXPECT_EQ("\r\n<r>" + word + "\xFF</r>", Saved(*plain));
}

TEST(XmlWriterTest, UnsupportedEncodingWritesNothing) {
  for (const char* encoding : {"UTF-16", "ascii", "windows-1250x"}) {
    auto doc = MakeRef<TXmlDocument>();
    doc->NewDocument("1.0", encoding, "r");
    RecordingStream stream;
    EXPECT_EQ(std::string("Exception: Encoding \"") + encoding + "\" is not supported by QbXml",
              ErrorOf([&] { doc->SaveToStream(stream); }));
    EXPECT_TRUE(stream.writes.empty()) << encoding;
  }
  // An existing file is left as it was, not emptied.
  test::ScopedTempDir dir;
  const std::string path = dir.path() + "/keep.xml";
  test::WriteFile(path, "precious");
  auto doc = MakeRef<TXmlDocument>();
  doc->NewDocument("1.0", "UTF-16", "r");
  EXPECT_EQ("Exception: Encoding \"UTF-16\" is not supported by QbXml", ErrorOf([&] { doc->SaveToFile(path); }));
  EXPECT_EQ("precious", test::ReadFile(path));
}

TEST(XmlWriterTest, SaveToFile) {
  test::ScopedTempDir dir;
  const auto doc = ParseXml("<?xml version='1.0'?><r><a>1</a></r>");
  const std::string path = dir.path() + "/out.xml";
  test::WriteFile(path, std::string(10000, 'x'));  // truncated, not overwritten in place
  doc->SaveToFile(path);
  EXPECT_EQ(Saved(*doc), test::ReadFile(path));
  const std::string missing = dir.file(test::PlatformPath("no/such/dir/out.xml"));
  const std::string error = ErrorOf([&] { doc->SaveToFile(missing); });
  EXPECT_EQ(0u, error.find("EFCreateError: Cannot create file \"" + missing + "\". ")) << error;
}

TEST(XmlWriterTest, LongTextGoesThroughTheBufferInThirds) {
  // 5000 two-byte characters converted to one byte each: no character is cut where the
  // text is split, and no write exceeds the 4096-byte buffer.
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "\xD0\x96";  // Ж, C6 in code page 1251
  auto doc = MakeRef<TXmlDocument>();
  doc->NewDocument("1.0", "windows-1251", "r")->AppendText(text);
  RecordingStream stream;
  doc->SaveToStream(stream);
  const std::string saved = stream.DataString();
  EXPECT_NE(std::string::npos, saved.find("<r>" + std::string(5000, '\xC6') + "</r>"));
  EXPECT_EQ(2, std::count(saved.begin(), saved.end(), '?'));  // only the declaration's
  for (const std::size_t n : stream.writes) EXPECT_LE(n, TXmlStmSaver::kStreamCapacity);
  EXPECT_GT(stream.writes.size(), 3u);
}

TEST(XmlWriterTest, SaverBuffersAndFlushesWhatItHolds) {
  RecordingStream stream;
  {
    TXmlStmSaver saver(stream, 30);  // thirds of 10 bytes
    saver.Write("abc");
    saver.Write("defg");
    EXPECT_TRUE(stream.writes.empty());
    saver.Write(std::string(25, 'x'));  // 10, 10 and 5: each long piece flushed
    EXPECT_EQ((std::vector<std::size_t>{7, 10, 10}), stream.writes);
  }  // freeing the saver flushes the rest
  EXPECT_EQ((std::vector<std::size_t>{7, 10, 10, 5}), stream.writes);
  EXPECT_EQ("abcdefg" + std::string(25, 'x'), stream.DataString());
}

TEST(XmlWriterTest, RefusedWriteRaisesAndKeepsWhatWasWritten) {
  auto doc = MakeRef<TXmlDocument>();
  const auto root = doc->NewDocument("1.0", "UTF-8", "r");
  for (int i = 0; i < 2000; ++i) root->AppendElement("item")->SetIntAttr("n", i);
  RecordingStream stream(5000);
  EXPECT_EQ("EWriteError: Stream write error", ErrorOf([&] { doc->SaveToStream(stream); }));
  const std::string written = stream.DataString();
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(Saved(*doc).substr(0, written.size()), written);
}

}  // namespace
}  // namespace qb
