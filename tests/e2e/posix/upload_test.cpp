// The end-to-end runs of what only POSIX has: FIFOs, file names that differ only in case,
// writers that nothing keeps out of a file being sent, a parent made by fork, the peak
// memory of a run and a limit on its address space.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "e2e/upload_fixture.h"
#include "support/child_process.h"
#include "support/reference_receiver.h"
#include "support/scripted_peer.h"
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

// Nothing keeps other writers out of a file here, so a change is found after sending:
// new content, or another file of the same size and time moved into its place.
TEST_F(UploadTest, AFileWrittenDuringItsUploadIsNotRecorded) {
  const auto rewrite = [this] { WriteFile(Path("a.txt"), "second, longer version"); };
  const auto replace = [this] {
    WriteFile(Path("copy"), "other version");
    std::filesystem::last_write_time(Path("copy"), std::filesystem::last_write_time(Path("a.txt")));
    std::filesystem::rename(Path("copy"), Path("a.txt"));
  };
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/1"));
  for (const std::function<void()>& change : {std::function<void()>(rewrite), std::function<void()>(replace)}) {
    std::filesystem::remove_all(State());
    WriteFile(Path("a.txt"), "first version");
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      change();
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

// A server that answers with a body of a gibibyte, or one that never ends, must neither
// make the program hold it nor keep it reading: the status decides, the body is dropped.
TEST_F(UploadTest, AnEndlessAnswerBodyKeepsMemoryFlat) {
  constexpr std::size_t kPiece = 64 * 1024;
  constexpr std::size_t kGibibyte = std::size_t{1} << 30;
  const std::string piece(kPiece, 'x');
  const struct {
    const char* name;
    const char* head;
    bool chunked;
    int exitCode;
  } cases[] = {
      {"2xx until the close", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", false, 0},
      {"2xx chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true, 0},
      {"2xx with a huge length", "HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n", false, 0},
      {"4xx until the close", "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n", false, 1},
      {"4xx chunked", "HTTP/1.1 413 Too Large\r\nTransfer-Encoding: chunked\r\n\r\n", true, 1},
      {"4xx with a huge length", "HTTP/1.1 404 Not Found\r\nContent-Length: 1099511627776\r\n\r\n", false, 1},
  };
  WriteFile(Path("a.txt"), "a");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(State());
    std::size_t sent = 0;
    ScriptedPeer peer([&](PeerConnection& connection) {
      const std::string head = connection.ReceiveUntil("\r\n\r\n");
      const std::size_t at = head.find("Content-Length: ");
      if (at != std::string::npos) connection.Receive(std::stoul(head.substr(at + 16)));
      connection.Send(c.head);
      const std::string chunk = c.chunked ? "10000\r\n" + piece + "\r\n" : piece;
      while (sent < kGibibyte && connection.Send(chunk)) sent += kPiece;
    });
    WriteConfig("http://127.0.0.1:" + std::to_string(peer.port()) + "/upload");
    const ProgramResult result = Run();
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(c.exitCode, result.exitCode) << result.output;
    EXPECT_EQ(c.exitCode == 0 ? Path("a.txt") + "\r\n" : "", ReadFile(Ledger()));
    EXPECT_GT(result.peakKiB, 0);
    EXPECT_LT(result.peakKiB, 32 * 1024);
    EXPECT_LT(sent, kGibibyte / 16);  // the program stopped reading long before the end
  }
}

// The status line is the error line's message: whatever control bytes a server puts in
// it, the log keeps one line per event.
TEST_F(UploadTest, AHostileStatusLineIsLoggedAsOneEscapedLine) {
  ScriptedPeer peer([](PeerConnection& connection) {
    connection.ReceiveUntil("\r\n\r\n");
    connection.Send(std::string("HTTP/1.1 500 x\r[00:00:00] [LOGX] No files left: quiting\x1B[2J\0!\r\n\r\n", 65));
  });
  WriteConfig("http://127.0.0.1:" + std::to_string(peer.port()) + "/upload");
  WriteFile(Path("a.txt"), "a");
  const ProgramResult result = Run();
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ(
      "[--:--:--] [ERRX] ENetHTTPProtocolException: HTTP/1.1 500 x\\r[00:00:00] [LOGX] No files left: "
      "quiting\\x1B[2J\\x00!\r\n",
      log.substr(log.rfind("[--:--:--]")));
}

// Memory that runs out is an error like any other: one error line, exit code 1. (A
// ledger of one endless line needs more than the address space allows.)
TEST_F(UploadTest, RunningOutOfMemoryEndsWithOneErrorLine) {
  if (QUOBRINA_SANITIZED) GTEST_SKIP() << "sanitizers need more address space than any limit leaves";
  WriteConfig("http://127.0.0.1:9/upload");
  std::filesystem::create_directories(State());
  WriteFile(Ledger(), std::string(std::size_t{48} << 20, 'x'));
  const ProgramResult result = RunProgram(
      "/bin/sh", {"sh", "-c", "ulimit -v 65536 && exec \"$0\" \"$@\"", QuobrinaPath(), "-configFile=" + Config()}, 60);
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ("[--:--:--] [ERRX] EOutOfMemory: Out of memory\r\n", log.substr(log.find("[--:--:--]"))) << log;
}

}  // namespace
}  // namespace qb::test
