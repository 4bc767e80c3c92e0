// Implementation details: the store is the mime.types format, one media type per line
// followed by its extensions, "#" starting a comment. Fields are split at every byte of
// 0 to 32, so a store written with CR LF, tabs or stray control bytes yields clean
// names: nothing that could break the header line the type ends up in.
#include "platform/mime_store.h"

#include <stdio.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

namespace qb::platform {
namespace {

std::mutex& PathLock() {
  static std::mutex lock;
  return lock;
}

std::string& StorePath() {
  static std::string path = "/etc/mime.types";
  return path;
}

bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= 32; }

void ParseLine(std::string_view line, std::vector<MimeAssociation>& out) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  std::string_view mediaType;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSeparator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsSeparator(line[i])) ++i;
    if (start == i) break;
    const std::string_view field = line.substr(start, i - start);
    if (mediaType.empty()) {
      mediaType = field;
    } else {
      out.push_back(MimeAssociation{std::string(field), std::string(mediaType)});
    }
  }
}

// getline's buffer, grown by getline itself and freed once.
struct LineBuffer {
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data); }
  char* data = nullptr;
  std::size_t capacity = 0;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string MimeStorePath() {
  std::lock_guard<std::mutex> guard(PathLock());
  return StorePath();
}

void SetMimeStorePath(std::string path) {
  std::lock_guard<std::mutex> guard(PathLock());
  StorePath() = std::move(path);
}

std::vector<MimeAssociation> ReadMimeAssociations(const std::string& path) {
  std::vector<MimeAssociation> out;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
  if (!file) return out;
  LineBuffer line;
  for (;;) {
    const ssize_t length = ::getline(&line.data, &line.capacity, file.get());
    if (length < 0) break;
    ParseLine(std::string_view(line.data, static_cast<std::size_t>(length)), out);
  }
  return out;
}

}  // namespace qb::platform
