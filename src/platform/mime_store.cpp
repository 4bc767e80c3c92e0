// Implementation details: the mime.types format is read here for every platform (POSIX
// keeps its store in it; on Windows tests may point the store at such a file). Fields are
// split at every byte of 0 to 32, so a store written with CR LF, tabs or stray control
// bytes yields clean names: nothing that could break the header line the type ends up in.
#include "platform/mime_store.h"

#include <fstream>
#include <mutex>
#include <string_view>

#include "support/strings.h"

namespace qb::platform {
namespace {

std::mutex& PathLock() {
  static std::mutex lock;
  return lock;
}

std::string& StorePath() {
  static std::string path = DefaultMimeStorePath();
  return path;
}

void ParseLine(std::string_view line, std::vector<MimeAssociation>& out) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  std::string_view mediaType;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsTrimmedByte(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsTrimmedByte(line[i])) ++i;
    if (start == i) break;
    const std::string_view field = line.substr(start, i - start);
    if (mediaType.empty()) {
      mediaType = field;
    } else {
      out.push_back(MimeAssociation{std::string(field), std::string(mediaType)});
    }
  }
}

}  // namespace

std::string MimeStorePath() {
  std::lock_guard<std::mutex> guard(PathLock());
  return StorePath();
}

void SetMimeStorePath(std::string path) {
  std::lock_guard<std::mutex> guard(PathLock());
  StorePath() = std::move(path);
}

std::vector<MimeAssociation> ReadMimeTypesFile(const std::string& path) {
  std::vector<MimeAssociation> out;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  while (file && std::getline(file, line)) ParseLine(line, out);
  return out;
}

}  // namespace qb::platform
