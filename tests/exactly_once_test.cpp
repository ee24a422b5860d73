// Whole runs in which part of what is due cannot be read: a log file or a
// logs directory fails (a preloaded shim makes its open fail with EIO). A
// domain's traffic of a run is all or nothing, so the next run counts what
// the failing one did not deliver, once; a file that stays unreadable is
// given up after three runs in a row. Also: logs with a second name and
// hidden names are counted, a --from-date in the future moves no marker,
// and the slow steps do not hold the mail traffic lock.
#include <filesystem>

#include "support/registry.h"
#include "support/text.h"
#include "tests/hostile_support.h"

namespace {

namespace fs = std::filesystem;

class ExactlyOnceTest : public hostile::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    now = hostile::frozenNow();
    writeConfig(R"(webStatType="webalizer"><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true"/>)");
    webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
    webLines("2", "b.example", "ex_cur.log", 6, now - 1800);
  }

  // The program run with the open of every path matching `pattern` failing.
  static std::map<std::string, std::string> readFault(const std::string& pattern) {
    return {{"LD_PRELOAD", HALVEX_READ_FAULT_SHIM}, {"HALVEX_TEST_READ_FAULT", pattern}};
  }

  soak::Figures runTraffic(const std::string& name, const std::string& clock, const std::map<std::string, std::string>& env = {}) {
    const std::string results = install.path(name);
    const auto r = run({"--http-traffic", "--ftp-traffic"}, results, clock, env);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return soak::parseTraffic(testkit::readFile(results));
  }

  static soak::Figures of(const soak::Figures& all, const std::string& domainId) {
    soak::Figures out;
    for (const auto& [key, v] : all)
      if (std::get<0>(key) == domainId) out[key] = v;
    return out;
  }

  bool hasFeed(const std::string& domain) const {
    for (const auto& e : fs::directory_iterator(logsDir(domain)))
      if (e.path().filename().string().starts_with("web2")) return true;
    return false;
  }

  time_t now = 0;
};

TEST_F(ExactlyOnceTest, AnUnreadableLogOrDirectoryHoldsItsDomainBackUntilARunReadsItAll) {
  webLines("1", "a.example", "ex_bad.log", 5, now - 7200);

  // The file fails: a's figures, feed, marker and rotation wait; b's do not.
  const soak::Figures first = runTraffic("r1.xml", "2026-12-10 12:00:00", readFault("*/a.example/logs/ex_bad.log"));
  EXPECT_EQ(first, of(expected, "2")) << "b's figures alone";
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty());
  EXPECT_FALSE(marker(L"2", L"LastHttpStatisticsRun").empty());
  EXPECT_FALSE(hasFeed("a.example")) << "no feed lines of a held-back domain";
  EXPECT_TRUE(fs::exists(logsDir("a.example") + "/ex_bad.log") && fs::exists(logsDir("a.example") + "/ex_cur.log")) << "nothing of a's rotated";
  EXPECT_NE(events().find("The HTTP traffic of domain a.example is held back until " + logsDir("a.example") + "/ex_bad.log"), std::string::npos)
      << events();

  // The whole directory fails: the same.
  webLines("1", "a.example", "ex_cur.log", 3, now + 600);
  webLines("2", "b.example", "ex_cur.log", 2, now + 700);
  soak::Figures total = first;
  const soak::Figures second = runTraffic("r2.xml", "2026-12-10 12:30:00", readFault("*/a.example/logs"));
  EXPECT_TRUE(of(second, "1").empty()) << "a's directory could not be read";
  EXPECT_FALSE(of(second, "2").empty());
  soak::add(total, second);

  // Readable again: every line of a counted once, over the three runs.
  soak::add(total, runTraffic("r3.xml", "2026-12-10 13:00:00"));
  EXPECT_EQ(total, expected);
  EXPECT_TRUE(hasFeed("a.example")) << "a's feed comes with its figures";
  EXPECT_TRUE(runTraffic("r4.xml", "2026-12-10 13:30:00").empty()) << "nothing counted twice";
}

TEST_F(ExactlyOnceTest, AFileThatStaysUnreadableIsGivenUpAfterThreeRunsInARow) {
  webLines("1", "a.example", "ex_bad.log", 5, now - 7200, /*counted=*/false);
  const auto fault = readFault("*/a.example/logs/ex_bad.log");
  soak::Figures total;
  const char* clocks[] = {"2026-12-10 12:00:00", "2026-12-10 12:10:00", "2026-12-10 12:20:00"};
  for (int held = 1; held <= 3; ++held) {
    const soak::Figures r = runTraffic("held" + std::to_string(held) + ".xml", clocks[held - 1], fault);
    EXPECT_TRUE(of(r, "1").empty()) << "run " << held << " still holds a back";
    EXPECT_NE(events().find("(run " + std::to_string(held) + " of 3 in a row)"), std::string::npos) << events();
    soak::add(total, r);
  }
  // The fourth run in a row delivers what it could read and says what it gave up.
  soak::add(total, runTraffic("given-up.xml", "2026-12-10 12:30:00", fault));
  EXPECT_NE(events().find(logsDir("a.example") + "/ex_bad.log could not be read in 3 runs in a row: given up"), std::string::npos) << events();
  EXPECT_EQ(total, expected) << "a's readable log and b's, once";
  EXPECT_FALSE(marker(L"1", L"LastHttpStatisticsRun").empty());
  EXPECT_TRUE(runTraffic("after.xml", "2026-12-10 13:00:00").empty()) << "nothing counted twice once the file is readable";
}

// Killed just before its document is on disk, a run has recorded nothing;
// killed just after it is complete and closed, before its markers, the run
// left its markers staged, and the next run records them before it reads
// any: either way every line is counted once.
TEST_F(ExactlyOnceTest, ARunKilledJustBeforeOrAfterItsDocumentIsCompleteCountsOnce) {
  // An old log that the night's rotation compresses, once the figures are delivered.
  webLines("1", "a.example", "ex_old.log", 5, now - 3 * 86400);
  const std::string old = logsDir("a.example") + "/ex_old.log";
  const std::string killedBefore = install.path("before.xml");
  auto r = run({"--http-traffic", "--ftp-traffic"}, killedBefore, "2026-12-10 12:00:00",
               {{"LD_PRELOAD", HALVEX_READ_FAULT_SHIM}, {"HALVEX_TEST_KILL_AT_FSYNC", killedBefore}});
  ASSERT_EQ(r.exitCode, 137) << r.output;
  EXPECT_FALSE(soak::complete(testkit::readFile(killedBefore)));
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty());
  EXPECT_TRUE(fs::exists(old)) << "nothing rotated before the document is complete";
  EXPECT_FALSE(hasFeed("a.example")) << "nor any feed put in place";

  const std::string killedAfter = install.path("after.xml");
  r = run({"--http-traffic", "--ftp-traffic"}, killedAfter, "2026-12-10 12:10:00",
          {{"LD_PRELOAD", HALVEX_READ_FAULT_SHIM}, {"HALVEX_TEST_KILL_AFTER_CLOSE", killedAfter}});
  ASSERT_EQ(r.exitCode, 137) << r.output;
  ASSERT_TRUE(soak::complete(testkit::readFile(killedAfter))) << "the document was complete when the run was killed";
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(killedAfter)), expected);
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty()) << "killed before its markers were recorded";
  EXPECT_TRUE(fs::exists(old) && !fs::exists(old + ".zip")) << "nor before its markers are";
  EXPECT_FALSE(hasFeed("a.example")) << "its feed waits under a scratch name";

  // The next run records them first, and puts the feed of their lines in
  // place (the first run's feed is dropped with its markers), then finds
  // nothing new.
  EXPECT_TRUE(runTraffic("next.xml", "2026-12-10 12:20:00").empty()) << "the delivered lines are not counted again";
  EXPECT_NE(events().find("they are recorded now"), std::string::npos) << events();
  EXPECT_FALSE(fs::exists(old)) << "rotated (no archive is kept) by the run that recorded its figures";
  EXPECT_EQ(soak::feedLines(logsDir("a.example")).first, 10 + 5) << "each line a.example logged is fed once";
  EXPECT_EQ(soak::leftovers(logsDir("a.example")), std::vector<std::string>{}) << "no scratch file of a feed is left";
}

// Disk usage is measured before the logs are rotated (they change only once
// their figures are delivered), yet it reports the logs directory as the
// night's rotation leaves it: archives in, compressed and dropped logs out.
TEST_F(ExactlyOnceTest, DiskUsageDescribesTheLogsAsTheNightsRotationLeavesThem) {
  writeConfig(R"(><logRotation enabled="true" period="daily" maxNumberOfFiles="1" compress="true"/>)");
  webLines("1", "a.example", "ex_old1.log", 3000, now - 3 * 86400);
  webLines("1", "a.example", "ex_old2.log", 3000, now - 4 * 86400);
  uint64_t before = 0;
  for (const auto& e : fs::directory_iterator(logsDir("a.example"))) before += e.file_size();

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--disk-usage"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected);

  uint64_t after = 0;
  int archives = 0;
  for (const auto& e : fs::directory_iterator(logsDir("a.example"))) {
    after += e.file_size();
    archives += e.path().extension() == ".zip";
  }
  EXPECT_EQ(archives, 1) << "two logs compressed, one archive kept";
  EXPECT_FALSE(fs::exists(logsDir("a.example") + "/ex_old1.log"));
  const std::string doc = testkit::readFile(results);
  const size_t du = doc.find("<du dom-id=\"1\"");
  ASSERT_NE(du, std::string::npos) << doc;
  const size_t logs = doc.find(" logs=\"", du);
  ASSERT_NE(logs, std::string::npos) << doc;
  const uint64_t reported = std::stoull(doc.substr(logs + 7));
  EXPECT_EQ(reported, after) << "the logs directory as it stands after the night (it held " << before << " bytes before)";
}

TEST_F(ExactlyOnceTest, LogsWithASecondNameAndHiddenLogsAreCounted) {
  // A backup made with hard links, and a log whose name begins with a dot.
  fs::create_directories(install.path("backup"));
  fs::create_hard_link(logsDir("a.example") + "/ex_cur.log", install.path("backup/ex_cur.log"));
  webLines("2", "b.example", ".access.log", 4, now - 900);
  EXPECT_EQ(runTraffic("r.xml", hostile::kFrozenNow), expected);
}

// Daily logs are read in name order, which is their time order, whatever
// order the file system lists them in: the feed's lines come oldest first.
TEST_F(ExactlyOnceTest, DailyLogsAreReadAndFedOldestFirst) {
  for (int day = 20; day >= 1; --day) {
    const time_t when = now - day * 86400;
    char name[32];
    strftime(name, sizeof name, "ex%y%m%d.log", gmtime(&when));
    webLines("1", "a.example", name, 2, when);
  }
  ASSERT_EQ(runTraffic("r.xml", hostile::kFrozenNow), expected);
  std::string feed;
  for (const auto& e : fs::directory_iterator(logsDir("a.example")))
    if (e.path().filename().string().starts_with("web2")) feed = testkit::readFile(e.path().string());
  ASSERT_FALSE(feed.empty());
  time_t last = 0;
  size_t lines = 0;
  for (size_t at = feed.find('['); at != std::string::npos; at = feed.find('[', at + 1)) {
    struct tm tm {};
    ASSERT_NE(strptime(feed.c_str() + at + 1, "%d/%b/%Y:%H:%M:%S", &tm), nullptr) << feed.substr(at, 40);
    const time_t t = timegm(&tm);
    EXPECT_LE(last, t) << "line " << lines << " of the feed is older than the one before it";
    last = t;
    ++lines;
  }
  EXPECT_EQ(lines, 50u) << "40 daily lines and the 10 of the current log";
}

TEST_F(ExactlyOnceTest, AFromDateInTheFutureCountsNothingAndMovesNoMarker) {
  const std::string results = install.path("future.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--from-date=2027/06/01 00:00:00"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(soak::parseTraffic(testkit::readFile(results)).empty());
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty()) << "no marker pinned in the future";
  EXPECT_NE(events().find("--from-date 2027/06/01 00:00:00 is later than now"), std::string::npos) << events();
  EXPECT_EQ(runTraffic("next.xml", "2026-12-10 13:00:00"), expected) << "the following night counts everything";
}

// While the mailbox step of one instance runs (hours on a large host),
// another instance's mail traffic step is not skipped: the first takes the
// mail traffic lock only once its slow steps are done.
TEST_F(ExactlyOnceTest, TheMailboxStepDoesNotHoldTheMailTrafficLock) {
  testkit::writeFile(configPath(), "<?xml version=\"1.0\"?>\n<config>\n  <domain id=\"1\" name=\"a.example\" hosting=\"true\" calculateMail=\"true\">"
                                   "</domain>\n  <mail><box name=\"info\" domainId=\"1\"/></mail>\n</config>\n");
  useHook("true");
  const std::string seen = install.path("seen.txt");
  const std::string other = install.path("other.xml");
  hookEnv["HALVEX_TEST_MAILBOX_HOOK"] = "env -u HALVEX_TEST_MAILBOX_HOOK " + testkit::programPath("statistics") + " --mail-traffic --config=" +
                                        configPath() + " --save-results-to=" + other + " && " + testkit::programPath("halvex-reg") +
                                        " query \"HKLM\\SOFTWARE\\Halvex\\QMX Config\\Config\" /v LastMailTrafficCalculation > " + seen;
  const std::string results = install.path("r.xml");
  const auto r = run({"--mail-traffic", "--mailbox-usage"}, results);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(testkit::readFile(seen).find("LastMailTrafficCalculation"), std::string::npos)
      << "the other instance counted the mail traffic while the mailbox step ran\n"
      << events();
  EXPECT_EQ(events().find("mailbox hook failed"), std::string::npos) << events();
  EXPECT_NE(testkit::readFile(results).find("<mail dom-id=\"1\" name=\"info\" value=\"1\"/>"), std::string::npos) << testkit::readFile(results);
}

}  // namespace
