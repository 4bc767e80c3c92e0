#include "driver/ledger_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/strings.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using Names = std::vector<std::string>;

#ifdef _WIN32
// The run holds the ledger without write or delete sharing: nobody else changes it meanwhile.
constexpr bool kOthersCanChangeTheLedger = false;
#else
constexpr bool kOthersCanChangeTheLedger = true;
#endif

class LedgerQueueTest : public testing::Test {
 protected:
  LedgerQueueTest() {
    std::filesystem::create_directories(dir_.file("src"));
    std::filesystem::create_directories(dir_.file("state"));
  }

  std::string Source() const { return dir_.file("src") + test::PlatformPath("/"); }
  std::string State() const { return dir_.file("state") + test::PlatformPath("/"); }
  std::string Ledger() const { return State() + "00000000.LST"; }
  void Make(const Names& names) const {
    for (const std::string& name : names) test::WriteFile(Source() + name, name);
  }
  // Ledger lines of the source folder's files.
  std::string Lines(const Names& names) const {
    std::string lines;
    for (const std::string& name : names) lines += Source() + name + "\r\n";
    return lines;
  }
  // The queued files in order, each recorded as a step records it.
  Names Drain(LedgerQueue& queue) const {
    Names sent;
    for (std::int32_t count = queue.Refresh(); count > 0; count = queue.Refresh()) {
      const std::string first = queue.First();
      sent.push_back(first.substr(Source().size()));
      queue.ReserveLine(first);
      queue.Record(first);
      if (sent.size() > 1000) break;
    }
    return sent;
  }

  test::ScopedTempDir dir_;
};

// What is queued: the listed files the ledger does not name, also after the folder is
// listed again (the marks of names listed before are kept, a new name is looked up in the
// filter of the ledger's lines) and where file names ignore case.
TEST_F(LedgerQueueTest, TheQueueIsTheListingMinusTheLedger) {
  const bool ignoreCase = platform::FileNamesIgnoreCase();
  struct Case {
    const char* what;
    Names files;
    std::string ledger;  // Lines() of names, or other text
    Names added;         // after the first file is recorded, one at a time, each listed again
    Names sent;
  };
  Names many;
  for (int i = 0; i < 300; ++i) many.push_back("old-" + std::to_string(i) + ".dat");
  const Case cases[] = {
      {"an empty ledger", {"b.txt", "a.txt"}, "", {}, {"a.txt", "b.txt"}},
      {"a ledger naming some", {"a.txt", "b.txt", "c.txt"}, Lines({"b.txt", "gone.txt"}), {}, {"a.txt", "c.txt"}},
      {"lines of another folder", {"a.txt"}, test::PlatformPath(dir_.file("other/a.txt\r\n")), {}, {"a.txt"}},
      {"a line that is longer", {"a.txt"}, Lines({"a.txt.bak"}), {}, {"a.txt"}},
      // Every name new to the run that the ledger holds is found: the filter has no false
      // negatives, one name at a time.
      {"named files that appear later", {"a.txt"}, Lines(many), many, {"a.txt"}},
      {"files that appear later, named by nobody",
       {"a.txt"},
       Lines({"x.txt"}),
       {"b.txt", "c.txt"},
       {"a.txt", "b.txt", "c.txt"}},
      {"lines in other letter case",
       {"a.txt", "B.TXT"},
       Lines({"A.TXT", "b.txt"}),
       {},
       ignoreCase ? Names{} : Names{"B.TXT", "a.txt"}},
      {"a line in other case for a file that appears later",
       {"a.txt"},
       Lines({"C.TXT"}),
       {"c.txt"},
       ignoreCase ? Names{"a.txt"} : Names{"a.txt", "c.txt"}},
      {"the folder in other letter case",
       {"a.txt"},
       UpperCaseAscii(Source()) + "a.txt\r\n",
       {},
       ignoreCase ? Names{} : Names{"a.txt"}},
      {"non-ASCII letters in other case",
       {"\xC3\xA4pfel.txt"},
       Lines({"\xC3\x84PFEL.TXT"}),
       {},
       ignoreCase ? Names{} : Names{"\xC3\xA4pfel.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir_.file("src"));
    std::filesystem::create_directories(dir_.file("src"));
    Make(c.files);
    test::WriteFile(Ledger(), c.ledger);
    LedgerQueue queue(Source(), State());
    Names sent;
    if (queue.Refresh() > 0) {
      sent.push_back(queue.First().substr(Source().size()));
      queue.ReserveLine(queue.First());
      queue.Record(queue.First());
    }
    std::int32_t queued = queue.Refresh();
    for (const std::string& name : c.added) {
      // Listed again (the folder's times are too young to be trusted): the recorded file
      // stays recorded, and a file that the ledger names is not queued.
      Make({name});
      if (std::find(c.sent.begin(), c.sent.end(), name) != c.sent.end()) ++queued;
      ASSERT_EQ(queued, queue.Refresh()) << name;
    }
    for (const std::string& name : Drain(queue)) sent.push_back(name);
    EXPECT_EQ(c.sent, sent);
    EXPECT_EQ(c.ledger + Lines(sent), test::ReadFile(Ledger()));
  }
}

// The ledger and its temporary file are never queued, whatever shows them in the folder;
// what only looks like them is. A file gone by its turn is dropped, as listing again would.
TEST_F(LedgerQueueTest, TheListingLeavesOutTheLedgerAndWhatIsGone) {
  const std::string elsewhere = dir_.file("elsewhere.txt");
  struct Case {
    const char* what;
    bool ledgerInSource;
    std::function<void(const std::string& ledger)> prepare;
    std::function<void()> afterFirst;  // once the first file is recorded
    Names sent;
    bool needsSymbolicLinks = false;
  };
  const Case cases[] = {
      {"the ledger's folder is the source folder", true, nullptr, nullptr, {"a.txt", "b.txt"}},
      {"a temporary file left beside it",
       true,
       [&](const std::string&) { test::WriteFile(Source() + "00000000.TMP", Lines({"b.txt"})); },
       nullptr,
       {"a.txt", "b.txt"}},
      {"a hard link to it",
       false,
       [&](const std::string& ledger) { std::filesystem::create_hard_link(ledger, Source() + "copy.lst"); },
       nullptr,
       {"a.txt", "b.txt"}},
      {"a symbolic link to it",
       false,
       [&](const std::string& ledger) { std::filesystem::create_symlink(ledger, Source() + "link.lst"); },
       nullptr,
       {"a.txt", "b.txt"},
       true},
      {"a file of its name that is another",
       false,
       [&](const std::string&) { test::WriteFile(Source() + "00000000.LST", "x"); },
       nullptr,
       {"00000000.LST", "a.txt", "b.txt"}},
      {"a link in the temporary file's place to a file of the folder",
       false,
       [&](const std::string&) { std::filesystem::create_symlink(Source() + "a.txt", State() + "00000000.TMP"); },
       nullptr,
       {"a.txt", "b.txt"},
       true},
      {"a file removed after the listing",
       false,
       nullptr,
       [&] { std::filesystem::remove(Source() + "b.txt"); },
       {"a.txt"}},
      {"a linked file whose target goes before its turn",
       false,
       [&](const std::string&) {
         test::WriteFile(elsewhere, "e");
         std::filesystem::create_symlink(elsewhere, Source() + "a2.lnk");  // next after a.txt
       },
       [&] { std::filesystem::remove(elsewhere); },
       {"a.txt", "b.txt"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsSymbolicLinks && !kOthersCanChangeTheLedger) continue;  // a privilege on Windows
    std::filesystem::remove_all(dir_.file("src"));
    std::filesystem::remove_all(dir_.file("state"));
    std::filesystem::create_directories(dir_.file("src"));
    std::filesystem::create_directories(dir_.file("state"));
    Make({"a.txt", "b.txt"});
    const std::string config = c.ledgerInSource ? Source() : State();
    test::WriteFile(config + "00000000.LST", "");
    if (c.prepare) c.prepare(config + "00000000.LST");
    // An old folder time: the listing is trusted, and only the step's own look at its first
    // file can see that a linked file is gone.
    std::error_code ignored;
    const auto hourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(dir_.file("src"), hourAgo, ignored);
    LedgerQueue queue(Source(), config);
    ASSERT_EQ(static_cast<std::int32_t>(c.sent.size()) + (c.afterFirst ? 1 : 0), queue.Refresh());
    Names sent{queue.First().substr(Source().size())};
    queue.ReserveLine(queue.First());
    queue.Record(queue.First());
    if (c.afterFirst) c.afterFirst();
    EXPECT_EQ(static_cast<std::int32_t>(c.sent.size()) - 1, queue.Refresh());
    for (const std::string& name : Drain(queue)) sent.push_back(name);
    EXPECT_EQ(c.sent, sent);
    EXPECT_EQ(Lines(c.sent), test::ReadFile(config + "00000000.LST"));
  }
}

// A recorded line is one whole CR LF line after whatever the ledger ends with, also when
// someone else changed the ledger meanwhile (then it is read again first: their lines
// count, their unfinished last line is cut off); the next step sees what others changed.
TEST_F(LedgerQueueTest, ARecordedLineNeverRunsIntoAnother) {
  const std::string a = Source() + "a.txt\r\n";
  const auto append = [&](const std::string& text) {
    return [=, this] { std::ofstream(Ledger(), std::ios::app | std::ios::binary) << text; };
  };
  const auto replace = [&](const std::string& text) {
    return [=, this] {
      test::WriteFile(State() + "copy", text);
      std::filesystem::rename(State() + "copy", Ledger());
    };
  };
  const auto remove = [&] { std::filesystem::remove(Ledger()); };
  struct Case {
    const char* what;
    std::string ledger;
    std::function<void()> whileSending;  // someone else, between the listing and the record
    std::function<void()> afterwards;    // someone else, before the next step
    std::string recorded;                // the ledger once a.txt is recorded
    Names next;                          // what the next steps send
  };
  const Case cases[] = {
      {"an empty ledger", "", nullptr, nullptr, a, {"b.txt"}},
      {"a last line that lost its LF", Source() + "x.txt\r", nullptr, nullptr, Lines({"x.txt"}) + a, {"b.txt"}},
      {"a last line that a bare LF ends", Source() + "x.txt\n", nullptr, nullptr, Source() + "x.txt\n" + a, {"b.txt"}},
      {"an unfinished last line", Source() + "b.txt", nullptr, nullptr, a, {"b.txt"}},
      {"a 0 byte and what follows it",
       Lines({"x.txt"}) + std::string(1, '\0') + "junk\r\n",
       nullptr,
       nullptr,
       Lines({"x.txt"}) + a,
       {"b.txt"}},
      {"a line appended while sending", "", append(Lines({"b.txt"})), nullptr, Lines({"b.txt"}) + a, {}},
      {"an unfinished line appended while sending", "", append(Source() + "b.txt"), nullptr, a, {"b.txt"}},
      {"a bare CR line appended while sending", "", append(Source() + "b.txt\r"), nullptr, Lines({"b.txt"}) + a, {}},
      {"replaced while sending, unfinished",
       "",
       replace(Lines({"b.txt"}) + Source() + "c.txt"),
       nullptr,
       Lines({"b.txt"}) + a,
       {}},
      {"removed while sending", Lines({"b.txt"}), remove, nullptr, a, {"b.txt"}},
      {"a line appended afterwards", "", nullptr, append(Lines({"b.txt"})), a, {}},
      {"replaced afterwards", "", nullptr, replace(Lines({"a.txt", "b.txt"})), a, {}},
  };
  Make({"a.txt", "b.txt"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if ((c.whileSending || c.afterwards) && !kOthersCanChangeTheLedger) continue;
    test::WriteFile(Ledger(), c.ledger);
    LedgerQueue queue(Source(), State());
    ASSERT_LT(0, queue.Refresh());
    ASSERT_EQ(Source() + "a.txt", queue.First());
    queue.ReserveLine(queue.First());
    if (c.whileSending) c.whileSending();
    queue.Record(queue.First());
    EXPECT_EQ(c.recorded, test::ReadFile(Ledger()));
    if (c.afterwards) c.afterwards();
    const std::string before = test::ReadFile(Ledger());
    EXPECT_EQ(c.next, Drain(queue));
    EXPECT_EQ(before + Lines(c.next), test::ReadFile(Ledger()));
  }
}

// Uploads that run at once claim their files: a claimed file is out of the queue (its
// count and its first file) until its line is written, whatever order the uploads end in,
// also when the folder is listed again or the ledger read again meanwhile; lines that
// are recorded together keep their order.
TEST_F(LedgerQueueTest, ClaimedFilesLeaveTheQueueUntilTheirLinesAreWritten) {
  struct Case {
    const char* what;
    std::function<void()> meanwhile;  // after the claims, before the first record
    Names recorded;                   // by others meanwhile
    Names added;
  };
  const Case cases[] = {
      {"nothing else", nullptr, {}, {}},
      {"the folder listed again", [&] { Make({"f.txt"}); }, {}, {"f.txt"}},
      {"a line appended by someone else",
       [&] { std::ofstream(Ledger(), std::ios::app | std::ios::binary) << Lines({"e.txt"}); },
       {"e.txt"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.recorded.empty() && !kOthersCanChangeTheLedger) continue;
    std::filesystem::remove_all(dir_.file("src"));
    std::filesystem::create_directories(dir_.file("src"));
    Make({"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"});
    test::WriteFile(Ledger(), "");
    LedgerQueue queue(Source(), State());
    ASSERT_EQ(5, queue.Refresh());
    Names claimed;
    for (int i = 0; i < 3; ++i) claimed.push_back(queue.ClaimFirst().substr(Source().size()));
    EXPECT_EQ((Names{"a.txt", "b.txt", "c.txt"}), claimed);
    EXPECT_EQ(Source() + "d.txt", queue.First());
    if (c.meanwhile) c.meanwhile();
    const std::int32_t waiting = 2 + static_cast<std::int32_t>(c.added.size() - c.recorded.size());
    EXPECT_EQ(waiting, queue.Refresh());
    queue.Record(std::vector<std::string>{Source() + "c.txt", Source() + "a.txt"});
    EXPECT_EQ(waiting, queue.Refresh());
    EXPECT_EQ(Source() + "d.txt", queue.First());
    queue.Record(Source() + "b.txt");
    Names rest{"d.txt"};
    if (c.recorded.empty()) rest.push_back("e.txt");
    rest.insert(rest.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(rest, Drain(queue));
    EXPECT_EQ(Lines(c.recorded) + Lines({"c.txt", "a.txt", "b.txt"}) + Lines(rest), test::ReadFile(Ledger()));
  }
}

}  // namespace
}  // namespace qb
