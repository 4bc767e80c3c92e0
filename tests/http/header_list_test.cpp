#include "http/header_list.h"

#include <gtest/gtest.h>

#include "net/net_exception.h"

namespace qb {
namespace {

TNetHeaderList ListOf(std::initializer_list<const char*> lines) {
  TNetHeaderList list;
  for (const char* line : lines) list.Add(line);
  return list;
}

TEST(HeaderListTest, LookupIgnoresCaseAndJoinsContinuationLines) {
  const TNetHeaderList list = ListOf({
      "Content-Type:   text/html  ",
      "X-Folded: first",
      "  second  ",
      "\tthird",
      "Next: n",
      "  after-next",
      "Empty:",
      "no colon here",
      "Spaced : not this name",
      "content-type: the second one",
  });
  const std::pair<const char*, const char*> cases[] = {
      {"content-type", "text/html"},  // first of two, trimmed
      {"CONTENT-TYPE", "text/html"},
      {"x-folded", "first second third"},
      {"Next", "n after-next"},
      {"Empty", ""},
      {"Missing", ""},
      {"no colon here", ""},
      {"Spaced", ""},  // the name is the text before the colon, blank included
      {"second", ""},  // a continuation line is never a header of its own
  };
  for (const auto& [name, value] : cases) EXPECT_EQ(value, list.Value(name)) << name;
  EXPECT_TRUE(list.Contains("EMPTY"));
  EXPECT_FALSE(list.Contains("Missing"));
}

TEST(HeaderListTest, AllValuesUnfoldsEveryLineOfTheName) {
  const TNetHeaderList list = ListOf({
      "WWW-Authenticate: Negotiate",
      "Server: x",
      "www-authenticate: Digest realm=\"r\",",
      "   nonce=\"n\"",
      "WWW-Authenticate: Basic realm=\"b\"",
  });
  const std::vector<std::string> expected = {"Negotiate", "Digest realm=\"r\", nonce=\"n\"", "Basic realm=\"b\""};
  EXPECT_EQ(expected, list.AllValues("WWW-Authenticate"));
  EXPECT_TRUE(list.AllValues("Set-Cookie").empty());
}

TEST(HeaderListTest, SetReplacesTheFirstLineWithItsContinuationsOrAppends) {
  TNetHeaderList list = ListOf({"A: 1", "B: folded", " more", "b: 2", "C: 3"});
  list.SetValue("b", "new");
  EXPECT_EQ((std::vector<std::string>{"A: 1", "b: new", "b: 2", "C: 3"}), list.Lines());
  list.SetValue("D", "4");
  EXPECT_EQ("D: 4", list.Lines().back());
  list.SetValue("B", "");  // an empty value removes the first line of the name
  EXPECT_EQ((std::vector<std::string>{"A: 1", "b: 2", "C: 3", "D: 4"}), list.Lines());
  list.SetValue("Absent", "");
  EXPECT_EQ(4u, list.Count());
}

TEST(HeaderListTest, WireTextWritesLinesAsTheyAreAndRefusesLineBreaks) {
  TNetHeaderList list = ListOf({"A: 1", "", "B: two words"});
  list.AddValue("C", "x");
  EXPECT_EQ("A: 1\r\nB: two words\r\nC: x\r\n", list.WireText());

  const char* hostile[] = {"X: a\r\nInjected: pwned", "X: a\nInjected: pwned", "X: a\r", "Injected\r\nX: y"};
  for (const char* line : hostile) {
    TNetHeaderList bad;
    bad.AddValue("Host", "h");
    bad.Add(line);
    EXPECT_THROW(bad.WireText(), ENetException) << line;
  }
}

TEST(HeaderListTest, StructuredValueParameters) {
  struct Case {
    const char* value;
    const char* name;
    const char* parameter;
    const char* without;
  };
  const Case cases[] = {
      {"text/html; charset=UTF-8", "charset", "UTF-8", "text/html"},
      {"text/html;CHARSET=\"koi8-r\"", "Charset", "koi8-r", "text/html"},
      {"multipart/form-data; boundary=\"a;b\"; charset=x", "boundary", "a;b", "multipart/form-data; charset=x"},
      {"a/b; q=\"say \\\"hi\\\"\"; charset=u", "q", "say \"hi\"", "a/b; charset=u"},
      {"a/b; x=1; charset=c; y=2", "charset", "c", "a/b; x=1; y=2"},
      {"text/plain", "charset", "", "text/plain"},
      {"", "charset", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.parameter, HeaderParameter(c.value, c.name)) << c.value;
    EXPECT_EQ(c.without, RemoveHeaderParameter(c.value, c.name)) << c.value;
  }
  EXPECT_EQ("multipart/form-data", HeaderMainValue(" multipart/form-data ; boundary=x"));
}

}  // namespace
}  // namespace qb
