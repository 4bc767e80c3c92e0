// The log as a parent reads it through a pipe that it handed over in non-blocking mode.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "services/logger.h"

namespace qb {
namespace {

// A parent may share a non-blocking pipe as standard output. While its reader is behind,
// every line must still arrive whole and in order, none dropped or cut, also when two
// threads write at once (a full pipe takes part of a line, and the rest follows).
TEST(LoggerPosixTest, EveryLineReachesASlowReaderOfANonBlockingPipe) {
  for (const int writers : {1, 2}) {
    SCOPED_TRACE(writers);
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    ::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);  // fills after a few dozen lines
    ASSERT_EQ(0, ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK));
    const int savedOutput = ::dup(STDOUT_FILENO);
    ASSERT_GE(savedOutput, 0);
    ASSERT_EQ(STDOUT_FILENO, ::dup2(pipeFds[1], STDOUT_FILENO));
    ::close(pipeFds[1]);

    std::string received;
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      char buffer[512];
      for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    });
    constexpr int kLines = 1000;  // more than the default pipe buffer holds, too
    const auto write = [](int writer) {
      for (int i = 0; i < kLines; ++i) {
        LogMessage(255, "line %d of %d, long enough to fill the pipe within a few dozen lines", i, writer);
      }
    };
    std::vector<std::thread> others;
    for (int writer = 1; writer < writers; ++writer) others.emplace_back(write, writer);
    write(0);
    for (std::thread& other : others) other.join();
    ::dup2(savedOutput, STDOUT_FILENO);  // the last write end: the reader sees the end
    ::close(savedOutput);
    reader.join();
    ::close(pipeFds[0]);

    // Each writer's lines whole and in its order, whatever came between them.
    std::vector<std::string> lines(writers);
    for (std::size_t at = 0, end; (end = received.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = received.substr(at, end + 2 - at);
      const std::size_t of = line.find(" of ");
      const int writer = of == std::string::npos ? -1 : std::atoi(line.c_str() + of + 4);
      ASSERT_TRUE(writer >= 0 && writer < writers) << line;
      lines[writer] += line;
    }
    for (int writer = 0; writer < writers; ++writer) {
      std::string expected;
      for (int i = 0; i < kLines; ++i) {
        expected += "line " + std::to_string(i) + " of " + std::to_string(writer) +
                    ", long enough to fill the pipe within a few dozen lines\r\n";
      }
      EXPECT_EQ(expected.size(), lines[writer].size());
      EXPECT_TRUE(expected == lines[writer]);
    }
    EXPECT_EQ(received.size(), std::string_view(received).find_last_of('\n') + 1);
  }
}

}  // namespace
}  // namespace qb
