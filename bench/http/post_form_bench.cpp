// Posts one file with TNetHTTP::PostForm, as the upload does, and prints the seconds the
// request took and the process's peak resident memory in KiB.
//
//   post_form_bench URL FILE
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "http/http_client.h"
#include "http/multipart_form_data.h"

namespace {

long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: post_form_bench URL FILE\n");
    return 2;
  }
  try {
    qb::TNetHTTP http;
    http.SetIOHandler(std::make_unique<qb::TNetSSLIOHandlerSocketOpenSSL>());
    qb::TNetMultiPartFormDataStream body;
    body.AppendFilePart("file", argv[2], "");
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = http.PostForm(argv[1], body);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%.3f %ld %s\n", seconds.count(), PeakResidentKiB(), answer.c_str());
  } catch (const qb::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
    return 1;
  }
  return 0;
}
