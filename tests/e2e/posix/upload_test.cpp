// The end-to-end runs of what only POSIX has: FIFOs, file names that differ only in case,
// writers that nothing keeps out of a file being sent, a parent made by fork.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "e2e/upload_fixture.h"
#include "support/child_process.h"
#include "support/reference_receiver.h"
#include "support/temp_dir.h"

extern char** environ;

namespace qb::test {
namespace {

TEST_F(UploadTest, OnlyFilesAreQueued) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  std::filesystem::create_directories(Path("sub"));
  ASSERT_EQ(0, ::mkfifo(Path("fifo").c_str(), 0600));
  WriteFile(Path("z.txt"), "z");
  WriteFile(Path(".hidden"), "h");
  const ProgramResult result = Run();
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(Path(".hidden") + "\r\n" + Path("z.txt") + "\r\n", ReadFile(Ledger()));
}

TEST_F(UploadTest, ALedgerLineDecidesExactlyWhichFileIsSkipped) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  WriteFile(Path("a.txt"), "a");
  WriteFile(Path("A.TXT"), "A");
  std::filesystem::create_directories(State());
  // Another file's line, and a line differing only in case: file names are case-sensitive here.
  WriteFile(Ledger(), Path("gone.txt") + "\r\n" + Path("a.txt") + "\r\n");
  const ProgramResult result = Run();
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(Path("gone.txt") + "\r\n" + Path("a.txt") + "\r\n" + Path("A.TXT") + "\r\n", ReadFile(Ledger()));
  EXPECT_EQ("A", ReadFile(receiver.StoredFile("A.TXT")));
}

// Nothing keeps other writers out of a file here, so a change is found after sending.
TEST_F(UploadTest, AFileWrittenDuringItsUploadIsNotRecorded) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/1"));
  WriteFile(Path("a.txt"), "first version");
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    WriteFile(Path("a.txt"), "second, longer version");
  });
  const ProgramResult result = Run();
  writer.join();
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ("[--:--:--] [ERRX] EQbFileChangedError: File \"" + Path("a.txt") +
                "\" changed while it was being uploaded\r\n",
            log.substr(log.rfind("[--:--:--]")));
  EXPECT_EQ("", ReadFile(Ledger()));
}

TEST_F(UploadTest, TheParentEndingDuringAnUploadEndsTheRunAndTheFileIsSentAgain) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/5"));
  WriteFile(Path("a.txt"), "a");
  const pid_t parent = ::fork();
  if (parent == 0) {
    ::pause();
    ::_exit(0);
  }
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = Run({"-parentProcID=" + std::to_string(parent)});
  killer.join();
  EXPECT_EQ(1, result.exitCode);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  const std::string log = Log(result);
  EXPECT_EQ(std::string::npos, log.find("[ERRX]"));  // the watchdog writes nothing
  EXPECT_EQ("", ReadFile(Ledger()));

  WriteConfig(receiver.Url());
  const ProgramResult again = Run();
  EXPECT_EQ(0, again.exitCode);
  EXPECT_EQ(Path("a.txt") + "\r\n", ReadFile(Ledger()));
}

// Started with standard input, output and error closed, the program must not let the
// files and sockets it opens take their numbers: a log line would land in them.
TEST_F(UploadTest, ClosedStandardHandlesCorruptNothing) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  const std::string content(100000, 'x');
  WriteFile(Path("a.txt"), content);
  WriteFile(Path("b.txt"), "b");
  const std::string binary = QuobrinaPath();
  const std::string configSwitch = "-configFile=" + Config();
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>(configSwitch.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) ::posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid = 0;
  ASSERT_EQ(0, ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ));
  ::posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(Path("a.txt") + "\r\n" + Path("b.txt") + "\r\n", ReadFile(Ledger()));
  EXPECT_EQ(content, ReadFile(receiver.StoredFile("a.txt")));
  EXPECT_EQ("b", ReadFile(receiver.StoredFile("b.txt")));
  EXPECT_EQ(2u, receiver.Requests().size());
}

}  // namespace
}  // namespace qb::test
