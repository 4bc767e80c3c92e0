// Times the pieces one queue step is built from, on a folder of N entries and a ledger of
// N lines (all but 100 of them naming entries of the folder, 100 naming files that are
// gone), for every N given on the command line:
//   list      ListFolderEntries(folder + "/*.*", 63, queue, prefix on)
//   load      the ledger's LoadFromFile
//   remove    RemoveListedEntries(queue, ledger), case ignored and case kept
//   save      the ledger's SaveToFile (forced onto the disk)
// Usage: list_queue_bench WORK_DIR N [N...]. WORK_DIR/<N>/ holds the data afterwards
// (folder "in", ledger "00000000.LST") for comparison runs; the caller removes it.
// Each size is run five times; the shortest time of each step is reported.
#include <sys/stat.h>

#include <chrono>
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

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Times {
  double list = 0, load = 0, removeIgnoringCase = 0, removeExact = 0, save = 0;
  double Total() const { return list + load + removeIgnoringCase + save; }
};

std::string EntryName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "scan-%08lld.pdf", static_cast<long long>(i) * 7919 % 100000000);
  return name;
}

Times Run(const std::string& root, int n) {
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

  // The best of five rounds for each step: the machine is shared, and the first listing
  // also warms the caches that every later step of a run finds warm.
  Times best;
  for (int round = 0; round < kRounds; ++round) {
    Times t;
    const auto queue = qb::MakeRef<qb::TQbStringList>();
    const auto ledger = qb::MakeRef<qb::TQbStringList>();
    t.list = Seconds([&] { qb::ListFolderEntries(folder + "/*.*", qb::kAllEntryAttributes, *queue, true); });
    t.load = Seconds([&] { ledger->LoadFromFile(ledgerPath); });
    const auto copy = qb::MakeRef<qb::TQbStringList>();
    for (const auto& entry : queue->Items()) copy->Add(entry);
    t.removeIgnoringCase = Seconds([&] { qb::RemoveListedEntries(*queue, *ledger); });
    ledger->SetCaseSensitive(true);
    t.removeExact = Seconds([&] { qb::RemoveListedEntries(*copy, *ledger); });
    t.save = Seconds([&] { ledger->SaveToFile(root + "/00000000.TMP"); });
    if (queue->Count() != kGone || copy->Count() != kGone || ledger->Count() != n) {
      std::fprintf(stderr, "wrong result: queue %d, ledger %d\n", queue->Count(), ledger->Count());
      std::exit(1);
    }
    const auto keep = [&](double Times::*step) {
      if (round == 0 || t.*step < best.*step) best.*step = t.*step;
    };
    for (auto step : {&Times::list, &Times::load, &Times::removeIgnoringCase, &Times::removeExact, &Times::save}) {
      keep(step);
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
  std::vector<std::pair<int, Times>> runs;
  std::printf("%10s %10s %10s %12s %12s %10s %10s\n", "entries", "list s", "load s", "remove(ci) s", "remove(cs) s",
              "save s", "step s");
  for (int i = 2; i < argc; ++i) {
    const int n = std::atoi(argv[i]);
    const Times t = Run(std::string(argv[1]) + "/" + argv[i], n);
    runs.emplace_back(n, t);
    std::printf("%10d %10.4f %10.4f %12.4f %12.4f %10.4f %10.4f\n", n, t.list, t.load, t.removeIgnoringCase,
                t.removeExact, t.save, t.Total());
  }
  for (std::size_t i = 1; i < runs.size(); ++i) {
    const Times& a = runs[i - 1].second;
    const Times& b = runs[i].second;
    std::printf("ratio %d/%d: list %.2f, load %.2f, remove(ci) %.2f, remove(cs) %.2f, save %.2f, step %.2f\n",
                runs[i].first, runs[i - 1].first, b.list / a.list, b.load / a.load,
                b.removeIgnoringCase / a.removeIgnoringCase, b.removeExact / a.removeExact, b.save / a.save,
                b.Total() / a.Total());
  }
  return 0;
}
