#include "http/multipart_form_data.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/mime_store.h"
#include "support/child_process.h"
#include "support/error_texts.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

const platform::LocalDateTime kExampleTime{2026, 12, 8, 5, 21, 32, 123};
const std::string kBoundary = "--------120826052132123";
const std::string kClosing = "--" + kBoundary + "--\r\n";

std::string PartHeader(const std::string& fileName, const std::string& type) {
  return "--" + kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
         "\"\r\n" + "Content-Type: " + type + "\r\n" + "Content-Transfer-Encoding: binary\r\n\r\n";
}

std::string ReadAll(TStream& stream, std::size_t pieceSize) {
  std::string out;
  std::string buffer(pieceSize, '\0');
  for (;;) {
    const std::size_t n = stream.Read(buffer.data(), buffer.size());
    if (n == 0) return out;
    EXPECT_LE(n, pieceSize);
    out.append(buffer.data(), n);
  }
}

// Binary content with CR LF, bare CR and LF, and lines that look like boundaries.
std::string AwkwardContent(std::size_t randomBytes) {
  std::string data;
  for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
  data += "\r\n--------120826052132124\r\n\r\n----------1208260521321\r\n--\r\n\r\r\n\n";
  std::mt19937 random(7);
  for (std::size_t i = 0; i < randomBytes; ++i) data += static_cast<char>(random() & 0xFF);
  return data + "\r\n\r";
}

class MultipartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedStore_ = platform::MimeStorePath();
    // The built-in list alone, whatever the machine's store says.
    platform::SetMimeStorePath(dir_.file("no-such-store.types"));
  }
  void TearDown() override { platform::SetMimeStorePath(savedStore_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.file(name);
    test::WriteFile(path, bytes);
    return path;
  }

  test::ScopedTempDir dir_;
  std::string savedStore_;
};

TEST_F(MultipartTest, WorkedExampleByteForByte) {
  TNetMultiPartFormDataStream body(kExampleTime);
  EXPECT_EQ(body.BoundaryText(), kBoundary);
  EXPECT_EQ(body.MultipartContentType(), "multipart/form-data; boundary=" + kBoundary);
  body.AppendFilePart("file", Write("report.txt", "hello"), "");
  const std::string expected =
      "----------120826052132123\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"report.txt\"\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Transfer-Encoding: binary\r\n"
      "\r\n"
      "hello\r\n"
      "----------120826052132123--\r\n";
  EXPECT_EQ(body.GetSize(), 194);
  EXPECT_EQ(ReadAll(body, 65536), expected);
  EXPECT_EQ(expected.size(), 194u);
  EXPECT_EQ(body.Read(nullptr, 0), 0u);
}

TEST_F(MultipartTest, BoundaryIsTwentyThreeCharactersFromTheClock) {
  const struct {
    platform::LocalDateTime time;
    const char* boundary;
  } cases[] = {
      {{2026, 12, 8, 5, 21, 32, 123}, "--------120826052132123"},
      {{2001, 1, 2, 0, 0, 0, 0}, "--------010201000000000"},
      {{1999, 10, 31, 23, 59, 59, 999}, "--------103199235959999"},
  };
  for (const auto& c : cases) EXPECT_EQ(TNetMultiPartFormDataStream(c.time).BoundaryText(), c.boundary);
  EXPECT_EQ(TNetMultiPartFormDataStream().BoundaryText().size(), 23u);
}

TEST_F(MultipartTest, FramingFollowsNameAndContent) {
  const struct {
    const char* name;
    std::string content;
    std::string body;
  } cases[] = {
      {"empty.txt", "", PartHeader("empty.txt", "text/plain") + "\r\n" + kClosing},
      {"data.qbx", "x", PartHeader("data.qbx", "application/octet-stream") + "x\r\n" + kClosing},
      {"archive.tar.gz", "gz", PartHeader("archive.tar.gz", "application/x-gzip") + "gz\r\n" + kClosing},
      {"README", "r", PartHeader("README", "application/octet-stream") + "r\r\n" + kClosing},
  };
  for (const auto& c : cases) {
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", Write(c.name, c.content), "");
    EXPECT_EQ(body.GetSize(), static_cast<std::int64_t>(c.body.size())) << c.name;
    EXPECT_EQ(ReadAll(body, 4096), c.body) << c.name;
  }
}

TEST_F(MultipartTest, PieceSizeDoesNotChangeTheBytes) {
  const std::string content = AwkwardContent(100000);
  TNetMultiPartFormDataStream body(kExampleTime);
  body.AppendFilePart("file", Write("data.bin", content), "");
  const std::int64_t size = body.GetSize();
  const std::string whole = ReadAll(body, 1 << 20);
  EXPECT_EQ(static_cast<std::int64_t>(whole.size()), size);
  EXPECT_EQ(whole, PartHeader("data.bin", "application/octet-stream") + content + "\r\n" + kClosing);
  for (const std::size_t piece : {1, 2, 3, 7, 158, 159, 4096}) {
    body.Seek(0, SeekOrigin::Beginning);
    EXPECT_EQ(ReadAll(body, piece), whole) << piece;
  }
}

TEST_F(MultipartTest, SizeQueriesAndRestarts) {
  TNetMultiPartFormDataStream body(kExampleTime);
  body.AppendFilePart("file", Write("report.txt", "hello"), "");
  const std::string whole = PartHeader("report.txt", "text/plain") + "hello\r\n" + kClosing;

  EXPECT_EQ(body.GetSize(), 194);
  EXPECT_EQ(body.GetSize(), 194);
  char buffer[200];
  ASSERT_EQ(body.Read(buffer, 10), 10u);
  // Asked in the middle: the size is the same and reading goes on where it was.
  EXPECT_EQ(body.GetSize(), 194);
  EXPECT_EQ(body.GetPosition(), 10);
  EXPECT_EQ(body.Seek(5, SeekOrigin::Current), 10);
  EXPECT_EQ(body.Seek(3, SeekOrigin::Beginning), 10);
  EXPECT_EQ(body.Seek(-4, SeekOrigin::End), 10);
  EXPECT_EQ(std::string(buffer, 10) + ReadAll(body, 17), whole);
  EXPECT_EQ(body.GetPosition(), 194);

  EXPECT_EQ(body.Seek(0, SeekOrigin::Beginning), 0);
  EXPECT_EQ(ReadAll(body, 64), whole);
}

// Whatever the locale, names go out as UTF-8: two names that one charset cannot hold
// must not arrive as one. Non-ASCII names come once more as an extended parameter, for
// receivers that read the quoted form as Latin-1, while the part header after the
// boundary line stays within 512 bytes (512 here, 514 without it); longer ones would be
// refused at every start by receivers that stop there.
TEST_F(MultipartTest, FileNamesGoOutAsUtf8WhateverTheLocale) {
  const auto repeat = [](const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
  };
  const struct {
    std::string name;
    std::string extended;
  } cases[] = {
      {"отчёт.txt", "UTF-8''%D0%BE%D1%82%D1%87%D1%91%D1%82.txt"},
      {"报告 1.txt", "UTF-8''%E6%8A%A5%E5%91%8A%201.txt"},
      {"café.txt", "UTF-8''caf%C3%A9.txt"},
      {repeat("я", 45) + "ab.txt", "UTF-8''" + repeat("%D1%8F", 45) + "ab.txt"},
      {repeat("я", 45) + "abc.txt", ""},
      {repeat("я", 100) + ".txt", ""},
      {repeat("ш", 125) + ".txt", ""},  // 254 bytes, the longest such name ext4 holds
      {repeat("报", 83) + ".txt", ""},
      {"plain (1).txt", ""},
  };
  for (const auto& c : cases) {
    const std::string path = Write(c.name, "hello");
    TNetMultiPartFormDataStream body(kExampleTime);
    const TNetFormDataField& field = body.AppendFilePart("file", path, "");
    EXPECT_EQ(field.PartFileName, c.name);
    std::string expected = PartHeader(c.name, "text/plain") + "hello\r\n" + kClosing;
    if (!c.extended.empty()) {
      expected.insert(expected.find("\r\nContent-Type"), "; filename*=" + c.extended);
    }
    EXPECT_EQ(body.GetSize(), static_cast<std::int64_t>(expected.size()));
    EXPECT_EQ(ReadAll(body, 4096), expected) << c.name;
    const std::string header = field.PartHeader(kBoundary);
    EXPECT_LE(header.size() - kBoundary.size() - 4, kMaxPartHeaderSection) << c.name;
  }
}

TEST_F(MultipartTest, NamesCannotBreakThePartHeader) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names cannot hold quotes, backslashes or line breaks";
#endif
  const struct {
    const char* name;
    const char* onTheWire;
  } cases[] = {
      {"say \"hi\".txt", "say %22hi%22.txt"},
      {"a\r\nContent-Type: evil.txt", "a%0D%0AContent-Type: evil.txt"},
      {"a\\b.txt", "a%5Cb.txt"},
      {"100%22.txt", "100%2522.txt"},
      {"caf\xE9.txt", "caf%E9.txt"},
  };
  for (const auto& c : cases) {
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", Write(c.name, "x"), "");
    EXPECT_EQ(ReadAll(body, 4096), PartHeader(c.onTheWire, "text/plain") + "x\r\n" + kClosing) << c.name;
  }
}

TEST_F(MultipartTest, ContentTypeArgumentMovesTheCharset) {
  const struct {
    const char* argument;
    const char* contentTypeLine;
  } cases[] = {
      {"image/png", "Content-Type: image/png"},
      {"text/plain", "Content-Type: text/plain; charset=\"us-ascii\""},
      {"TEXT/html; level=1", "Content-Type: TEXT/html; level=1; charset=\"us-ascii\""},
      {"text/plain; charset=utf-8", "Content-Type: text/plain; charset=\"utf-8\""},
      {"application/json; Charset=\"UTF-8\"; a=b", "Content-Type: application/json; a=b; charset=\"UTF-8\""},
      {"application/x-q; name=\"a; b\"; charset=koi8-r",
       "Content-Type: application/x-q; name=\"a; b\"; charset=\"koi8-r\""},
  };
  for (const auto& c : cases) {
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", Write("x.bin", ""), c.argument);
    const std::string text = ReadAll(body, 4096);
    EXPECT_NE(text.find(std::string("\r\n") + c.contentTypeLine + "\r\n"), std::string::npos) << text;
  }
  TNetMultiPartFormDataStream body(kExampleTime);
  TNetFormDataField& field = body.AppendFilePart("file", Write("x.bin", ""), "");
  field.PartContentType = "text/plain\r\nX-Injected: 1";
  EXPECT_THROW(body.GetSize(), ENetHeaderEncodeError);
}

TEST_F(MultipartTest, UnopenableFileAddsNoPart) {
  TNetMultiPartFormDataStream body(kExampleTime);
  const std::string missing = dir_.file("gone.txt");
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {missing, "Cannot open file \"" + missing + "\". " + test::MissingFileText()},
      {dir_.path(), "Cannot open file \"" + dir_.path() + "\". " + test::FolderAsFileText()},
  };
  for (const auto& c : cases) {
    try {
      body.AppendFilePart("file", c.path, "");
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  EXPECT_EQ(body.Fields().Count(), 0u);
  // A body without parts is the closing line alone, as long as its size says.
  EXPECT_EQ(body.GetSize(), 29);
  EXPECT_EQ(ReadAll(body, 7), kClosing);
}

TEST_F(MultipartTest, WriteAndResizeAreUnsupported) {
  TNetMultiPartFormDataStream body(kExampleTime);
  try {
    body.Write("x", 1);
    ADD_FAILURE() << "Write succeeded";
  } catch (const ENetUnsupportedOperation& e) {
    EXPECT_EQ(e.Message(), "Unsupported operation.");
    EXPECT_STREQ(e.ClassName(), "ENetUnsupportedOperation");
  }
  EXPECT_THROW(body.SetSize(0), ENetUnsupportedOperation);
}

TEST_F(MultipartTest, BodyNeverDiffersFromTheSizeItReported) {
  const std::string content(10000, 'a');
  // A file that grows after the size query is cut at the size that was sent.
  {
    const std::string path = Write("growing.txt", content);
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", path, "");
    const std::int64_t size = body.GetSize();
    std::ofstream(path, std::ios::app) << "more";
    const std::string sent = ReadAll(body, 333);
    EXPECT_EQ(static_cast<std::int64_t>(sent.size()), size);
    EXPECT_EQ(sent, PartHeader("growing.txt", "text/plain") + content + "\r\n" + kClosing);
  }
  // A file that shrinks is an error, not a short body.
  {
    const std::string path = Write("shrinking.txt", content);
    TNetMultiPartFormDataStream body(kExampleTime);
    body.AppendFilePart("file", path, "");
    const auto headerSize = static_cast<std::int64_t>(PartHeader("shrinking.txt", "text/plain").size());
    EXPECT_EQ(body.GetSize(), headerSize + 10000 + 2 + 29);
    char buffer[4096];
    ASSERT_EQ(body.Read(buffer, sizeof buffer), sizeof buffer);
#ifdef _WIN32
    // Windows keeps every writer out while the file is read: it cannot shrink.
    std::error_code refused;
    std::filesystem::resize_file(path, 5000, refused);
    EXPECT_TRUE(refused);
    return;
#endif
    std::filesystem::resize_file(path, 5000);
    try {
      ReadAll(body, 4096);
      ADD_FAILURE() << "a shrunken file was sent short";
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), "File \"" + path +
                                 "\" shrank while it was being sent: it ended after 5000 of the 10000 bytes announced");
    }
  }
}

// The body as an independent multipart parser sees it.
std::string Python() {
  if (::access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(path, folder, ':');) {
    if (::access((folder + "/python3").c_str(), X_OK) == 0) return folder + "/python3";
  }
  return {};
}

constexpr const char* kParseScript = R"(
import email, email.policy, sys
message = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.HTTP)
parts = list(message.iter_parts())
for part in parts:
    print('name=%s' % part.get_param('name', header='content-disposition'))
    print('filename=%s' % part.get_filename())
    print('type=%s' % part.get_content_type())
    print('data=%s' % part.get_payload(decode=True).hex())
print('parts=%d defects=%d' % (len(parts), len(message.defects) + sum(len(p.defects) for p in parts)))
)";

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

TEST_F(MultipartTest, IndependentParserReadsTheBodyBack) {
#ifdef _WIN32
  GTEST_SKIP() << "python3 runs beside the POSIX build only";
#endif
  const std::string python = Python();
  ASSERT_FALSE(python.empty()) << "python3 is needed to parse the body";
  const std::string content = AwkwardContent(3000);
  TNetMultiPartFormDataStream body(kExampleTime);
  body.AppendFilePart("file", Write("payload 1.bin", content), "");
  const std::string message = "Content-Type: " + body.MultipartContentType() + "\r\n\r\n" + ReadAll(body, 1000);
  const std::string messagePath = Write("message.eml", message);
  const test::ProgramResult result = test::RunProgram(python, {"python3", "-c", kParseScript, messagePath}, 60);
  ASSERT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.output, "name=file\nfilename=payload 1.bin\ntype=application/octet-stream\ndata=" + Hex(content) +
                               "\nparts=1 defects=0\n");
}

}  // namespace
}  // namespace qb
