// Whole runs during which the tenant swaps things: its logs directory for a
// link to another domain's logs directory (before the scan, and between the
// scan and the commit), and an already counted log for a link to a file of
// root's (between the scan and the rotation). The web host utility stands in
// for the tenant before the scan; the hook provider of the mail step after
// it, when everything is read and nothing is recorded yet.
#include <sys/stat.h>

#include <filesystem>

#include "tests/hostile_support.h"

namespace {

namespace fs = std::filesystem;
using hostile::snapshot;

class HostileSwapsTest : public hostile::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    now = hostile::frozenNow();
    // Domain a counts into a Webalizer feed and rotates every older log
    // away; domain b's directory is the one a's link points at.
    writeConfig(R"(webStatType="webalizer"><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true"/>)");
    webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
    webLines("2", "b.example", "ex_cur.log", 6, now - 1800);
    webLines("2", "b.example", "ex_old.log", 4, now - 3 * 86400);
  }

  // The shell commands, run as a's tenant (who owns a's webspace), that put
  // a link to b's logs directory in place of a's.
  std::string swapCommand() {
    giveToTenant(tenant, "a.example");
    const std::string a = logsDir("a.example");
    return tenant.as("mv '" + a + "' '" + a + ".moved' && ln -s '" + logsDir("b.example") + "' '" + a + "'");
  }
  std::map<std::string, hostile::FileState> entries(const std::string& dir) {
    std::map<std::string, hostile::FileState> out;
    for (const auto& e : fs::directory_iterator(dir)) out[e.path().filename().string()] = snapshot(e.path().string());
    return out;
  }
  static std::vector<std::string> feedsIn(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().starts_with("web2")) out.push_back(e.path().string());
    return out;
  }

  time_t now = 0;
  hostile::Tenant tenant;
};

// The web host utility reports a's logs directory and, before the scan, the
// tenant swaps it for a link to b's. A version that followed it would count
// b's lines again as a's (figures of domain 1), rotate b's older log (b's
// entries change) and put a's feed and configuration into b's directory.
TEST_F(HostileSwapsTest, ALogsDirectorySwappedForALinkBeforeTheScanIsNotFollowed) {
  standIn("webhostctl", "#!/bin/sh\nout=$(\"$0.real\" \"$@\") || exit 1\n" + swapCommand() + " || exit 1\nprintf '%s' \"$out\"\n");
  const auto bBefore = entries(logsDir("b.example"));
  soak::Figures bOnly;
  for (const auto& [key, v] : expected)
    if (std::get<0>(key) == "2") bOnly[key] = v;

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), bOnly) << "b's lines are counted once, as b's";
  const auto bAfter = entries(logsDir("b.example"));
  for (const auto& [name, state] : bBefore) {
    if (name == "web_stat_executor.conf") continue;
    EXPECT_EQ(bAfter.count(name) ? bAfter.at(name) : hostile::FileState{}, state) << name;
  }
  EXPECT_TRUE(feedsIn(logsDir("b.example")).empty()) << "no feed of a's in b's directory";
  EXPECT_EQ(testkit::readFile(logsDir("b.example") + "/web_stat_executor.conf").find("a.example"), std::string::npos);
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty()) << "a's lines were not counted: its marker stays";

  // The tenant's directory back in place: its lines are counted then, once.
  fs::remove(logsDir("a.example"));
  fs::rename(logsDir("a.example") + ".moved", logsDir("a.example"));
  fs::rename(install.productRoot() + "/admin/bin/webhostctl.real", install.productRoot() + "/admin/bin/webhostctl");
  const std::string next = install.path("next.xml");
  ASSERT_EQ(run({"--http-traffic", "--ftp-traffic"}, next, "2026-12-10 13:00:00").exitCode, 0);
  soak::Figures total = soak::parseTraffic(testkit::readFile(results));
  soak::add(total, soak::parseTraffic(testkit::readFile(next)));
  EXPECT_EQ(total, expected);
}

// The same swap after the scan, while the run has counted a's lines but not
// yet copied its feed or rotated its logs. A version that followed the link
// at commit time would copy a's feed into b's directory and compress b's
// older log as if it were a's.
TEST_F(HostileSwapsTest, ALogsDirectorySwappedForALinkBeforeTheCommitIsNotFollowed) {
  useHook(swapCommand());
  const auto bBefore = entries(logsDir("b.example"));
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--mail-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected) << "both were counted before the swap";
  const auto bAfter = entries(logsDir("b.example"));
  for (const auto& [name, state] : bBefore) {
    if (name == "web_stat_executor.conf") continue;
    EXPECT_EQ(bAfter.count(name) ? bAfter.at(name) : hostile::FileState{}, state) << name;
  }
  EXPECT_TRUE(feedsIn(logsDir("b.example")).empty()) << "no feed of a's in b's directory";
  EXPECT_NE(events().find("Unable to copy temporary log file"), std::string::npos) << "the lost feed is reported:\n" << events();
  EXPECT_EQ(snapshot(logsDir("a.example")).type, static_cast<mode_t>(S_IFLNK)) << "the link itself is left alone";
}

// After the scan the tenant puts a link to a file of root's in place of a
// log that was counted and is due for rotation. A version that followed it
// would compress root's file into an archive in the tenant's directory (a
// copy the tenant can read) and remove or truncate root's file.
TEST_F(HostileSwapsTest, ALogSwappedForALinkBeforeTheRotationIsNeitherArchivedNorRemoved) {
  webLines("1", "a.example", "ex_old.log", 5, now - 3 * 86400);
  fs::create_directories(install.path("private"));
  bait(install.path("private/root.log"), now - 3 * 86400);
  const std::string old = logsDir("a.example") + "/ex_old.log";
  giveToTenant(tenant, "a.example");
  useHook(tenant.as("mv '" + old + "' '" + old + ".moved' && ln -s '" + install.path("private/root.log") + "' '" + old + "'"));
  const hostile::FileState root = snapshot(install.path("private/root.log"));

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--mail-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected);
  EXPECT_EQ(snapshot(install.path("private/root.log")), root);
  EXPECT_EQ(snapshot(old).type, static_cast<mode_t>(S_IFLNK));
  EXPECT_FALSE(fs::exists(old + ".zip")) << "no archive of root's file in the tenant's directory";
}

}  // namespace
