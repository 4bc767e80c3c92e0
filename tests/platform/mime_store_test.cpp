#include "platform/mime_store.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace qb::platform {
namespace {

std::string Joined(const std::vector<MimeAssociation>& pairs) {
  std::string out;
  for (const auto& pair : pairs) out += pair.extension + "=" + pair.mediaType + ";";
  return out;
}

TEST(MimeStoreTest, ReadsTypeAndExtensionsPerLine) {
  test::ScopedTempDir dir;
  struct {
    std::string content;
    std::string pairs;
  } const cases[] = {
      {"text/plain txt text\n", "txt=text/plain;text=text/plain;"},
      {"# a comment line\n\n   \ntext/plain txt # asc\n", "txt=text/plain;"},
      {"text/plain\ttxt\t\tasc\r\nimage/png png", "txt=text/plain;asc=text/plain;png=image/png;"},
      {"application/x-only\n#image/png png\n", ""},
      {"Text/CSV CSV\ntext/x-b csv\n", "CSV=Text/CSV;csv=text/x-b;"},
      // Control bytes split fields: none can reach a header line.
      {std::string("text/a\vb c\x01"
                   "d\n"),
       "b=text/a;c=text/a;d=text/a;"},
      {"text/long " + std::string(10000, 'x') + "\n", std::string(10000, 'x') + "=text/long;"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("mime.types");
    test::WriteFile(path, c.content);
    EXPECT_EQ(Joined(ReadMimeAssociations(path)), c.pairs) << c.content.substr(0, 40);
  }
}

TEST(MimeStoreTest, MissingOrUnreadableStoreIsEmpty) {
  test::ScopedTempDir dir;
  EXPECT_TRUE(ReadMimeAssociations(dir.file("absent")).empty());
  EXPECT_TRUE(ReadMimeAssociations(dir.path()).empty());
}

TEST(MimeStoreTest, LocationCanBeSet) {
  const std::string saved = MimeStorePath();
  EXPECT_EQ(saved, DefaultMimeStorePath());
  SetMimeStorePath("/tmp/other.types");
  EXPECT_EQ(MimeStorePath(), "/tmp/other.types");
  SetMimeStorePath(saved);
}

}  // namespace
}  // namespace qb::platform
