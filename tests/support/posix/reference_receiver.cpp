#include "support/reference_receiver.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace qb::test {

ReferenceReceiver::ReferenceReceiver(const std::string& outputFolder, ReceiverOptions options)
    : output_(outputFolder), tls_(options.tls) {
  const std::string portFile = output_ + "/port";
  std::vector<std::string> arguments{"python3",     QUOBRINA_SOURCE_DIR "/scripts/receiver.py",
                                     "--output",    output_,
                                     "--port-file", portFile};
  if (options.tls) arguments.push_back("--tls");
  if (options.tls12) arguments.insert(arguments.end(), {"--tls-max", "1.2"});
  if (options.user) arguments.insert(arguments.end(), {"--user", options.user});
  if (options.password) arguments.insert(arguments.end(), {"--password", options.password});
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start the reference receiver");
  process_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(portFile);
    if (in >> port_ && port_ > 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  throw std::runtime_error("the reference receiver did not start");
}

ReferenceReceiver::~ReferenceReceiver() {
  ::kill(static_cast<pid_t>(process_), SIGTERM);
  ::waitpid(static_cast<pid_t>(process_), nullptr, 0);
}

std::string ReferenceReceiver::Url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ReferenceReceiver::StoredFile(const std::string& name) const { return output_ + "/files/" + name; }

std::vector<std::string> ReferenceReceiver::Requests() const {
  std::vector<std::string> lines;
  std::ifstream in(output_ + "/requests.jsonl");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace qb::test
