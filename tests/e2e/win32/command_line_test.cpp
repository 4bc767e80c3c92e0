#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qb::test
