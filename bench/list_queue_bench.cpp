// Times the pieces one queue step is built from, on a folder of N entries and a ledger of
// N lines (all but 100 of them naming entries of the folder, 100 naming files that are
// gone), for every N given on the command line:
//   list      ListFolderEntries(folder + "/*.*", 63, queue, prefix on)
//   load      the ledger's LoadFromFile
//   remove    RemoveListedEntries(queue, ledger), case ignored and case kept
//   save      the ledger's SaveToFile (forced onto the disk)
//   hash floor  for comparison: hashing every entry of both lists once
// Usage: list_queue_bench WORK_DIR N [N...]. WORK_DIR/<N>/ holds the data afterwards
// (folder "in", ledger "00000000.LST") for comparison runs; the caller removes it.
// Each size is run five times; the shortest wall and processor times of each step are
// reported, with the ratio of each size to the one before.
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "driver/list_utils.h"
#include "driver/string_list.h"

namespace {

constexpr int kGone = 100;
constexpr int kRounds = 5;
constexpr int kSteps = 6;
constexpr const char* kStepNames[kSteps] = {"list", "load", "remove(ci)", "remove(cs)", "save", "hash floor"};

// Wall time and processor time (user and system) of one piece of work. Processor time is
// what shows the algorithm on a machine that other jobs share.
struct Cost {
  double wall = 0;
  double cpu = 0;
};

Cost Measure(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC};
}

using Costs = std::array<Cost, kSteps>;

std::string EntryName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "scan-%08lld.pdf", static_cast<long long>(i) * 7919 % 100000000);
  return name;
}

Costs Run(const std::string& root, int n) {
  const std::string folder = root + "/in";
  const std::string ledgerPath = root + "/00000000.LST";
  ::mkdir(root.c_str(), 0777);
  ::mkdir(folder.c_str(), 0777);
  {
    std::ofstream ledger(ledgerPath, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < n; ++i) {
      const std::string path = folder + "/" + EntryName(i);
      std::ofstream(path, std::ios::binary);  // an empty file
      if (i >= kGone) ledger << path << "\r\n";
    }
    for (int i = 0; i < kGone; ++i) ledger << folder << "/gone-" << i << ".pdf\r\n";
  }

  // The best of five rounds for each step and measure: the machine is shared, and the
  // first listing also warms the caches that every later step of a run finds warm.
  Costs best;
  for (int round = 0; round < kRounds; ++round) {
    Costs costs;
    const auto queue = qb::MakeRef<qb::TQbStringList>();
    const auto ledger = qb::MakeRef<qb::TQbStringList>();
    costs[0] = Measure([&] { qb::ListFolderEntries(folder + "/*.*", qb::kAllEntryAttributes, *queue, true); });
    costs[1] = Measure([&] { ledger->LoadFromFile(ledgerPath); });
    const std::vector<std::string> listed = queue->Items();
    const auto copy = qb::MakeRef<qb::TQbStringList>();
    for (const auto& entry : listed) copy->Add(entry);
    costs[2] = Measure([&] { qb::RemoveListedEntries(*queue, *ledger); });
    ledger->SetCaseSensitive(true);
    costs[3] = Measure([&] { qb::RemoveListedEntries(*copy, *ledger); });
    costs[4] = Measure([&] { ledger->SaveToFile(root + "/00000000.TMP"); });
    // Not a step: one pass that only hashes every entry of both lists once, the least any
    // hash-based subtraction does. Its growth from one size to the next is the memory
    // hierarchy's, and the subtraction's growth is to be read against it.
    std::size_t sink = 0;
    costs[5] = Measure([&] {
      for (const auto& entry : listed) sink += std::hash<std::string>()(entry);
      for (const auto& entry : ledger->Items()) sink += std::hash<std::string>()(entry);
    });
    if (sink == 1) std::printf(" ");
    if (queue->Count() != kGone || copy->Count() != kGone || ledger->Count() != n) {
      std::fprintf(stderr, "wrong result: queue %d, ledger %d\n", queue->Count(), ledger->Count());
      std::exit(1);
    }
    for (int step = 0; step < kSteps; ++step) {
      if (round == 0 || costs[step].wall < best[step].wall) best[step].wall = costs[step].wall;
      if (round == 0 || costs[step].cpu < best[step].cpu) best[step].cpu = costs[step].cpu;
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORK_DIR N [N...]\n", argv[0]);
    return 2;
  }
  std::vector<std::pair<int, Costs>> runs;
  std::printf("seconds, wall / processor   ");
  for (const char* name : kStepNames) std::printf("%19s", name);
  std::printf("\n");
  for (int i = 2; i < argc; ++i) {
    const int n = std::atoi(argv[i]);
    runs.emplace_back(n, Run(std::string(argv[1]) + "/" + argv[i], n));
    std::printf("%8d entries, %6d lines  ", n, n);
    for (const Cost& cost : runs.back().second) std::printf("    %7.4f / %6.4f", cost.wall, cost.cpu);
    std::printf("\n");
  }
  for (std::size_t i = 1; i < runs.size(); ++i) {
    std::printf("ratio %7d / %-7d        ", runs[i].first, runs[i - 1].first);
    for (int step = 0; step < kSteps; ++step) {
      const Cost& a = runs[i - 1].second[step];
      const Cost& b = runs[i].second[step];
      std::printf("    %7.2f / %6.2f", b.wall / a.wall, a.cpu > 0 ? b.cpu / a.cpu : 0.0);
    }
    std::printf("\n");
  }
  return 0;
}
