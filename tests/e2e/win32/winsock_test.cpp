// The program on a machine whose socket library cannot be loaded. Wine can be told to
// refuse a DLL to one program by its file name (AppDefaults in the registry); Windows
// itself has no such switch, so the test runs only under Wine. The program is run under a
// name of its own, so that runs of the other tests at the same time keep their sockets.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/win32/win32.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

// Wine's per-program DLL setting: the DLL is not loaded for programs of that file name.
class RefusedDll {
 public:
  RefusedDll(const std::string& program, const char* dll) : key_("Software\\Wine\\AppDefaults\\" + program) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, (key_ + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                          &handle, nullptr) == ERROR_SUCCESS) {
      ::RegSetValueExA(handle, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
      ::RegCloseKey(handle);
    }
  }
  ~RefusedDll() {
    ::RegDeleteKeyA(HKEY_CURRENT_USER, (key_ + "\\DllOverrides").c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str());
  }
  RefusedDll(const RefusedDll&) = delete;
  RefusedDll& operator=(const RefusedDll&) = delete;

 private:
  std::string key_;
};

TEST(Win32WinsockTest, AMissingSocketLibraryEndsTheRunWithTheStartUpError) {
  if (!UnderWine()) GTEST_SKIP() << "only Wine can refuse the socket library to one program";
  ScopedTempDir dir;
  const std::string source = dir.file("Outbox");
  ASSERT_EQ(platform::CreateDirectory(source), platform::CreateDirectoryResult::Created);
  WriteFile(source + "\\a.txt", "x");
  WriteFile(dir.file("upload.xml"), "<?xml version=\"1.0\"?>\r\n<settings><configData><SourceFolder>" + source +
                                        "</SourceFolder><ConfigFolder>" + dir.file("State") +
                                        "</ConfigFolder><UploadServer><UploadAT>http://127.0.0.1:9/</"
                                        "UploadAT>"
                                        "</UploadServer></configData></settings>");
  const std::string program = "quobrina-without-sockets.exe";
  ASSERT_TRUE(::CopyFileA(QuobrinaPath().c_str(), dir.file(program).c_str(), FALSE));
  RefusedDll refused(program, "ws2_32");

  const ProgramResult result = RunProgram(dir.file(program), {program, "-configFile=" + dir.file("upload.xml")}, 60);
  EXPECT_EQ(1, result.exitCode);
  const std::string output = StripStamps(result.output);
  const std::string line =
      "\r\n[--:--:--] [ERRX] ENetStackInitializationFailed: Error on loading "
      "Winsock2 library (WS2_32.DLL): ";
  EXPECT_NE(output.find(line), std::string::npos) << output;
  // The file was not sent, so the ledger that the first step wrote stays empty.
  EXPECT_EQ(ReadFile(dir.file("State") + "\\00000000.LST"), "");
}

}  // namespace
}  // namespace qb::test
