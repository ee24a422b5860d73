// Whole runs under faults: the results document on a full disk, the
// registry store made read-only in the middle of a run, logs that vanish
// between the listing and the reading, a utility that writes ten megabytes,
// the clock set back a day. Each run ends with a clear message, records
// nothing it did not deliver, and the next run counts every line once.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/hostile_support.h"

namespace {

namespace fs = std::filesystem;

class FaultsTest : public hostile::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    now = hostile::frozenNow();
    writeConfig(R"(webStatType="webalizer"><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true"/>)");
    webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
    webLines("1", "a.example", "ex_old.log", 5, now - 3 * 86400);
    webLines("2", "b.example", "ex_cur.log", 6, now - 1800);
  }

  // Nothing of the run is recorded: markers, feed, rotation, locks.
  void expectNothingRecorded() {
    EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty());
    EXPECT_TRUE(marker(L"2", L"LastHttpStatisticsRun").empty());
    EXPECT_TRUE(fs::exists(logsDir("a.example") + "/ex_old.log")) << "no log was rotated";
    for (const auto& e : fs::directory_iterator(logsDir("a.example")))
      EXPECT_FALSE(e.path().filename().string().starts_with("web2")) << "a feed was delivered: " << e.path();
  }

  // A later run on the real clock counts every line once over both runs.
  void expectTheNextRunCountsEverything(const soak::Figures& before = {}) {
    const std::string next = install.path("next.xml");
    const auto r = run({"--http-traffic", "--ftp-traffic"}, next, "2026-12-10 13:00:00");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    soak::Figures total = before;
    soak::add(total, soak::parseTraffic(testkit::readFile(next)));
    EXPECT_EQ(total, expected) << testkit::readFile(next);
  }

  time_t now = 0;
};

TEST_F(FaultsTest, AResultsDocumentOnAFullDiskRecordsNothing) {
  const auto r = run({"--http-traffic", "--ftp-traffic"}, "/dev/full", hostile::kFrozenNow);
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(events().find("Disk full?"), std::string::npos) << events();
  EXPECT_NE(events().find("/dev/full"), std::string::npos);
  expectNothingRecorded();
  EXPECT_EQ(lockValue(L"1"), 0u) << "the locks are released all the same";
  expectTheNextRunCountsEverything();
}

// Root is not stopped by file modes; the immutable attribute stops it.
class ImmutableStore {
 public:
  explicit ImmutableStore(std::string path) : path_(std::move(path)) {}
  ~ImmutableStore() { std::system(("chattr -i '" + path_ + "' 2>/dev/null").c_str()); }
  // Whether this file system knows the attribute (tmpfs, overlay do not).
  bool supported() {
    const bool set = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0;
    return set && std::system(("chattr -i '" + path_ + "'").c_str()) == 0;
  }

 private:
  std::string path_;
};

TEST_F(FaultsTest, ARegistryStoreMadeReadOnlyMidRunFailsTheRunBeforeItsDocumentIsComplete) {
  const std::string store = install.registryPath();
  ImmutableStore immutable(store);
  if (!immutable.supported()) GTEST_SKIP() << "the file system of " << store << " has no immutable attribute";
  // After the logs are read and before the document ends.
  useHook("chattr +i '" + store + "'");
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--mail-traffic"}, results, hostile::kFrozenNow);
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_FALSE(soak::complete(testkit::readFile(results))) << "nothing may be delivered that cannot be recorded";
  EXPECT_NE(events().find("registry store " + store + " cannot be written"), std::string::npos) << events();
  EXPECT_NE(events().find("Prepare the run markers"), std::string::npos);

  hookEnv.clear();
  ASSERT_EQ(std::system(("chattr -i '" + store + "'").c_str()), 0);
  expectNothingRecorded();
  expectTheNextRunCountsEverything();
  EXPECT_EQ(soak::checkStore({{"1", "a.example", "", false}, {"2", "b.example", "", false}}), "ok");
}

// Every log of a's is big enough to take a while; the moment the run opens
// the first of them, the others are deleted: they were listed and vanish
// before they are opened.
TEST_F(FaultsTest, LogsThatVanishBetweenListingAndOpeningAreReportedAndTheRunGoesOn) {
  fs::remove(logsDir("a.example") + "/ex_cur.log");
  fs::remove(logsDir("a.example") + "/ex_old.log");
  soak::Figures bFigures;
  for (const auto& [key, v] : expected)
    if (std::get<0>(key) == "2") bFigures[key] = v;
  expected.clear();
  const std::vector<std::string> logs = {"ex_1.log", "ex_2.log", "ex_3.log"};
  std::map<std::string, soak::Figures> perLog;
  for (const std::string& name : logs) {
    webLines("1", "a.example", name, 20000, now - 30000);
    perLog[name] = expected;
    expected.clear();
  }

  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, logsDir("a.example").c_str(), IN_OPEN), 0);
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  std::string opened;
  std::thread deleter([&] {
    pollfd fds[2] = {{watch, POLLIN, 0}, {stop[0], POLLIN, 0}};
    while (opened.empty() && poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(watch, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        const std::string name = e->len ? e->name : "";
        if (opened.empty() && std::find(logs.begin(), logs.end(), name) != logs.end()) {
          opened = name;
          for (const std::string& other : logs)
            if (other != name) fs::remove(logsDir("a.example") + "/" + other);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  });
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  deleter.join();
  close(watch);
  close(stop[0]);
  close(stop[1]);

  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_FALSE(opened.empty()) << "the run opened none of the logs";
  // A log that vanished may have been renamed: a's traffic waits for a run
  // that reads all of it, b's is delivered.
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), bFigures) << "b's alone";
  for (const std::string& name : logs) {
    if (name == opened) continue;
    EXPECT_NE(events().find("Unable to process log file " + logsDir("a.example") + "/" + name), std::string::npos) << events();
  }
  EXPECT_NE(events().find("The HTTP traffic of domain a.example is held back"), std::string::npos) << events();
  const std::string again = install.path("again.xml");
  ASSERT_EQ(run({"--http-traffic", "--ftp-traffic"}, again, "2026-12-10 13:00:00").exitCode, 0);
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(again)), perLog[opened]) << "the log that is left, counted once by the next run";
  const std::string third = install.path("third.xml");
  ASSERT_EQ(run({"--http-traffic", "--ftp-traffic"}, third, "2026-12-10 14:00:00").exitCode, 0);
  EXPECT_TRUE(soak::parseTraffic(testkit::readFile(third)).empty()) << "what was read is not read again";
}

// The runner reads the utility's output while it runs: a utility that writes
// far more than a pipe holds before it exits does not dead-lock the run.
TEST_F(FaultsTest, AUtilityThatWritesTenMegabytesDoesNotBlockTheRun) {
  // The real answer, then ten megabytes in an XML comment: still a valid answer.
  // (Ten comments of a megabyte: libxml2 refuses a single text node above ten million bytes.)
  standIn("webhostctl",
          "#!/bin/sh\n\"$0.real\" \"$@\" || exit 1\nfor i in 1 2 3 4 5 6 7 8 9 10; do\n  printf '<!--'\n  head -c 1048576 /dev/zero | tr '\\0' x\n"
          "  printf -- '-->'\ndone\n");
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << "137: the run blocked and was killed";
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected);

  // Ten megabytes of no answer at all: reported, and the run still ends.
  standIn("webhostctl", "#!/bin/sh\nhead -c 10485760 /dev/zero | tr '\\0' x\n");
  const std::string garbage = install.path("garbage.xml");
  const auto g = run({"--http-traffic", "--ftp-traffic"}, garbage, "2026-12-10 13:00:00");
  ASSERT_EQ(g.exitCode, 0);
  EXPECT_TRUE(soak::complete(testkit::readFile(garbage)));
  EXPECT_NE(events().find("Unable to get log directory and default documents for domains"), std::string::npos);
}

// The clock set back a day between two runs. Recording the earlier end as
// the marker would make the run after it count again every line between the
// two ends.
TEST_F(FaultsTest, AClockSetBackADayCountsNothingAndMovesNoMarker) {
  webLines("1", "a.example", "ex_cur.log", 5, now - 1200);  // inside the day the clock goes back
  const std::string first = install.path("first.xml");
  ASSERT_EQ(run({"--http-traffic", "--ftp-traffic"}, first, hostile::kFrozenNow).exitCode, 0);
  const soak::Figures counted = soak::parseTraffic(testkit::readFile(first));
  ASSERT_EQ(counted, expected);
  const std::wstring markerA = marker(L"1", L"LastHttpStatisticsRun");
  ASSERT_EQ(markerA, L"2026/12/10 12:00:00");

  const std::string back = install.path("back.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, back, "2026-12-09 12:00:00");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(soak::parseTraffic(testkit::readFile(back)).empty()) << testkit::readFile(back);
  EXPECT_EQ(marker(L"1", L"LastHttpStatisticsRun"), markerA) << "the marker does not move back";
  EXPECT_NE(events().find("The clock (2026/12/09 12:00:00) is behind the start of the HTTP window of domain a.example (2026/12/10 12:00:00)"),
            std::string::npos)
      << events();

  // Back on time: only the lines written since are counted.
  webLines("1", "a.example", "ex_cur.log", 3, now + 600);
  expectTheNextRunCountsEverything(counted);
}

}  // namespace
