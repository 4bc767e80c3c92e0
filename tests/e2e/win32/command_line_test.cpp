#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "support/child_process.h"
#include "support/error_texts.h"

namespace qb::test {
namespace {

// The raw command line is logged exactly as Windows hands it over, quotes included, and
// a quoted switch with blanks around its separator names the path inside the quotes.
TEST(Win32QuobrinaCommandLineTest, QuotedSwitchIsOneParameterAndTheRawLineKeepsItsQuotes) {
  const ProgramResult result = RunQuobrina({"-configFile = C:\\No Such Folder\\a.xml", "/parentProcID=0"});
  EXPECT_EQ(1, result.exitCode) << result.output;
  EXPECT_EQ(StripStamps(result.output),
            "[--:--:--] [LOGX] commandLine = '" + QuobrinaPath() +
                " \"-configFile = C:\\No Such Folder\\a.xml\" /parentProcID=0'\r\n"
                "[--:--:--] [ERRX] EFOpenError: Cannot open file \"C:\\No Such Folder\\a.xml\". " +
                MissingFolderText() + "\r\n");
}

// The version resource that Windows shows in the file's properties.
TEST(Win32QuobrinaCommandLineTest, TheProgramCarriesItsVersion) {
  const std::string path = QuobrinaPath();
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
  const std::pair<const char*, std::string> strings[] = {{"ProductName", "Quobrina"},
                                                         {"ProductVersion", QUOBRINA_VERSION},
                                                         {"FileVersion", QUOBRINA_VERSION},
                                                         {"FileDescription",
                                                          "Uploads the files of a folder to an HTTP or HTTPS server"}};
  for (const auto& [name, expected] : strings) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        ::VerQueryValueA(data.data(), (std::string("\\StringFileInfo\\040904B0\\") + name).c_str(), &value, &length))
        << name;
    EXPECT_EQ(static_cast<const char*>(value), expected) << name;
  }
  void* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(data.data(), "\\", &fixed, &length));
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
                std::to_string(HIWORD(info->dwFileVersionLS)),
            QUOBRINA_VERSION);
}

}  // namespace
}  // namespace qb::test
