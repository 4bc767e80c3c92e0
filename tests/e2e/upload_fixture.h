// The folders and configuration of an end-to-end upload run, shared by the upload tests
// of every platform and those of one platform only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb::test {

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

  ScopedTempDir dir_;
  std::string stateFolder_;  // the configuration folder where it is not "state" beside the source
};

}  // namespace qb::test
