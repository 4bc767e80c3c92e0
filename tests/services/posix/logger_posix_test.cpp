// The log as a parent reads it through a pipe that it handed over in non-blocking mode.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "services/logger.h"

namespace qb {
namespace {

// A parent may share a non-blocking pipe as standard output. While its reader is behind,
// every line must still arrive whole and in order, none dropped or cut.
TEST(LoggerPosixTest, EveryLineReachesASlowReaderOfANonBlockingPipe) {
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
  for (int i = 0; i < kLines; ++i) LogMessage(255, "line %d, long enough to fill the pipe within a few dozen lines", i);
  ::dup2(savedOutput, STDOUT_FILENO);  // the last write end: the reader sees the end
  ::close(savedOutput);
  reader.join();
  ::close(pipeFds[0]);

  std::string expected;
  for (int i = 0; i < kLines; ++i) {
    expected += "line " + std::to_string(i) + ", long enough to fill the pipe within a few dozen lines\r\n";
  }
  EXPECT_EQ(expected.size(), received.size());
  EXPECT_TRUE(expected == received);
}

}  // namespace
}  // namespace qb
