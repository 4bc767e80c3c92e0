// Implementation details: squid runs in the foreground (-N) with the configuration of
// tests/e2e/servers filled in for a folder and two free ports of this test; it is ready
// when its log says it accepts on both. Ports that others take before squid binds them
// are given up for new ones. Started by root, squid runs as its own user, so its folder
// is open to everyone, and the test's folder above it can be passed through. A stop by
// SIGTERM takes squid about three seconds.
#include "support/reference_proxy.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/child_process.h"
#include "support/peer_socket.h"
#include "support/temp_dir.h"

extern char** environ;

namespace qb::test {
namespace {

const std::string kSquid = "/usr/sbin/squid";
const std::string kBasicAuth = "/usr/lib/squid/basic_ncsa_auth";

std::string Filled(std::string text, const std::string& mark, const std::string& value) {
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size())) {
    text.replace(at, mark.size(), value);
  }
  return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string ReadIfAny(const std::string& path) {
  return std::filesystem::exists(path) ? ReadFile(path) : std::string();
}

}  // namespace

ReferenceProxy::ReferenceProxy(const std::string& folder) {
  if (::access(kSquid.c_str(), X_OK) != 0 || ::access(kBasicAuth.c_str(), X_OK) != 0) {
    missing_ = "squid is not installed (scripts/setup installs it)";
    return;
  }
  const std::string dir = folder + "/squid";
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(folder, std::filesystem::perms::group_exec | std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  WriteFile(dir + "/squid-passwd", ReadFile(QUOBRINA_SOURCE_DIR "/tests/e2e/servers/squid-passwd"));
  std::filesystem::permissions(dir + "/squid-passwd",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                   std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  log_ = dir + "/squid-access.log";
  const std::string cacheLog = dir + "/squid-cache.log";
  const std::string configuration = ReadFile(QUOBRINA_SOURCE_DIR "/tests/e2e/servers/squid.conf");
  for (int attempt = 0; attempt < 3; ++attempt) {
    {
      // Two listeners at once: two different free ports.
      std::uint16_t open = 0;
      std::uint16_t auth = 0;
      const PeerSocket first = peer_socket::Listen({}, open);
      const PeerSocket second = peer_socket::Listen({}, auth);
      peer_socket::Close(first);
      peer_socket::Close(second);
      openPort_ = open;
      authPort_ = auth;
    }
    WriteFile(dir + "/squid.conf",
              Filled(Filled(Filled(configuration, "@DIR@", dir), "@OPEN_PORT@", std::to_string(openPort_)),
                     "@AUTH_PORT@", std::to_string(authPort_)));
    std::filesystem::remove(cacheLog);
    std::string program = kSquid;
    std::string noDaemon = "-N";
    std::string file = "-f";
    std::string path = dir + "/squid.conf";
    char* argv[] = {program.data(), noDaemon.data(), file.data(), path.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir + "/squid.out").c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      missing_ = "squid could not be started";
      return;
    }
    process_ = pid;
    bool exited = false;
    for (int i = 0; i < 400 && !exited; ++i) {
      if (Count(ReadIfAny(cacheLog), "Accepting HTTP Socket connections") == 2) {
        logged_ = AllLogLines().size();
        return;
      }
      exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    process_ = 0;
    const std::string log = ReadIfAny(cacheLog) + ReadIfAny(dir + "/squid.out");
    failure_ = "squid did not start: " + log;
    if (log.find("Address already in use") == std::string::npos) return;
  }
}

ReferenceProxy::~ReferenceProxy() { StopChild(static_cast<std::int32_t>(process_), 10); }

}  // namespace qb::test
