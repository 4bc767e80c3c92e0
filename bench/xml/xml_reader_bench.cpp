// Throughput of our XML reader, writer and binary form against pugixml on the same files.
//
//   xml_reader_bench generate DIR        writes DIR/elements.xml and DIR/text.xml (50 MB each)
//   xml_reader_bench ours|pugixml FILE   loads FILE three times (text, or for ours also the
//                                         binary form); prints the best time, the node
//                                         count and the peak memory it took
//   xml_reader_bench save-ours|save-pugixml|save-binary FILE OUT
//                                         loads FILE once, then writes it to OUT three times
//                                         (indented text, or our binary form); prints the
//                                         best time and the size written
//
// Each parser runs in its own process so that its peak memory is its own.
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "support/exception.h"
#include "xml/xml_document.h"

namespace {

constexpr std::size_t kTargetSize = 50u << 20;

// The process's peak resident size (VmHWM of /proc/self/status).
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void Generate(const std::string& dir) {
  {
    // Many small elements with attributes.
    std::ofstream out(dir + "/elements.xml", std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
    std::size_t size = 0;
    for (unsigned i = 0; size < kTargetSize; ++i) {
      char line[256];
      const int n = std::snprintf(line, sizeof line,
                                  "  <item id=\"%u\" sku=\"SKU-%08u\" price=\"%u.%02u\" stock=\"%u\">"
                                  "<name>Item %u &amp; co</name><tag kind=\"k%u\"/></item>\n",
                                  i, i * 7919u, i % 1000, i % 100, i % 37, i, i % 13);
      out.write(line, n);
      size += static_cast<std::size_t>(n);
    }
    out << "</catalog>\n";
  }
  {
    // Long runs of text: paragraphs of about 64 KiB with a few references.
    std::ofstream out(dir + "/text.xml", std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<book>\n";
    static const char* kWords[] = {"lorem",        "ipsum",       "dolor",
                                   "sit",          "amet",        "\xC3\xA9t\xC3\xA9",
                                   "na\xC3\xAFve", "&lt;tag&gt;", "\xD0\x9F\xD1\x80\xD0\xB8",
                                   "consectetur",  "adipiscing",  "elit"};
    std::size_t size = 0;
    unsigned seed = 1;
    while (size < kTargetSize) {
      std::string paragraph = "<p>";
      while (paragraph.size() < 65536) {
        seed = seed * 1103515245u + 12345u;
        paragraph += kWords[(seed >> 16) % 12];
        paragraph += (seed >> 8) % 9 == 0 ? "\n" : " ";
      }
      paragraph += "</p>\n";
      out << paragraph;
      size += paragraph.size();
    }
    out << "</book>\n";
  }
}

std::size_t CountOurs(const qb::TXmlNode& node) {
  std::size_t n = 0;
  const int count = node.ChildCount();
  for (int i = 0; i < count; ++i) n += 1 + CountOurs(*node.ChildList()->Item(i));
  return n;
}

std::size_t CountPugi(const pugi::xml_node& node) {
  std::size_t n = 0;
  for (const pugi::xml_node& child : node.children()) n += 1 + CountPugi(child);
  return n;
}

std::size_t FileSize(const std::string& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  return static_cast<std::size_t>(in.tellg());
}

int Run(const std::string& parser, const std::string& file) {
  const long before = PeakKiB();
  double best = 1e30;
  std::size_t nodes = 0;
  long peak = 0;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    if (parser == "ours") {
      auto doc = qb::MakeRef<qb::TXmlDocument>();
      doc->LoadFromFile(file);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
      nodes = CountOurs(*doc);
    } else {
      pugi::xml_document doc;
      const pugi::xml_parse_result result = doc.load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!result) {
        std::fprintf(stderr, "pugixml: %s\n", result.description());
        return 1;
      }
      best = std::min(best, seconds);
      nodes = CountPugi(doc);
    }
    peak = std::max(peak, PeakKiB());
  }
  const double megabytes = static_cast<double>(FileSize(file)) / (1 << 20);
  std::printf("%s %s seconds=%.3f mb_per_s=%.1f nodes=%zu peak_kib=%ld bytes_per_node=%.1f\n", parser.c_str(),
              file.c_str(), best, megabytes / best, nodes, peak - before,
              static_cast<double>(peak - before) * 1024.0 / static_cast<double>(nodes));
  return 0;
}

int Save(const std::string& writer, const std::string& file, const std::string& out) {
  auto ours = qb::MakeRef<qb::TXmlDocument>();
  pugi::xml_document pugi;
  if (writer == "save-pugixml") {
    if (!pugi.load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration)) return 1;
  } else {
    ours->LoadFromFile(file);
  }
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    if (writer == "save-ours") {
      ours->SaveToFile(out);
    } else if (writer == "save-binary") {
      ours->SaveBinaryToFile(out, 0);
    } else if (!pugi.save_file(out.c_str(), "\t", pugi::format_default)) {
      return 1;
    }
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const double megabytes = static_cast<double>(FileSize(out)) / (1 << 20);
  std::printf("%s %s seconds=%.3f out_mb=%.1f mb_per_s=%.1f\n", writer.c_str(), file.c_str(), best, megabytes,
              megabytes / best);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "generate") == 0) {
    Generate(argv[2]);
    return 0;
  }
  if (argc == 3 && (std::strcmp(argv[1], "ours") == 0 || std::strcmp(argv[1], "pugixml") == 0)) {
    try {
      return Run(argv[1], argv[2]);
    } catch (const qb::Exception& e) {
      std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
      return 1;
    }
  }
  if (argc == 4 && std::strncmp(argv[1], "save-", 5) == 0) {
    try {
      return Save(argv[1], argv[2], argv[3]);
    } catch (const qb::Exception& e) {
      std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
      return 1;
    }
  }
  std::fprintf(stderr,
               "usage: %s generate DIR | ours FILE | pugixml FILE | save-ours|save-pugixml|save-binary FILE OUT\n",
               argv[0]);
  return 2;
}
