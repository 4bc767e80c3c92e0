#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/error_texts.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

// The error line the binary prints for a configuration that cannot be used.
TEST(ConfigurationErrorsTest, EachFailureIsOneErrorLineAndExitCodeOne) {
  ScopedTempDir dir;
  const std::string file = dir.file("upload.xml");
  const std::string state = dir.file("state");
  struct Case {
    std::string content;  // empty: the file does not exist
    std::string errorLine;
  };
  const Case cases[] = {
      {"", "[--:--:--] [ERRX] EFOpenError: Cannot open file \"" + file + "\". " + MissingFileText() + "\r\n"},
      {"<settings><configData></settings>",
       "[--:--:--] [ERRX] Exception: Text \"configData\" expected at [1:25]\r\n"},
      {"<settings><other/></settings>",
       "[--:--:--] [ERRX] Exception: Error: Child node \"configData\" not found\r\n"},
      {"<settings><configData><ConfigFolder>" + state + "</ConfigFolder></configData></settings>",
       "[--:--:--] [ERRX] Exception: Error: Child node \"UploadServer\" not found\r\n"},
  };
  for (const Case& c : cases) {
    if (c.content.empty()) {
      std::remove(file.c_str());
    } else {
      WriteFile(file, c.content);
    }
    const ProgramResult result = RunQuobrina({"-configFile=" + file});
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("[--:--:--] [LOGX] commandLine = '" + QuobrinaPath() + " -configFile=" + file + "'\r\n" + c.errorLine,
              StripStamps(result.output));
  }
}

}  // namespace
}  // namespace qb::test
