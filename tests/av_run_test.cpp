// Whole runs of the antivirus and spam statistics step. Whatever a name in
// the filters' logs holds, the results document parses and carries it in the
// escape form of xmlText (app/results_writer.h); a document that cannot be
// written records nothing; and over several runs, one of them with a failing
// spam pass, while a filter appends entries the moment a run has read a
// file, every entry is counted exactly once.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "support/halvexlog.h"
#include "support/text.h"
#include "tests/hostile_support.h"

namespace {

namespace fs = std::filesystem;

struct AvElement {
  std::string type, date, name;
  int64_t value = 0;
};

std::string property(xmlNodePtr node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string text = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

// The av elements of a document read by libxml2 without recovery; a
// document that is not well-formed XML fails the test with the parser's
// message.
std::vector<AvElement> parseAv(const std::string& doc) {
  std::vector<AvElement> elements;
  xmlDocPtr parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "results.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!parsed) {
    const xmlError* error = xmlGetLastError();
    ADD_FAILURE() << "the results document does not parse: " << (error && error->message ? error->message : "?") << "\n" << doc;
    return elements;
  }
  for (xmlNodePtr node = xmlDocGetRootElement(parsed)->children; node; node = node->next)
    if (node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>("av")))
      elements.push_back({property(node, "type"), property(node, "date"), property(node, "name"), std::stoll(property(node, "value"))});
  xmlFreeDoc(parsed);
  return elements;
}

// type -> name -> count, summed over days.
using AvTotals = std::map<std::string, std::map<std::string, int64_t>>;

void add(AvTotals& totals, const std::vector<AvElement>& elements) {
  for (const AvElement& e : elements) totals[e.type][e.name] += e.value;
}

// A log file as the filters' HalvexLog writes it: FF FE, UTF-16LE lines.
void writeLog(const std::string& path, const std::vector<std::wstring>& messages, const std::wstring& stamp) {
  std::wstring lines;
  for (const std::wstring& m : messages) lines += stamp + L" 4242 17 " + m + L"\r\n";
  testkit::writeFile(path, "\xFF\xFE" + text::toUtf16le(lines));
}

// Appends one entry the way the filters do: a log object per entry, so the
// entry goes to the log's current file under the log's named mutex.
void appendEntry(const wchar_t* log, const std::wstring& message) { halvex::logging::HalvexLog(log, true).write(message); }

// The files of both logs left in the directory, set-aside ones included.
std::vector<std::string> statisticFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("halvexlog_avstat") || name.starts_with("halvexlog_spamstat")) names.push_back(name);
  }
  return names;
}

class AvRunTest : public hostile::ProgramTest {
 protected:
  std::string avLog(const std::string& name) const { return install.logsDir() + "/" + name; }
};

}  // namespace

TEST_F(AvRunTest, NamesWithAnyCodePointReachAParseableDocumentInTheEscapeForm) {
  // Each odd character sits inside a name; concatenated literals keep the
  // hex escapes from swallowing the letters after them. U+DD69 is how the
  // text layer keeps an undecodable byte E9 (U+DC80 + byte).
  writeLog(avLog("halvexlog_avstat20261210.log"),
           {L"infected\tx\ta\x01" L"b@example.com\tWorm\x1B" L"[31m",
            L"infected\tx\tc\xD800" L"d@example.com\tTrojan\xFFFF",
            L"infected\tx\te\xDC80" L"f@example.com\tBad\xDD69" L"byte",
            L"infected\tx\tj\xFC" L"rgen@example.com\tSmile\x1F600\xDFFF"},
           L"2026/12/10 10:00:00:000");
  const std::string results = install.path("r.xml");
  const auto r = run({"--antivirus"}, results);
  ASSERT_EQ(r.exitCode, 0) << r.output;

  AvTotals totals;
  add(totals, parseAv(testkit::readFile(results)));
  EXPECT_EQ(totals["summary"], (std::map<std::string, int64_t>{{"infected", 4}}));
  // U+DC80 is the text layer's escape of a NUL byte: written as \x00, the
  // name goes on after it.
  EXPECT_EQ(totals["recipients"], (std::map<std::string, int64_t>{{"a\\u0001b@example.com", 1},
                                                                 {"c\\uD800d@example.com", 1},
                                                                 {"e\\x00f@example.com", 1},
                                                                 {"j\xC3\xBCrgen@example.com", 1}}));
  EXPECT_EQ(totals["viruses"], (std::map<std::string, int64_t>{{"Worm\\u001B[31m", 1},
                                                              {"Trojan\\uFFFF", 1},
                                                              {"Bad\\xE9byte", 1},
                                                              {"Smile\xF0\x9F\x98\x80\\uDFFF", 1}}));
  EXPECT_EQ(statisticFiles(install.logsDir()), std::vector<std::string>{}) << "delivered, so removed";

  const std::string again = install.path("again.xml");
  ASSERT_EQ(run({"--antivirus"}, again).exitCode, 0);
  EXPECT_TRUE(parseAv(testkit::readFile(again)).empty()) << "counted once";
}

TEST_F(AvRunTest, ADocumentThatCannotBeWrittenRecordsNothingAndTheNextRunCountsEverythingOnce) {
  const time_t now = hostile::frozenNow();
  webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
  appendEntry(L"avstat", L"infected\tx\tvictim@example.com\tWorm.X");
  appendEntry(L"spamstat", L"spam\tx\tvictim@example.com\t");

  const auto full = run({"--http-traffic", "--antivirus"}, "/dev/full", hostile::kFrozenNow);
  EXPECT_EQ(full.exitCode, 1) << full.output;
  EXPECT_NE(events().find("/dev/full"), std::string::npos) << events();
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty()) << "no marker moves";
  EXPECT_EQ(statisticFiles(install.logsDir()).size(), 2u) << "the antivirus and spam files are kept (set aside) for the next run";

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--antivirus"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string doc = testkit::readFile(results);
  EXPECT_EQ(soak::parseTraffic(doc), expected);
  AvTotals totals;
  add(totals, parseAv(doc));
  EXPECT_EQ(totals, (AvTotals{{"summary", {{"infected", 1}}},
                              {"recipients", {{"victim@example.com", 1}}},
                              {"viruses", {{"Worm.X", 1}}},
                              {"spam_summary", {{"spam", 1}}}}));
  EXPECT_FALSE(marker(L"1", L"LastHttpStatisticsRun").empty());
  EXPECT_EQ(statisticFiles(install.logsDir()), std::vector<std::string>{});
}

// The ledger: entries written before the runs, entries a filter appends
// the moment a run has read a file of its log, and a run whose spam pass
// fails (a spam file it cannot open: another process holds a write lease on
// it). Summed over every document, each entry is counted exactly once.
TEST_F(AvRunTest, EveryEntryIsCountedOnceAcrossRunsWithAFailingSpamPassAndLateEntries) {
  // Every entry has a recipient of its own: a count of 2 is an entry
  // counted twice, a missing address an entry lost.
  std::mutex written;
  std::map<std::string, int64_t> avExpected, spamExpected;
  std::atomic<int> sequence{0};
  auto writeAv = [&] {
    const std::string address = "av" + std::to_string(sequence++) + "@example.com";
    appendEntry(L"avstat", L"infected\tledger\t" + text::fromUtf8(address) + L"\tLedger.Worm");
    std::lock_guard<std::mutex> lock(written);
    avExpected[address] = 1;
  };
  auto writeSpam = [&] {
    const std::string address = "spam" + std::to_string(sequence++) + "@example.com";
    appendEntry(L"spamstat", L"infected\tledger\t" + text::fromUtf8(address) + L"\t");
    std::lock_guard<std::mutex> lock(written);
    spamExpected[address] = 1;
  };
  for (int i = 0; i < 20; ++i) writeAv();
  for (int i = 0; i < 7; ++i) writeSpam();

  // The filters write on the moment a run closes a file of their log after
  // reading it: those entries must land where the next run reads them.
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, install.logsDir().c_str(), IN_CLOSE_NOWRITE), 0);
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  std::atomic<int> lateBursts{0};
  std::thread filter([&] {
    pollfd fds[2] = {{watch, POLLIN, 0}, {stop[0], POLLIN, 0}};
    while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(watch, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        const std::string name = e->len ? e->name : "";
        if (name.starts_with("halvexlog_avstat")) {
          for (int i = 0; i < 5; ++i) writeAv();
          ++lateBursts;
        } else if (name.starts_with("halvexlog_spamstat")) {
          for (int i = 0; i < 3; ++i) writeSpam();
          ++lateBursts;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  });
  // Also when an assertion ends the test early.
  auto stopFilter = [&] {
    if (!filter.joinable()) return;
    EXPECT_EQ(write(stop[1], "x", 1), 1);
    filter.join();
    close(watch);
    close(stop[0]);
    close(stop[1]);
  };
  struct Stop {
    std::function<void()> f;
    ~Stop() { f(); }
  } stopAtEnd{stopFilter};

  AvTotals totals;
  auto runOnce = [&](const std::string& name) {
    const std::string results = install.path(name);
    const auto r = run({"--antivirus"}, results);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    add(totals, parseAv(testkit::readFile(results)));
  };
  runOnce("run1.xml");

  // A spam file of an earlier day that another process holds a write lease
  // on: opening it for reading fails at once (the program opens without
  // blocking), so the spam pass fails while the antivirus pass succeeded.
  const std::string leased = avLog("halvexlog_spamstat20200101.log");
  writeLog(leased, {L"infected\tleased\tleased1@example.com\t", L"infected\tleased\tleased2@example.com\t"}, L"2020/01/01 10:00:00:000");
  spamExpected["leased1@example.com"] = spamExpected["leased2@example.com"] = 1;
  const int leaseFd = open(leased.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(leaseFd, 0);
  // The lease break is announced with SIGIO, whose default would end the test.
  const auto savedSigio = signal(SIGIO, SIG_IGN);
  ASSERT_EQ(fcntl(leaseFd, F_SETLEASE, F_WRLCK), 0) << "no write lease: " << strerror(errno);
  for (int i = 0; i < 4; ++i) writeAv();
  writeSpam();
  const size_t eventsBefore = events().size();
  runOnce("run2.xml");
  EXPECT_NE(events().find("Collect spam statistics", eventsBefore), std::string::npos) << "the spam pass failed: " << events().substr(eventsBefore);
  fcntl(leaseFd, F_SETLEASE, F_UNLCK);
  close(leaseFd);
  signal(SIGIO, savedSigio);

  for (int i = 0; i < 3; ++i) writeAv();
  runOnce("run3.xml");

  stopFilter();
  EXPECT_GE(lateBursts.load(), 3) << "the filters wrote right after runs read their files";
  // Whatever the filters wrote last is collected by one more run.
  runOnce("run4.xml");

  EXPECT_EQ(totals["recipients"], avExpected);
  EXPECT_EQ(totals["spam_recipients"], spamExpected);
  const auto entries = [](const std::map<std::string, int64_t>& m) { return static_cast<int64_t>(m.size()); };
  EXPECT_EQ(totals["summary"], (std::map<std::string, int64_t>{{"infected", entries(avExpected)}}));
  EXPECT_EQ(totals["viruses"], (std::map<std::string, int64_t>{{"Ledger.Worm", entries(avExpected)}}));
  EXPECT_EQ(totals["spam_summary"], (std::map<std::string, int64_t>{{"infected", entries(spamExpected)}}));
  EXPECT_EQ(statisticFiles(install.logsDir()), std::vector<std::string>{}) << "everything read is removed";
}

// Killed right after its document is complete and closed, before anything
// is recorded, the run has delivered its antivirus figures: the next run
// removes the files it had set aside before it counts anything, so no entry
// is counted twice.
TEST_F(AvRunTest, ARunKilledRightAfterItsDocumentLeavesNoEntryToCountAgain) {
  appendEntry(L"avstat", L"infected\tx\tonce@example.com\tWorm.Once");
  appendEntry(L"spamstat", L"spam\tx\tonce@example.com\t");
  const std::string killed = install.path("killed.xml");
  const auto r = run({"--antivirus"}, killed, "", {{"LD_PRELOAD", HALVEX_READ_FAULT_SHIM}, {"HALVEX_TEST_KILL_AFTER_CLOSE", killed}});
  ASSERT_EQ(r.exitCode, 137) << r.output;
  AvTotals delivered;
  add(delivered, parseAv(testkit::readFile(killed)));
  EXPECT_EQ(delivered["recipients"], (std::map<std::string, int64_t>{{"once@example.com", 1}}));
  EXPECT_EQ(statisticFiles(install.logsDir()).size(), 2u) << "killed before it removed what it read";

  appendEntry(L"avstat", L"infected\tx\tlater@example.com\tWorm.Later");
  const std::string next = install.path("next.xml");
  ASSERT_EQ(run({"--antivirus"}, next).exitCode, 0);
  AvTotals again;
  add(again, parseAv(testkit::readFile(next)));
  EXPECT_EQ(again["recipients"], (std::map<std::string, int64_t>{{"later@example.com", 1}})) << "only the entry written since";
  EXPECT_TRUE(again["spam_summary"].empty());
  EXPECT_EQ(statisticFiles(install.logsDir()), std::vector<std::string>{});
}
