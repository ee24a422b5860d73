#include "logrotate/logrotate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "logrotate/test_support.h"
#include "support/text.h"

using halvex::logging::LogStorage;
using lrtest::makeFile;
using lrtest::names;
using Names = std::vector<std::string>;

namespace {

constexpr int64_t kHour = 3600, kDay = 86400;

std::wstring w(const std::string& s) { return text::fromUtf8(s); }

void rotate(const DomainInfo& d, LogStorage* storage = nullptr) { logrotate(storage).start(d, L"admin@demo.example", L"Demo Admin"); }

}  // namespace

TEST(LogRotateTest, DailyKeepsTheNewestLogWrittenThreeHoursAgoWhileDailyInCapitalsRotatesIt) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/old.log", "old", 3 * kDay);
  makeFile(logs + "/older.log", "older", 4 * kDay);
  makeFile(logs + "/access_log", "current", 3 * kHour);
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily"));
  EXPECT_EQ(names(logs), (Names{"access_log", "old.log.rotated", "older.log.rotated"}));

  makeFile(logs + "/error.log", "e", 4 * kDay);
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"Daily"));
  EXPECT_EQ(names(logs), (Names{"access_log.rotated", "error.log.rotated", "old.log.rotated", "older.log.rotated"}));
  EXPECT_EQ(testkit::readFile(logs + "/access_log.rotated"), "current");
}

TEST(LogRotateTest, RotatesTheNewestLogBySizeOnlyOnceItOutgrowsTheLimit) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  auto d = lrtest::domain(L"alpha.example", {logs}, L"1048576");
  d->logRotation.rotateBySize = true;
  makeFile(logs + "/access.log", std::string(1048576, 'x'), 10 * kDay);
  rotate(*d);
  EXPECT_EQ(names(logs), Names{"access.log"}) << "exactly at the limit it stays, however old";
  makeFile(logs + "/access.log", std::string(1048577, 'x'), 10 * kDay);
  rotate(*d);
  EXPECT_EQ(names(logs), Names{"access.log.rotated"});
}

TEST(LogRotateTest, CompressionSwitchedOnLaterTurnsEachRotatedFileIntoAnArchiveNamedAfterIt) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/a.log.rotated", "newer rotation", 2 * kDay);
  makeFile(logs + "/a.log_1.rotated", "older rotation", 3 * kDay);
  makeFile(logs + "/a.log", "current", kHour);
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 10, true));
  EXPECT_EQ(names(logs), (Names{"a.log", "a.log.rotated.zip", "a.log_1.rotated.zip"}));
  for (const auto& [archive, entry, content] : {std::tuple{"a.log.rotated.zip", "a.log.rotated", "newer rotation"},
                                               std::tuple{"a.log_1.rotated.zip", "a.log_1.rotated", "older rotation"}}) {
    EXPECT_EQ(lrtest::unzipTest(logs + "/" + archive), 0) << archive;
    const auto entries = lrtest::readZip(logs + "/" + archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, entry);
    EXPECT_EQ(entries[0].content, content);
  }
}

TEST(LogRotateTest, AnExistingArchiveShiftsToTheNumberedSeries) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  auto d = lrtest::domain(L"alpha.example", {logs}, L"never", 10, true);
  makeFile(logs + "/a.log", "first", 3 * kDay);
  rotate(*d);
  makeFile(logs + "/a.log", "second", 2 * kDay);
  rotate(*d);
  EXPECT_EQ(names(logs), (Names{"a.log.zip", "a.log_1.zip"}));
  makeFile(logs + "/a.log", "third", kDay);
  rotate(*d);
  EXPECT_EQ(names(logs), (Names{"a.log.zip", "a.log_1.zip", "a.log_2.zip"}));
  EXPECT_EQ(lrtest::readZip(logs + "/a.log.zip").at(0).content, "third") << "the newest takes the plain name";
  EXPECT_EQ(lrtest::readZip(logs + "/a.log_1.zip").at(0).content, "second");
  EXPECT_EQ(lrtest::readZip(logs + "/a.log_2.zip").at(0).content, "first");
  for (const std::string& n : names(logs)) EXPECT_EQ(lrtest::unzipTest(logs + "/" + n), 0) << n;
}

TEST(LogRotateTest, KeepingNoFilesHandsOverEveryArchiveButNotTheCurrentLog) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/x.log.zip", "x", 5 * kDay);
  makeFile(logs + "/y.log", "y", 3 * kDay);
  makeFile(logs + "/current.log", "c", kHour);
  LogStorage storage;
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 0, true), &storage);
  EXPECT_EQ(names(logs), (Names{"current.log", "x.log.zip", "y.log.zip"})) << "handing over moves nothing yet";
  EXPECT_EQ(storage.size(), 2u);
  EXPECT_TRUE(storage.contains(w(logs + "/x.log.zip")));
  EXPECT_TRUE(storage.contains(w(logs + "/y.log.zip")));
  EXPECT_FALSE(storage.contains(w(logs + "/current.log")));
}

TEST(LogRotateTest, KeepsTheNewestArchivesAndSkipsFilesAlreadyHandedOverToASaveDirectory) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  for (int i = 1; i <= 4; ++i) makeFile(logs + "/l" + std::to_string(i) + ".rotated", "r", i * kDay);
  LogStorage storage;
  storage.setDirectory(w(install.path("saved")));
  storage.add(w(logs + "/l1.rotated"), L"alpha.example");  // the newest, handed over by an earlier step
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 2), &storage);
  EXPECT_TRUE(storage.contains(w(logs + "/l4.rotated"))) << "the oldest goes";
  EXPECT_FALSE(storage.contains(w(logs + "/l2.rotated")));
  EXPECT_FALSE(storage.contains(w(logs + "/l3.rotated"))) << "l1 did not count, so l2 and l3 are the two kept";
  EXPECT_EQ(storage.size(), 2u);
}

TEST(LogRotateTest, RemovesDroppedLogsAtOnceWithoutAStorage) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/old.log.rotated", "r", 2 * kDay);
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 0));
  EXPECT_EQ(names(logs), Names{});
}

TEST(LogRotateTest, NeverTouchesAnalyserFeedsArchivesInTheMakingOrDisabledDomains) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  for (const char* n : {"web20240101.log", "ftp_feed.log", "anon.log.rotated", "webstat.zip"}) makeFile(logs + "/" + n, "feed", 9 * kDay);
  makeFile(logs + "/other.log", "o", 9 * kDay);
  makeFile(logs + "/.halvex-zip-0123abcd.tmp", "an archive a crash left half made", 9 * kDay);
  auto disabled = lrtest::domain(L"alpha.example", {logs}, L"daily", 0);
  disabled->logRotation.enabled = false;
  LogStorage storage;
  rotate(*disabled, &storage);
  EXPECT_EQ(names(logs), (Names{".halvex-zip-0123abcd.tmp", "anon.log.rotated", "ftp_feed.log", "other.log", "web20240101.log", "webstat.zip"}));
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 0), &storage);
  EXPECT_EQ(names(logs), (Names{".halvex-zip-0123abcd.tmp", "anon.log.rotated", "ftp_feed.log", "other.log.rotated", "web20240101.log", "webstat.zip"}));
  EXPECT_EQ(storage.size(), 1u) << "only the domain's own log is handed over";
}

TEST(LogRotateTest, HostileEntriesAreNeitherFollowedRenamedCompressedNorHandedOver) {
  testkit::Installation install;
  const std::string logs = install.path("logs"), outside = install.path("outside");
  makeFile(outside + "/secret", "secret", 9 * kDay);
  makeFile(logs + "/old.log", "old", 9 * kDay);
  ASSERT_EQ(symlink((outside + "/secret").c_str(), (logs + "/access.log.1").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/planted").c_str(), (logs + "/old.log.zip").c_str()), 0);
  ASSERT_EQ(mkfifo((logs + "/pipe.log").c_str(), 0644), 0);
  LogStorage storage;
  {
    lrtest::LogCapture capture;
    rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 0, true), &storage);
    EXPECT_NE(capture.text().find("Can't rename file " + logs + "/old.log.zip to " + logs + "/old.log_1.zip"), std::string::npos) << capture.text();
  }
  EXPECT_EQ(names(logs), (Names{"access.log.1", "old.log", "old.log.zip", "pipe.log"})) << "the log behind a planted link waits";
  EXPECT_EQ(storage.size(), 1u) << "only the real log counts";
  EXPECT_TRUE(storage.contains(w(logs + "/old.log")));
  EXPECT_EQ(testkit::readFile(outside + "/secret"), "secret");
  EXPECT_FALSE(testkit::fileExists(outside + "/planted")) << "nothing written through the planted link";
  EXPECT_EQ(names(outside), Names{"secret"});
}

TEST(LogRotateTest, ReportsEachFailureWithTheFileItConcernsAndLosesNoLog) {
  testkit::Installation install;
  const std::string logs = install.path("logs"), vanished = install.path("vanished");
  makeFile(logs + "/blocked.log", "b", 3 * kDay);
  std::filesystem::create_directories(logs + "/blocked.log.rotated");  // a directory where the archive would go
  makeFile(logs + "/fine.log", "f", 3 * kDay);
  lrtest::LogCapture capture;
  rotate(*lrtest::domain(L"alpha.example", {vanished, logs}, L"daily", 10));
  EXPECT_NE(capture.text().find(vanished), std::string::npos) << "the vanished directory is named";
  EXPECT_NE(capture.text().find("Rotate log for domain alpha.example"), std::string::npos);
  EXPECT_NE(capture.text().find("Can't rename file " + logs + "/blocked.log.rotated to " + logs + "/blocked.log_1.rotated"), std::string::npos)
      << capture.text();
  EXPECT_EQ(names(logs), (Names{"blocked.log", "blocked.log.rotated", "fine.log.rotated"})) << "the next directory is still rotated";
  EXPECT_NE(lrtest::eventLog(install).find("error\t"), std::string::npos) << "rename failures are errors";
}

TEST(LogRotateTest, AnArchiveThatCannotBeWrittenIsReportedAndTheLogKept) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/access.log", "precious", 3 * kDay);
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", install.path("no-such-dir").c_str(), 1);
  lrtest::LogCapture capture;
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 10, true));
  old ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  EXPECT_NE(capture.text().find("Can't compress file " + logs + "/access.log to " + logs + "/access.log.zip"), std::string::npos) << capture.text();
  EXPECT_EQ(names(logs), Names{"access.log"});
  EXPECT_EQ(testkit::readFile(logs + "/access.log"), "precious");
}

TEST(LogRotateTest, ALogHeldOpenByAnotherProcessIsNotCompressed) {
  testkit::Installation install;
  const std::string logs = install.path("logs");
  makeFile(logs + "/held.log", "h", 3 * kDay);
  makeFile(logs + "/free.log", "f", 3 * kDay);
  lrtest::FileHolder holder(logs + "/held.log");
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 10, true));
  EXPECT_EQ(names(logs), (Names{"free.log.zip", "held.log"}));
}

TEST(LogRotateTest, LaunchRotatesOnlyTheDomainsThisRunHoldsLocked) {
  testkit::Installation install;
  const std::string a = install.path("a"), b = install.path("b");
  makeFile(a + "/x.log", "x", 3 * kDay);
  makeFile(b + "/y.log", "y", 3 * kDay);
  DomainModel model;
  model.domainsById[L"1"] = lrtest::domain(L"a.example", {a}, L"daily", 0);
  auto other = lrtest::domain(L"b.example", {b}, L"daily", 0);
  model.domainsById[L"2"] = std::make_shared<DomainInfo>(L"2", L"b.example");
  model.domainsById[L"2"]->logDirectories = other->logDirectories;
  model.domainsById[L"2"]->logRotation = other->logRotation;
  model.domainsById[L"1"]->businessLock.lock();
  LogStorage storage;
  launchLogRotate(model, storage);
  EXPECT_EQ(names(a), Names{"x.log.rotated"});
  EXPECT_EQ(names(b), Names{"y.log"}) << "a domain another run may be counting is left alone";
  EXPECT_TRUE(storage.contains(w(a + "/x.log.rotated")));
  model.domainsById[L"1"]->businessLock.unlock();
}
