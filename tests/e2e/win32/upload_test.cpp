// The Windows program against the reference receiver, which scripts/test-windows runs on
// loopback (outside Wine) and names in QUOBRINA_WINDOWS_RECEIVER (its URL) and
// QUOBRINA_WINDOWS_RECEIVER_OUTPUT (the folder it stores into, as a Windows path).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

#include "e2e/upload_fixture.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/win32/win32.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A file type of the test's own, registered in HKEY_CLASSES_ROOT for the test's length.
class RegisteredType {
 public:
  RegisteredType(const std::string& extension, const std::string& type) : key_(extension) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExA(HKEY_CLASSES_ROOT, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) ==
        ERROR_SUCCESS) {
      ::RegSetValueExA(handle, "Content Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(type.c_str()),
                       static_cast<DWORD>(type.size() + 1));
      ::RegCloseKey(handle);
    }
  }
  ~RegisteredType() { ::RegDeleteKeyA(HKEY_CLASSES_ROOT, key_.c_str()); }
  RegisteredType(const RegisteredType&) = delete;
  RegisteredType& operator=(const RegisteredType&) = delete;

 private:
  std::string key_;
};

class Win32UploadTest : public testing::Test {
 protected:
  void SetUp() override {
    url_ = Environment("QUOBRINA_WINDOWS_RECEIVER");
    received_ = Environment("QUOBRINA_WINDOWS_RECEIVER_OUTPUT");
    if (url_.empty() || received_.empty()) GTEST_SKIP() << "scripts/test-windows runs the reference receiver";
    token_ = std::to_string(std::random_device()() % 1000000000);
    ASSERT_EQ(platform::CreateDirectory(Source()), platform::CreateDirectoryResult::Created);
  }

  std::string Source() const { return dir_.file("Outbox"); }
  std::string State() const { return dir_.file("State"); }
  std::string Name(const std::string& stem, const std::string& extension) const {
    return stem + "-" + token_ + extension;
  }

  // `options` is XML that follows UploadAT.
  void WriteConfig(const std::string& url, const std::string& options = "") const {
    WriteFile(dir_.file("upload.xml"), "<?xml version=\"1.0\"?>\r\n<settings><configData><SourceFolder>" + Source() +
                                           "</SourceFolder><ConfigFolder>" + State() +
                                           "</ConfigFolder><UploadServer><UploadAT>" + url + "</UploadAT>" + options +
                                           "</UploadServer></configData></settings>");
  }

  std::string Received(const std::string& name) const { return received_ + "\\files\\" + name; }

  ScopedTempDir dir_;
  std::string url_;
  std::string received_;
  std::string token_;
};

TEST_F(Win32UploadTest, UploadsTheFolderSkipsWhatTheLedgerNamesInOtherCase) {
  const std::string a = Name("a", ".txt");
  const std::string hidden = Name("h", ".dat");
  const std::string typed = Name("r", ".qbt");
  const std::string listed = Name("B", ".txt");
  for (const auto& name : {a, hidden, typed, listed}) WriteFile(Source() + "\\" + name, "content of " + name);
  ASSERT_TRUE(::SetFileAttributesA((Source() + "\\" + hidden).c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_EQ(platform::CreateDirectory(Source() + "\\sub"), platform::CreateDirectoryResult::Created);
  // The ledger names B-....txt with every letter of its path in upper case.
  std::string ledgerLine = Source() + "\\" + listed;
  for (char& c : ledgerLine) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(platform::CreateDirectory(State()), platform::CreateDirectoryResult::Created);
  WriteFile(State() + "\\00000000.LST", ledgerLine + "\r\n");
  const RegisteredType registered(".qbt", "Text/X-Quobrina");
  WriteConfig(url_);

  const ProgramResult result = RunQuobrina({"-configFile=" + dir_.file("upload.xml")}, 120);
  ASSERT_EQ(0, result.exitCode) << result.output;
  const std::string log = StripStamps(result.output);
  for (const char* line : {"There are '3' files in queue", "There are '2' files in queue",
                           "There are '1' files in queue", "There are '0' files in queue", "No files left: quiting"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  for (const auto& name : {a, hidden, typed}) {
    EXPECT_EQ(ReadFile(Received(name)), "content of " + name) << name;
  }
  EXPECT_FALSE(platform::GetFileStatus(Received(listed)));
  // The registry's type, lower-cased, went with the file that has it.
  const std::string requests = ReadFile(received_ + "\\requests.jsonl");
  EXPECT_NE(requests.find("\"content_type\": \"text/x-quobrina\", \"field\": \"file\", \"filename\": \"" + typed +
                          "\""),
            std::string::npos)
      << requests;
  // The ledger keeps its line and gains the three paths in upload order.
  const std::string ledger = ReadFile(State() + "\\00000000.LST");
  EXPECT_EQ(ledger.find(ledgerLine + "\r\n"), 0u) << ledger;
  for (const auto& name : {a, hidden, typed}) {
    EXPECT_NE(ledger.find(Source() + "\\" + name + "\r\n"), std::string::npos) << ledger;
  }
}

// A name of the ANSI code page goes out as UTF-8: the receiver stores the same letters.
TEST_F(Win32UploadTest, AnAnsiFileNameArrivesAsUtf8) {
  if (platform::AnsiCodePage() != 1251) GTEST_SKIP() << "the ANSI code page is not 1251";
  const std::string name = Name("\xEE\xF2\xF7\xB8\xF2", ".txt");  // "отчёт" in code page 1251
  WriteFile(Source() + "\\" + name, "report");
  WriteConfig(url_);
  const ProgramResult result = RunQuobrina({"-configFile=" + dir_.file("upload.xml")}, 120);
  ASSERT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(ReadFile(Received(name)), "report");
  const std::string requests = ReadFile(received_ + "\\requests.jsonl");
  EXPECT_NE(requests.find("\"filename\": \"\\u043e\\u0442\\u0447\\u0451\\u0442-" + token_ + ".txt\""),
            std::string::npos)
      << requests;
}

// OpenSSL's DLLs as a site may have them: the program is copied into a folder of its own
// with the DLLs (those of the build, which lie beside it) under the names given, or in a
// folder on PATH, and run from there, so that no folder of the build is searched.
TEST_F(Win32UploadTest, OpenSSLIsFoundUnderTheNamesOfASite) {
  const std::string tlsUrl = Environment("QUOBRINA_WINDOWS_TLS_RECEIVER");
  if (tlsUrl.empty()) GTEST_SKIP() << "scripts/test-windows runs the TLS receiver with the OpenSSL DLLs";
  const std::filesystem::path build = std::filesystem::path(QuobrinaPath()).parent_path();
  using Copies = std::vector<std::pair<const char*, const char*>>;  // the build's DLL, its name here
  const Copies current{{"libcrypto-3.dll", "libcrypto-3.dll"}, {"libssl-3.dll", "libssl-3.dll"}};
  const struct {
    const char* what;
    Copies beside;
    bool onPath;  // the current names in a folder on PATH
    bool loads;
  } cases[] = {
      {"none", {}, false, false},
      {"current names beside the program", current, false, true},
      {"current names on PATH", {}, true, true},
      // A copy of libssl-3.dll still imports libcrypto-3.dll by that name.
      {"old names alone", {{"libcrypto-3.dll", "libeay32.dll"}, {"libssl-3.dll", "ssleay32.dll"}}, false, false},
      {"old names and libcrypto-3.dll",
       {{"libcrypto-3.dll", "libeay32.dll"}, {"libssl-3.dll", "ssleay32.dll"}, {"libcrypto-3.dll", "libcrypto-3.dll"}},
       false,
       true},
      {"libssl32.dll",
       {{"libcrypto-3.dll", "libeay32.dll"}, {"libssl-3.dll", "libssl32.dll"}, {"libcrypto-3.dll", "libcrypto-3.dll"}},
       false,
       true},
      {"old names holding each other's library",
       {{"libssl-3.dll", "libeay32.dll"}, {"libcrypto-3.dll", "ssleay32.dll"}, {"libcrypto-3.dll", "libcrypto-3.dll"}},
       false,
       false},
  };
  const std::filesystem::path before = std::filesystem::current_path();
  char path[32767] = {};
  ::GetEnvironmentVariableA("PATH", path, sizeof path);
  for (const auto& c : cases) {
    ScopedTempDir site;
    const std::filesystem::path folder = site.path();
    std::filesystem::copy_file(build / "quobrina.exe", folder / "quobrina.exe");
    for (const auto& [from, name] : c.beside) std::filesystem::copy_file(build / from, folder / name);
    std::filesystem::create_directory(folder / "openssl");
    if (c.onPath) {
      for (const auto& [from, name] : current) std::filesystem::copy_file(build / from, folder / "openssl" / name);
    }
    std::filesystem::remove_all(Source());
    std::filesystem::remove_all(State());
    ASSERT_EQ(platform::CreateDirectory(Source()), platform::CreateDirectoryResult::Created);
    const std::string name = Name("tls", ".txt");
    WriteFile(Source() + "\\" + name, c.what);
    WriteConfig(tlsUrl);
    ::SetEnvironmentVariableA("PATH", ((folder / "openssl").string() + ";" + path).c_str());
    std::filesystem::current_path(folder);
    const ProgramResult result =
        RunProgram((folder / "quobrina.exe").string(), {"quobrina.exe", "-configFile=" + dir_.file("upload.xml")}, 60);
    std::filesystem::current_path(before);
    ::SetEnvironmentVariableA("PATH", path);
    const bool failed =
        StripStamps(result.output)
            .find("\r\n[--:--:--] [ERRX] ENetOSSLCouldNotLoadSSLLibrary: Could not load SSL library.\r\n") !=
        std::string::npos;
    EXPECT_EQ(c.loads ? 0 : 1, result.exitCode) << c.what << "\n" << result.output;
    EXPECT_EQ(!c.loads, failed) << c.what << "\n" << result.output;
    if (c.loads) {
      EXPECT_EQ(ReadFile(Received(name)), c.what);
    }
  }
}

// Verification against the TLS receiver of scripts/test-windows, whose self-signed
// certificate is in no root store of the system: given as CertificateFile it is trusted,
// and without it the system's store refuses it. Needs OpenSSL's DLLs beside the program.
TEST_F(Win32UploadTest, VerificationTrustsTheCertificateFileAndNotTheRootStore) {
  const std::string url = Environment("QUOBRINA_WINDOWS_TLS_RECEIVER");
  const std::string certificate = Environment("QUOBRINA_WINDOWS_TLS_CERTIFICATE");
  if (url.empty() || certificate.empty()) GTEST_SKIP() << "scripts/test-windows runs the TLS receiver";
  const std::string verify = "<VerifyCertificate>true</VerifyCertificate>";
  for (const bool given : {true, false}) {
    SCOPED_TRACE(given ? "CertificateFile given" : "the system's root store");
    const std::string path = Source() + "\\" + Name(given ? "given" : "store", ".txt");
    WriteFile(path, "x");
    WriteConfig(url, verify + (given ? "<CertificateFile>" + certificate + "</CertificateFile>" : ""));
    const ProgramResult result = RunQuobrina({"-configFile=" + dir_.file("upload.xml")}, 60);
    const std::string log = StripStamps(result.output);
    if (given) {
      EXPECT_EQ(0, result.exitCode) << result.output;
      EXPECT_EQ(ReadFile(State() + "\\00000000.LST"), path + "\r\n");
      ASSERT_TRUE(::DeleteFileA(path.c_str()));
      continue;
    }
    EXPECT_EQ(1, result.exitCode);
    // "self-signed certificate" in OpenSSL 3, "self signed certificate" in 1.1.
    const std::string refused = "[--:--:--] [ERRX] ENetOSSLConnectError: Error connecting with SSL.\r\nself";
    EXPECT_NE(log.find(refused), std::string::npos) << log;
    EXPECT_NE(log.find("signed certificate\r\n", log.find(refused)), std::string::npos) << log;
  }
}

// The file is opened for reading with only readers let in: a writer is refused for as
// long as the upload holds the file, so what is sent and recorded is what was there.
TEST_F(Win32UploadTest, AWriterIsRefusedWhileTheFileIsSent) {
  const std::string path = Source() + "\\" + Name("a", ".txt");
  WriteFile(path, "first version");
  WriteConfig(url_ + "slow/3");  // the file stays open until the answer, three seconds after the body
  bool refused = false;
  const auto before = BodiesInReceiver(received_ + "\\files");
  std::thread writer([&] {
    // A body new to the receiver: the program is sending, and holds the file until the answer.
    WaitForNewBody(received_ + "\\files", before);
    try {
      WriteFile(path, "second, longer version");
    } catch (const std::runtime_error&) {
      refused = true;
    }
  });
  const ProgramResult result = RunQuobrina({"-configFile=" + dir_.file("upload.xml")}, 60);
  writer.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(ReadFile(Received(Name("a", ".txt"))), "first version");
  EXPECT_EQ(ReadFile(State() + "\\00000000.LST"), path + "\r\n");
}

TEST_F(Win32UploadTest, WatchdogEndsTheProgramWhenItsParentEnds) {
  WriteFile(Source() + "\\" + Name("slow", ".txt"), "x");
  WriteConfig(url_ + "slow/30");  // the receiver answers after thirty seconds
  SleeperProcess parent;
  ProgramResult result;
  std::thread run([&] {
    result =
        RunQuobrina({"-parentProcID=" + std::to_string(parent.pid()), "-configFile=" + dir_.file("upload.xml")}, 60);
  });
  // The watch begins before the configuration is read: once the ledger exists, the parent
  // is watched.
  WaitFor([&] { return platform::GetFileStatus(State() + "\\00000000.LST").has_value(); });
  const auto ended = std::chrono::steady_clock::now();
  parent.End();
  run.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - ended).count();
  EXPECT_EQ(1, result.exitCode);
  EXPECT_LT(seconds, 20.0);  // ended by the watchdog, not by the answer
  EXPECT_EQ(result.output.find("[ERRX]"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("No files left"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace qb::test
