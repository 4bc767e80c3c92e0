#include "http/mime_table.h"

#include <gtest/gtest.h>

#include <string>

#include "net/net_exception.h"
#include "platform/mime_store.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

constexpr const char* kOctetStream = "application/octet-stream";

TEST(MimeTableTest, BuiltInListKeepsTheFirstOfEachExtension) {
  EXPECT_EQ(TNetMimeTable::BuiltInTypes().size(), 384u);
  const TNetMimeTable table(false);
  EXPECT_EQ(table.Count(), 372u);
  EXPECT_EQ(table.Extension(0), ".nml");
  EXPECT_EQ(table.Extension(371), ".mht");
  struct {
    const char* fileName;
    const char* type;
  } const cases[] = {
      {"a.txt", "text/plain"},
      {"a.xml", "text/xml"},
      {"a.htm", "text/html"},
      {"a.html", "text/html"},
      {"a.jpg", "image/jpeg"},
      {"a.png", "image/x-png"},
      {"a.gif", "image/gif"},
      {"a.pdf", "application/pdf"},
      {"a.zip", "application/x-zip-compressed"},
      {"a.rar", "application/rar"},
      {"a.7z", "application/x-7z-compressed"},
      {"a.gz", "application/x-gzip"},
      {"a.tar", "application/x-tar"},
      {"a.doc", "application/msword"},
      {"a.xls", "application/x-msexcel"},
      {"a.exe", "application/x-msdos-program"},
      {"a.dll", "application/x-msdos-program"},
      {"a.mht", "message/rfc822"},
      {"a.mjf", "audio/x-vnd.audioexplosion.mjuicemediafile"},
      // Extensions listed twice: the first occurrence counts.
      {"a.m3u", "audio/mpegurl"},
      {"a.mp2", "audio/x-mpg"},
      {"a.mp3", "audio/x-mpg"},
      {"a.rm", "audio/x-pn-realaudio"},
      {"a.cpt", "image/x-corelphotopaint"},
      {"a.xbm", "image/xbm"},
      {"a.asf", "video/x-ms-asf"},
      {"a.asx", "video/x-ms-asf"},
      // Not in the built-in list.
      {"a.csv", kOctetStream},
      {"a.log", kOctetStream},
      {"a.json", kOctetStream},
      {"a.docx", kOctetStream},
      {"a.xlsx", kOctetStream},
  };
  for (const auto& c : cases) EXPECT_EQ(table.GetFileMIMEType(c.fileName), c.type) << c.fileName;

  for (std::size_t i = 0; i < table.Count(); ++i) {
    EXPECT_EQ(table.MimeType(i).find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ =\r\n"), std::string::npos);
    EXPECT_NE(table.MimeType(i).find('/'), std::string::npos) << table.Extension(i);
  }
}

TEST(MimeTableTest, LookupTakesTheLastExtensionOfTheName) {
  const TNetMimeTable table(false);
  struct {
    const char* fileName;
    const char* type;
  } const cases[] = {
      {"report.txt", "text/plain"},
      {"REPORT.TXT", "text/plain"},
      {"Report.Txt", "text/plain"},
      {"archive.tar.gz", "application/x-gzip"},
      {"/srv/out/archive.tar.gz", "application/x-gzip"},
      {"README", kOctetStream},
      {"name.", kOctetStream},
      {"", kOctetStream},
      // A dot in a folder name is not an extension.
      {"/srv/out.txt/README", kOctetStream},
      {"/srv/out.d/picture.PNG", "image/x-png"},
      {".txt", "text/plain"},
      {"c++/main.c++", "text/x-c++src"},
  };
  for (const auto& c : cases) EXPECT_EQ(table.GetFileMIMEType(c.fileName), c.type) << c.fileName;
}

TEST(MimeTableTest, StrictAddReportsWhatItWouldSkip) {
  TNetMimeTable table(false);
  table.AddMimeType("CSV", "Text/CSV");
  EXPECT_EQ(table.GetFileMIMEType("data.csv"), "text/csv");
  struct {
    const char* extension;
    const char* type;
    const char* message;
  } const cases[] = {
      {"", "text/x", "Extension is empty"},
      {".x", "", "Mimetype is empty"},
      {".CSV", "text/other", "Extension already exits"},
      {"txt", "text/other", "Extension already exits"},
  };
  for (const auto& c : cases) {
    try {
      table.AddMimeType(c.extension, c.type, true);
      ADD_FAILURE() << "no error for " << c.extension;
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_NO_THROW(table.AddMimeType(c.extension, c.type, false));
  }
  EXPECT_EQ(table.GetFileMIMEType("data.csv"), "text/csv");
  EXPECT_EQ(table.GetFileMIMEType("a.txt"), "text/plain");
}

TEST(MimeTableTest, AssociationStoreWinsOverTheBuiltInList) {
  test::ScopedTempDir dir;
  const std::string store = dir.file("mime.types");
  test::WriteFile(store,
                  "# local types\n"
                  "Text/Plain\tTXT csv  # the comment ends the line\n"
                  "application/x-mine mp3\n"
                  "image/x-first png\n"
                  "image/x-later png\r\n"
                  "text/x-crlf log\r\n"
                  "application/x-no-extensions\n"
                  "\n");
  const TNetMimeTable table(store);
  struct {
    const char* fileName;
    const char* type;
  } const cases[] = {
      {"report.txt", "text/plain"},
      {"data.CSV", "text/plain"},
      // The store replaces the first of the two built-in ".mp3" lines, so it wins.
      {"song.mp3", "application/x-mine"},
      // A later line of the store replaces an earlier one.
      {"picture.png", "image/x-later"},
      {"run.log", "text/x-crlf"},
      {"a.gif", "image/gif"},
      {"README", kOctetStream},
  };
  for (const auto& c : cases) EXPECT_EQ(table.GetFileMIMEType(c.fileName), c.type) << c.fileName;
  EXPECT_EQ(table.Count(), 374u);  // .csv and .log appended

  const TNetMimeTable missing(dir.file("absent.types"));
  EXPECT_EQ(missing.GetFileMIMEType("run.log"), kOctetStream);
  EXPECT_EQ(missing.Count(), 372u);
}

TEST(MimeTableTest, StoreIsReadOncePerLocation) {
  test::ScopedTempDir dir;
  const std::string first = dir.file("first.types");
  const std::string second = dir.file("second.types");
  test::WriteFile(first, "text/x-first log\n");
  test::WriteFile(second, "text/x-second log\n");
  const std::string saved = platform::MimeStorePath();
  platform::SetMimeStorePath(first);
  EXPECT_EQ(GetMIMETypeFromFile("/var/run.log"), "text/x-first");
  // The table is not rebuilt per file: a change of the store shows in the next process.
  test::WriteFile(first, "text/x-changed log\n");
  EXPECT_EQ(GetMIMETypeFromFile("/var/run.log"), "text/x-first");
  platform::SetMimeStorePath(second);
  EXPECT_EQ(GetMIMETypeFromFile("/var/run.log"), "text/x-second");
  platform::SetMimeStorePath(saved);
}

}  // namespace
}  // namespace qb
