#include "platform/win32/command_line.h"

#include <gtest/gtest.h>

#include "platform/process.h"

namespace qb::platform::win32 {
namespace {

TEST(Win32CommandLineTest, BlanksSeparateAndQuotesGroup) {
  using Parameters = std::vector<std::string>;
  const struct {
    const char* line;
    Parameters parameters;
  } cases[] = {
      {R"(C:\Tools\quobrina.exe /parentProcID=4012 -configFile=C:\Data\upload.xml)",
       {R"(C:\Tools\quobrina.exe)", "/parentProcID=4012", R"(-configFile=C:\Data\upload.xml)"}},
      {R"("C:\Program Files\quobrina.exe" "-configFile = C:\My Data\a.xml")",
       {R"(C:\Program Files\quobrina.exe)", R"(-configFile = C:\My Data\a.xml)"}},
      // Quotes may stand anywhere in a parameter; they are removed, not escaped.
      {R"(q.exe -configFile="C:\My Data\a.xml")", {"q.exe", R"(-configFile=C:\My Data\a.xml)"}},
      {R"(q.exe "C:\Data\" next)", {"q.exe", R"(C:\Data\)", "next"}},
      {R"(q.exe a"b c"d)", {"q.exe", "ab cd"}},
      // Tabs and runs of blanks separate; empty quotes give nothing.
      {"q.exe\t a \t\tb  \"\"  c ", {"q.exe", "a", "b", "c"}},
      // An unclosed quote groups to the end.
      {R"(q.exe "-configFile=C:\a b.xml)", {"q.exe", R"(-configFile=C:\a b.xml)"}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.parameters) << c.line;
}

TEST(Win32CommandLineTest, ParameterZeroIsTheModulePath) {
  InitializeProcess(0, nullptr);
  const auto& parameters = CommandLineParameters();
  ASSERT_FALSE(parameters.empty());
  EXPECT_NE(parameters[0].find(".exe"), std::string::npos) << parameters[0];
  EXPECT_EQ(parameters[0].find('"'), std::string::npos);
}

}  // namespace
}  // namespace qb::platform::win32
