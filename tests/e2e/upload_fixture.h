// The folders and configuration of an end-to-end upload run, shared by the upload tests
// of every platform and those of one platform only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/reference_receiver.h"
#include "support/temp_dir.h"

namespace qb::test {

// Waits, thirty seconds at the most, until `done` holds: what the program has reached is
// seen in the files that it and the receiver make, however long its start took.
template <typename Done>
void WaitFor(Done done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The files in which a reference receiver keeps the bodies it is still reading or answering
// (in `files`, the folder of its stored files), with the bytes each holds so far.
inline std::map<std::string, std::uintmax_t> BodiesInReceiver(const std::string& files) {
  std::map<std::string, std::uintmax_t> bodies;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(files, ignored)) {
    const std::string name = entry.path().filename().string();
    std::error_code gone;  // stored or removed meanwhile
    const std::uintmax_t size = std::filesystem::file_size(entry.path(), gone);
    if (name.rfind(".part-", 0) == 0 && !gone) bodies[name] = size;
  }
  return bodies;
}

// The folder of `receiver`'s stored files, where it also keeps the bodies still arriving.
inline std::string ReceivedFiles(const ReferenceReceiver& receiver) {
  return std::filesystem::path(receiver.StoredFile("x")).parent_path().string();
}

// Waits (as WaitFor) until the receiver holds a body that was not in `before`, with `size`
// bytes at least: the program is sending that file, or, given the file's whole size, has
// sent it and waits for the answer.
inline void WaitForNewBody(const std::string& files, const std::map<std::string, std::uintmax_t>& before,
                           std::uintmax_t size = 0) {
  WaitFor([&] {
    for (const auto& [name, held] : BodiesInReceiver(files)) {
      if (before.count(name) == 0 && held >= size) return true;
    }
    return false;
  });
}

// The lines of a text of CR LF lines (a ledger), sorted: what was recorded, whatever the
// order in which uploads at the same time ended.
inline std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(text.substr(at, end - at));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class UploadTest : public ::testing::Test {
 protected:
  UploadTest() {
    std::filesystem::create_directories(Source());
    std::filesystem::create_directories(dir_.file("received"));
  }

  std::string Source() const { return dir_.file("src"); }
  std::string State() const { return stateFolder_.empty() ? dir_.file("state") : stateFolder_; }
  std::string Ledger() const { return PlatformPath(State() + "/00000000.LST"); }
  std::string Temp() const { return PlatformPath(State() + "/00000000.TMP"); }
  std::string Received() const { return dir_.file("received"); }
  std::string Config() const { return dir_.file("upload.xml"); }

  // `credentials` is XML as it stands; the URL is text.
  void WriteConfig(const std::string& url, const std::string& credentials = "") {
    std::string text;
    for (const char c : url) text += c == '&' ? std::string("&amp;") : std::string(1, c);
    WriteFile(Config(), "<?xml version=\"1.0\"?>\r\n<settings><configData><SourceFolder>" + Source() +
                            "</SourceFolder><ConfigFolder>" + State() + "</ConfigFolder><UploadServer><UploadAT>" +
                            text + "</UploadAT>" + credentials + "</UploadServer></configData></settings>");
  }

  ProgramResult Run(std::vector<std::string> switches = {}) {
    switches.push_back("-configFile=" + Config());
    return RunQuobrina(switches, 120);
  }

  // The log without stamps and without its first line (the command line).
  static std::string Log(const ProgramResult& result) {
    const std::string log = StripStamps(result.output);
    return log.substr(log.find("\r\n") + 2);
  }

  std::string Path(const std::string& name) const { return PlatformPath(Source() + "/" + name); }

  // An empty source folder and no configuration folder (so no ledger), for the next case.
  void ClearSource() {
    std::filesystem::remove_all(State());
    std::filesystem::remove_all(Source());
    std::filesystem::create_directories(Source());
  }

  ScopedTempDir dir_;
  std::string stateFolder_;  // the configuration folder where it is not "state" beside the source
};

}  // namespace qb::test
