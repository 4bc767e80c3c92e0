// The end-to-end runs of what only POSIX has: FIFOs, file names that differ only in case,
// writers that nothing keeps out of a file being sent, a parent made by fork, the peak
// memory of a run and a limit on its address space, kills at random moments, file-size
// limits and folders that refuse renames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "e2e/upload_fixture.h"
#include "platform/files.h"
#include "support/child_process.h"
#include "support/reference_receiver.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

extern char** environ;

namespace qb::test {
namespace {

// A source folder that cannot be listed ends the run before anything is sent or made; as
// root, which may list any folder, the run is made as the user nobody.
TEST_F(UploadTest, ASourceFolderThatCannotBeListedIsAnError) {
  WriteConfig("http://127.0.0.1:9/");
  ::chmod(Source().c_str(), 0);
  ::chmod(Config().c_str(), 0644);
  const std::vector<std::string> command{QuobrinaPath(), "-configFile=" + Config()};
  std::vector<std::string> asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  asNobody.insert(asNobody.end(), command.begin(), command.end());
  const ProgramResult result =
      ::geteuid() == 0 ? RunProgram("/usr/bin/setpriv", asNobody) : RunProgram(QuobrinaPath(), command);
  ::chmod(Source().c_str(), 0755);
  EXPECT_EQ(1, result.exitCode) << result.output;
  EXPECT_EQ("[--:--:--] [ERRX] EFOpenError: Cannot open folder \"" + Source() + "/\". Permission denied\r\n",
            Log(result));
  EXPECT_FALSE(std::filesystem::exists(State()));
}

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

// A receiver that cannot store the file (a folder stands where it goes) must not answer 2xx.
TEST_F(UploadTest, AFileTheReceiverCannotStoreIsNotRecorded) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  WriteFile(Path("a.txt"), "a");
  std::filesystem::create_directories(receiver.StoredFile("a.txt"));
  const ProgramResult result = Run();
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ("[--:--:--] [ERRX] ENetHTTPProtocolException: HTTP/1.0 500 Internal Server Error\r\n",
            log.substr(log.rfind("[--:--:--]")));
  EXPECT_EQ("", ReadFile(Ledger()));
  ASSERT_EQ(1u, receiver.Requests().size());
  EXPECT_NE(std::string::npos, receiver.Requests()[0].find("\"status\": 500"));
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
  const std::string files = ReceivedFiles(receiver);
  for (const std::function<void()>& change : {std::function<void()>(rewrite), std::function<void()>(replace)}) {
    std::filesystem::remove_all(State());
    WriteFile(Path("a.txt"), "first version");
    const auto before = BodiesInReceiver(files);
    std::thread writer([&] {
      // The whole body has arrived (the program has read the file) and the answer is a
      // second away: however long the program took to start.
      WaitForNewBody(files, before, std::string("first version").size());
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
  WriteFile(Path("a.txt"), "a");
  // One upload, and eight at once: the watchdog ends the process wherever its threads are.
  for (const int atOnce : {1, 8}) {
    SCOPED_TRACE(atOnce);
    std::filesystem::remove_all(State());
    const std::string connections = "<Connections>" + std::to_string(atOnce) + "</Connections>";
    for (int i = 1; i < atOnce; ++i) WriteFile(Path("b" + std::to_string(i) + ".txt"), "b");
    WriteConfig(receiver.Url("/slow/5"), connections);
    const pid_t parent = ::fork();
    if (parent == 0) {
      ::pause();
      ::_exit(0);
    }
    const std::string files = ReceivedFiles(receiver);
    const auto before = BodiesInReceiver(files);
    std::chrono::steady_clock::time_point killed;
    std::thread killer([&] {
      WaitForNewBody(files, before, 1);  // a body has arrived: its answer is five seconds away
      killed = std::chrono::steady_clock::now();
      ::kill(parent, SIGKILL);
      ::waitpid(parent, nullptr, 0);
    });
    const ProgramResult result = Run({"-parentProcID=" + std::to_string(parent)});
    killer.join();
    EXPECT_EQ(1, result.exitCode);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3));  // the watchdog, not the answer
    const std::string log = Log(result);
    EXPECT_EQ(std::string::npos, log.find("[ERRX]"));  // the watchdog writes nothing
    EXPECT_EQ("", ReadFile(Ledger()));

    WriteConfig(receiver.Url(), connections);
    const ProgramResult again = Run();
    EXPECT_EQ(0, again.exitCode);
    std::string sent = Path("a.txt") + "\r\n";
    for (int i = 1; i < atOnce; ++i) sent += Path("b" + std::to_string(i) + ".txt") + "\r\n";
    EXPECT_EQ(SortedLines(sent), SortedLines(ReadFile(Ledger())));
  }
}

// A parent that names itself and ends the moment it has started the program, before the
// watch begins, must still end the run. The parent leads a process group of its own, as a
// job that a shell starts does; this process takes in the orphaned program, so that its
// exit code can be read.
TEST_F(UploadTest, AParentThatEndsAtOnceStillEndsTheRun) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/2"));
  WriteFile(Path("a.txt"), "a");
  const std::string binary = QuobrinaPath();
  const std::string configSwitch = "-configFile=" + Config();
  ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1));
  struct ReaperUntilTheEnd {
    ~ReaperUntilTheEnd() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } reaper;
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE(run);
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    const pid_t parent = ::fork();
    if (parent == 0) {
      ::setpgid(0, 0);
      char parentSwitch[64];
      std::snprintf(parentSwitch, sizeof parentSwitch, "-parentProcID=%d", static_cast<int>(::getpid()));
      char* argv[] = {const_cast<char*>(binary.c_str()), parentSwitch, const_cast<char*>(configSwitch.c_str()),
                      nullptr};
      posix_spawn_file_actions_t actions;
      ::posix_spawn_file_actions_init(&actions);
      ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      pid_t pid = -1;
      if (::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
      (void)!::write(pipeFds[1], &pid, sizeof pid);
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    pid_t pid = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof pid), ::read(pipeFds[0], &pid, sizeof pid));
    ::close(pipeFds[0]);
    ASSERT_EQ(parent, ::waitpid(parent, nullptr, 0));
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  }
  // Ended before it made the ledger, or with the ledger empty.
  EXPECT_EQ(0u, std::filesystem::exists(Ledger()) ? std::filesystem::file_size(Ledger()) : 0u);
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

// Uploads at once each stream their file: eight files of 64 MiB sent at the same time
// (sparse: no disk space needed) keep the run under 32 MiB resident.
TEST_F(UploadTest, EightLargeFilesAtOnceKeepMemoryBounded) {
  constexpr int kFiles = 8;
  constexpr std::uintmax_t kSize = std::uintmax_t{64} << 20;
  std::atomic<int> whole{0};
  ScriptedPeer peer(
      [&](PeerConnection& c) {
        for (;;) {
          const std::string head = c.ReceiveUntil("\r\n\r\n");
          const std::size_t at = head.find("Content-Length: ");
          if (at == std::string::npos) return;
          const std::size_t length = std::stoul(head.substr(at + 16));
          if (c.Discard(length) != length) return;
          ++whole;
          if (!c.Send("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n")) return;
        }
      },
      {.connections = kFiles, .concurrent = true});
  for (int i = 0; i < kFiles; ++i) {
    { std::ofstream(Path("big" + std::to_string(i) + ".bin"), std::ios::binary); }
    std::filesystem::resize_file(Path("big" + std::to_string(i) + ".bin"), kSize);
  }
  WriteConfig("http://127.0.0.1:" + std::to_string(peer.port()) + "/",
              "<Connections>" + std::to_string(kFiles) + "</Connections>");
  const ProgramResult result = Run();
  EXPECT_EQ("", peer.Finish());
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(kFiles, whole);
  EXPECT_EQ(static_cast<std::size_t>(kFiles), SortedLines(ReadFile(Ledger())).size());
  EXPECT_GT(result.peakKiB, 0);
  // A sanitizer's own memory grows with the threads (ThreadSanitizer: about 40 MiB here).
  if (!QUOBRINA_SANITIZED) {
    EXPECT_LT(result.peakKiB, 32 * 1024);
  }
  std::cout << "[   INFO   ] peak resident memory of " << kFiles << " uploads of 64 MiB at once: " << result.peakKiB
            << " KiB\n";
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
  const ProgramResult result =
      RunProgram("/bin/sh",
                 {"sh", "-c", "ulimit -v 65536 && exec \"$0\" \"$@\"", QuobrinaPath(), "-configFile=" + Config()}, 60);
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ("[--:--:--] [ERRX] EOutOfMemory: Out of memory\r\n", log.substr(log.find("[--:--:--]"))) << log;
}

// Starts the binary with the configuration, its output thrown away; returns its id.
pid_t StartQuobrina(const std::string& configFile) {
  const std::string binary = QuobrinaPath();
  const std::string configSwitch = "-configFile=" + configFile;
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>(configSwitch.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

std::string LastLine(const std::string& log) { return log.substr(log.rfind("[--:--:--]")); }

// Killed at any moment, a run leaves a ledger of whole lines, each naming a file that the
// receiver took whole; the next start sends what was not recorded. With one upload at a
// time, and with eight at once.
TEST_F(UploadTest, RunsKilledAtRandomMomentsLeaveOnlyWholeLinesOfAcceptedFiles) {
  ReferenceReceiver receiver(Received());
  constexpr int kFiles = 300;
  const auto name = [](int i) { return "file-" + std::to_string(i) + ".dat"; };
  const auto content = [](int i) {
    return std::string(static_cast<std::size_t>(100 + i * 7), static_cast<char>('a' + i % 26));
  };
  for (int i = 0; i < kFiles; ++i) WriteFile(Path(name(i)), content(i));
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMs(0, 80);
  for (const int atOnce : {1, 8}) {
    SCOPED_TRACE(atOnce);
    std::filesystem::remove_all(State());
    WriteConfig(receiver.Url(), "<Connections>" + std::to_string(atOnce) + "</Connections>");
    const auto killUntil = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    int kills = 0;
    for (bool finished = false; !finished;) {
      const pid_t pid = StartQuobrina(Config());
      ASSERT_GT(pid, 0);
      if (std::chrono::steady_clock::now() < killUntil) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        if (::kill(pid, SIGKILL) == 0) ++kills;
      }
      int status = 0;
      ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
      ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "a run failed";
      finished = WIFEXITED(status);
    }
    EXPECT_GT(kills, 10);
    const std::string ledger = ReadFile(Ledger());
    ASSERT_TRUE(ledger.empty() || ledger.ends_with("\r\n"));
    const std::vector<std::string> sorted = SortedLines(ledger);
    const std::set<std::string> lines(sorted.begin(), sorted.end());
    EXPECT_EQ(static_cast<std::size_t>(kFiles), lines.size());
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(content(i), ReadFile(receiver.StoredFile(name(i)))) << name(i);
      EXPECT_EQ(1u, lines.count(Path(name(i)))) << name(i);
    }
  }
}

// A second run on the same ledger ends at once, while the first one is sending and while it
// is still making the ledger (it holds the temporary file): the same line either way.
TEST_F(UploadTest, ASecondRunOnTheSameLedgerEndsWithoutSendingAnything) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/3"));
  WriteFile(Path("a.txt"), "a");
  const std::string inUse =
      "[--:--:--] [ERRX] EFOpenError: Cannot open file \"" + Ledger() + "\". The file is in use by another process\r\n";
  const std::string files = ReceivedFiles(receiver);
  const auto before = BodiesInReceiver(files);
  ProgramResult first;
  std::thread running([&] { first = Run(); });
  WaitForNewBody(files, before);  // the first run is sending: it holds the ledger until the answer
  const ProgramResult second = Run();
  running.join();
  EXPECT_EQ(1, second.exitCode);
  EXPECT_EQ(inUse, Log(second));
  EXPECT_EQ(0, first.exitCode) << first.output;
  EXPECT_EQ(Path("a.txt") + "\r\n", ReadFile(Ledger()));
  EXPECT_EQ(1u, receiver.Requests().size());

  std::filesystem::remove_all(State());
  std::filesystem::create_directories(State());
  const auto making = platform::TFileStream::Create(Temp());  // as the other run's lock on it
  const ProgramResult loser = Run();
  EXPECT_EQ(1, loser.exitCode);
  EXPECT_EQ(inUse, Log(loser));
  EXPECT_FALSE(std::filesystem::exists(Ledger()));
  EXPECT_EQ(1u, receiver.Requests().size());
}

// What others change in the folder or the ledger while a file is sent is seen by the next
// step. The folder's time is set an hour back first, so that only the change itself can
// make the run list the folder again.
TEST_F(UploadTest, ChangesByOthersDuringARunAreSeenByItsNextStep) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url("/slow/1"));
  const std::string a = Path("a.txt");
  const std::string b = Path("b.txt");
  const std::string c = Path("c.txt");
  const auto append = [&](const std::string& text) {
    std::ofstream(Ledger(), std::ios::app | std::ios::binary) << text;
  };
  const std::string elsewhere = dir_.file("elsewhere.txt");
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string ledger;
    std::size_t sent;
    std::function<void()> before = nullptr;  // with a and b made, before the folder's time is set back
  };
  const Case cases[] = {
      {"a line appended to the ledger", [&] { append(b + "\r\n"); }, b + "\r\n" + a + "\r\n", 1},
      // Unfinished, it is cut off before the run's line follows (and b goes); with a bare
      // CR it is a line, completed.
      {"a line appended without its line break", [&] { append(b); }, a + "\r\n" + b + "\r\n", 2},
      {"a line appended with a bare CR", [&] { append(b + "\r"); }, b + "\r\n" + a + "\r\n", 1},
      {"the ledger replaced",
       [&] {
         WriteFile(State() + "/new", b + "\r\n");
         std::filesystem::rename(State() + "/new", Ledger());
       },
       b + "\r\n" + a + "\r\n", 1},
      {"the ledger replaced by an editor, its last line unfinished",
       [&] {
         WriteFile(State() + "/new", b + "\r\n" + c);
         std::filesystem::rename(State() + "/new", Ledger());
       },
       b + "\r\n" + a + "\r\n", 1},
      {"a file removed", [&] { std::filesystem::remove(b); }, a + "\r\n", 1},
      {"a file added", [&] { WriteFile(c, "c"); }, a + "\r\n" + b + "\r\n" + c + "\r\n", 3},
      // The folder's times stay: the link is dropped when its turn comes, as a listing would.
      {"a linked file's target removed", [&] { std::filesystem::remove(elsewhere); }, a + "\r\n" + b + "\r\n", 2,
       [&] {
         WriteFile(elsewhere, "e");
         std::filesystem::create_symlink(elsewhere, Path("link.txt"));
       }},
  };
  for (const Case& test : cases) {
    std::filesystem::remove_all(State());
    std::filesystem::remove(c);
    std::filesystem::remove(Path("link.txt"));
    WriteFile(a, "a");
    WriteFile(b, "b");
    if (test.before) test.before();
    std::filesystem::last_write_time(Source(), std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    const std::size_t before = receiver.Requests().size();
    const auto bodies = BodiesInReceiver(ReceivedFiles(receiver));
    std::thread other([&] {
      WaitForNewBody(ReceivedFiles(receiver), bodies);  // the first file is being sent
      test.change();
    });
    const ProgramResult result = Run();
    other.join();
    EXPECT_EQ(0, result.exitCode) << test.what << result.output;
    EXPECT_EQ(test.ledger, ReadFile(Ledger())) << test.what;
    EXPECT_EQ(test.sent, receiver.Requests().size() - before) << test.what;
  }
}

// A ledger that cannot take the next line ends the run before the file is sent, instead of
// after it at every start: a file-size limit, and a full disk where the file system cannot
// reserve space (ext2, mounted in a mount namespace of the run's own, where this machine
// lets the test make one).
TEST_F(UploadTest, ALedgerThatCannotTakeTheLineEndsTheRunBeforeTheUpload) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  WriteFile(Path("a.txt"), "a");
  std::filesystem::create_directories(State());
  const std::string old = Path("old.txt") + "\r\n";
  const std::string ledgerAfter = dir_.file("ledger-after");
  // With room for `lines` lines of a.txt after the old line.
  const auto sizeLimit = [&](std::size_t lines) {
    WriteFile(Ledger(), old);
    rlimit saved{};
    EXPECT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
    rlimit limit = saved;
    limit.rlim_cur = old.size() + lines * (Path("a.txt").size() + 2) + 2;
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);  // inherited: the write fails instead of killing
    EXPECT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
    const ProgramResult result = Run();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    WriteFile(ledgerAfter, ReadFile(Ledger()));
    return result;
  };
  const auto fullDiskWithoutReserving = [&] {
    // Every block taken: one big file, then files of one byte until none fits.
    const std::string script = R"(mount -o loop "$0" "$1" || exit 77
      printf '%s' "$5" > "$1/00000000.LST"
      cat /dev/zero > "$1/fill" 2>/dev/null; i=0; while printf x > "$1/f$i" 2>/dev/null; do i=$((i+1)); done
      "$2" "-configFile=$3"; code=$?; cp "$1/00000000.LST" "$4"; exit $code)";
    const std::string image = dir_.file("ext2.img");
    WriteFile(image, "");
    std::filesystem::resize_file(image, 2 << 20);
    ProgramResult result = RunProgram("/sbin/mkfs.ext2", {"mkfs.ext2", "-q", "-F", "-m", "0", image}, 30);
    if (result.exitCode != 0) {
      result.exitCode = 77;
      return result;
    }
    return RunProgram("/usr/bin/unshare",
                      {"unshare", "-m", "sh", "-c", script, image, State(), QuobrinaPath(), Config(), ledgerAfter, ""},
                      60);
  };
  // Two at once with room for one line: the second file is not sent, the first one is
  // (it was in flight) and recorded.
  const auto twoAtOnceWithRoomForOne = [&] {
    WriteFile(Path("b.txt"), "b");
    WriteConfig(receiver.Url(), "<Connections>2</Connections>");
    const ProgramResult result = sizeLimit(1);
    std::filesystem::remove(Path("b.txt"));
    return result;
  };
  const struct {
    const char* what;
    std::function<ProgramResult()> run;
    std::string ledger;
    std::string error;
    std::size_t sent = 0;
  } cases[] = {
      {"a file-size limit", [&] { return sizeLimit(0); }, old, "EWriteError: Stream write error. File too large"},
      // The ledger empty, so that its line needs a block of its own.
      {"a full disk that reserves nothing", fullDiskWithoutReserving, "",
       "EWriteError: Stream write error. No space left on device"},
      {"a file-size limit, two at once", twoAtOnceWithRoomForOne, old + Path("a.txt") + "\r\n",
       "EWriteError: Stream write error. File too large", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = receiver.Requests().size();
    const ProgramResult result = c.run();
    if (result.exitCode == 77) {
      std::cout << "[  SKIPPED ] " << c.what << ": no ext2 image can be mounted here\n";
      continue;
    }
    EXPECT_EQ(1, result.exitCode) << result.output;
    EXPECT_EQ("[--:--:--] [ERRX] " + c.error + "\r\n", LastLine(Log(result)));
    EXPECT_EQ(before + c.sent, receiver.Requests().size());
    EXPECT_EQ(c.ledger, ReadFile(ledgerAfter));
  }
}

// The ledger's temporary file is only written to make a first, empty ledger, and only as a
// file of its own. Whatever else stands in its place (a FIFO, a symbolic link, an empty
// folder) is the run's own scratch name taken: it is removed, never followed (the link's
// target stays as it was), with one warning line, and the run goes on. A folder that holds
// anything is not emptied: the run ends, and nothing is sent.
TEST_F(UploadTest, ATemporaryFileThatIsNoFileNeitherHangsNorHoldsBackTheRun) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  WriteFile(Path("a.txt"), "a");
  const std::string target = dir_.file("target.txt");
  const std::string removed = "[--:--:--] [WRNX] Removed \"" + Temp() +
                              "\", which was not a regular file, to write the ledger's temporary file there\r\n";
  const struct {
    const char* what;
    std::function<void()> make;
    std::string error;  // the last line when the run ends, or empty
  } cases[] = {
      {"a FIFO", [&] { ASSERT_EQ(0, ::mkfifo(Temp().c_str(), 0600)); }, ""},
      {"a symbolic link", [&] { std::filesystem::create_symlink(target, Temp()); }, ""},
      {"a link that leads nowhere", [&] { std::filesystem::create_symlink(dir_.file("none"), Temp()); }, ""},
      {"an empty folder", [&] { std::filesystem::create_directories(Temp()); }, ""},
      {"a folder holding a file",
       [&] {
         std::filesystem::create_directories(Temp());
         WriteFile(Temp() + "/kept.txt", "kept");
       },
       "[--:--:--] [ERRX] EFCreateError: Cannot create file \"" + Temp() + "\". Is a directory\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(State());
    std::filesystem::create_directories(State());
    WriteFile(target, "precious");
    c.make();
    const std::size_t before = receiver.Requests().size();
    const ProgramResult first = RunQuobrina({"-configFile=" + Config()}, 10);
    EXPECT_FALSE(first.timedOut);
    EXPECT_EQ("precious", ReadFile(target));
    if (!c.error.empty()) {
      EXPECT_EQ(1, first.exitCode);
      EXPECT_EQ(c.error, Log(first));
      EXPECT_EQ("kept", ReadFile(Temp() + "/kept.txt"));
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Ledger())));
      EXPECT_EQ(before, receiver.Requests().size());
      continue;
    }
    EXPECT_EQ(0, first.exitCode) << first.output;
    EXPECT_EQ(0u, Log(first).find(removed + "[--:--:--] [LOGX] There are '1' files in queue\r\n")) << Log(first);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(Ledger())));
    EXPECT_EQ(Path("a.txt") + "\r\n", ReadFile(Ledger()));
    EXPECT_EQ(before + 1, receiver.Requests().size());
  }
}

// Makes a folder refuse renames while the files in it stay writable, as a folder that the
// program may not write does: immutable where the file system allows it (root can rename
// in any folder it may not write), else without write permission.
class RenamesRefused {
 public:
  explicit RenamesRefused(const std::string& folder) : folder_(folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      immutable_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (!immutable_) ::chmod(folder.c_str(), 0555);
    const std::string probe = folder + "/probe";
    refused_ = ::mkdir(probe.c_str(), 0700) != 0;
    if (!refused_) ::rmdir(probe.c_str());
  }
  ~RenamesRefused() {
    if (immutable_) {
      int flags = 0;
      ::ioctl(fd_, FS_IOC_GETFLAGS, &flags);
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    ::chmod(folder_.c_str(), 0755);
    if (fd_ >= 0) ::close(fd_);
  }
  bool refused() const { return refused_; }

 private:
  std::string folder_;
  int fd_ = -1;
  bool immutable_ = false;
  bool refused_ = false;
};

// Where the ledger cannot be replaced by a rename, recording must not rewrite it in place:
// a stop in the middle would leave it cut. Its size must never go down during the run.
TEST_F(UploadTest, ALedgerInAFolderThatRefusesRenamesIsNeverCutWhileRecording) {
  ReferenceReceiver receiver(Received());
  WriteConfig(receiver.Url());
  WriteFile(Path("a.txt"), "a");
  std::filesystem::create_directories(State());
  std::string old;
  for (int i = 0; i < 200000; ++i) old += Path("old-" + std::to_string(i) + ".txt") + "\r\n";
  WriteFile(Ledger(), old);
  WriteFile(Temp(), "");
  RenamesRefused folder(State());
  if (!folder.refused()) GTEST_SKIP() << "this file system lets the test rename in any folder";
  std::atomic<bool> done{false};
  std::int64_t smallest = static_cast<std::int64_t>(old.size());
  std::thread watcher([&] {
    while (!done) {
      struct stat st {};
      if (::stat(Ledger().c_str(), &st) == 0) smallest = std::min<std::int64_t>(smallest, st.st_size);
    }
  });
  const ProgramResult result = Run();
  done = true;
  watcher.join();
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(static_cast<std::int64_t>(old.size()), smallest);
  EXPECT_EQ(old + Path("a.txt") + "\r\n", ReadFile(Ledger()));
}

}  // namespace
}  // namespace qb::test
