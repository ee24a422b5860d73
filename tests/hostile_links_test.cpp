// Whole runs over logs directories where the tenant planted symbolic links,
// a FIFO, a device node and a hard link. The program runs as root: a link it
// followed would let a tenant read, move or overwrite any file of the host.
// Each test names what a version that followed the link would do, and
// checks for exactly that.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include "support/registry.h"
#include "support/text.h"
#include "tests/hostile_support.h"

namespace {

namespace fs = std::filesystem;
using hostile::snapshot;

class HostileLinksTest : public hostile::ProgramTest {
 protected:
  std::string outside(const std::string& name) { return install.path("outside/" + name); }
  std::string inLogs(const std::string& domain, const std::string& name) { return logsDir(domain) + "/" + name; }
  void plantLink(const std::string& domain, const std::string& name, const std::string& target) { fs::create_symlink(target, inLogs(domain, name)); }
  std::vector<std::string> names(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
};

// Links named like a log, like an archive the rotation is about to make,
// like the feed and the executor configuration the run writes, and like a
// kept archive that retention would retire. A version that followed them
// would count the outside log's bait line (figures), compress or rename the
// outside files (their inode, time or content change, or the link moves),
// write the feed or the configuration into the outside files (content), or
// hand the outside file to the save directory (the link is gone).
TEST_F(HostileLinksTest, LinksNamedLikeLogsArchivesFeedsAndConfigurationAreNeverFollowed) {
  const time_t now = hostile::frozenNow();
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"SaveHTTPLogsDirectory", text::fromAnsi(install.path("saved")));
  writeConfig(R"(webStatType="webalizer"><logRotation enabled="true" period="daily" maxNumberOfFiles="1" compress="true"/>)",
              R"(><logRotation enabled="true" period="daily" maxNumberOfFiles="1" compress="false"/>)");
  fs::create_directories(outside(""));
  bait(outside("secret.log"), now - 60);
  for (const char* name : {"archive.txt", "conf.txt", "feed.txt", "rotated.txt", "kept.txt"}) testkit::writeFile(outside(name), name);

  webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
  webLines("1", "a.example", "ex_old.log", 5, now - 2 * 86400);
  webLines("1", "a.example", "ex_older.log", 5, now - 3 * 86400);
  webLines("2", "b.example", "ex_cur.log", 7, now - 1800);
  webLines("2", "b.example", "ex_old.log", 4, now - 2 * 86400);
  plantLink("a.example", "ex_link.log", outside("secret.log"));
  plantLink("a.example", "ex_old.log.zip", outside("archive.txt"));
  plantLink("a.example", "web_stat_executor.conf", outside("conf.txt"));
  // The feed's name at the frozen clock.
  plantLink("a.example", "web20261210120000000.log", outside("feed.txt"));
  plantLink("b.example", "ex_old.log.rotated", outside("rotated.txt"));
  plantLink("b.example", "ex_kept.log.rotated", outside("kept.txt"));

  std::map<std::string, hostile::FileState> before;
  for (const char* name : {"secret.log", "archive.txt", "conf.txt", "feed.txt", "rotated.txt", "kept.txt"}) before[outside(name)] = snapshot(outside(name));
  for (const std::string& link : {inLogs("a.example", "ex_link.log"), inLogs("a.example", "ex_old.log.zip"), inLogs("b.example", "ex_old.log.rotated"),
                                  inLogs("b.example", "ex_kept.log.rotated")})
    before[link] = snapshot(link);

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string doc = testkit::readFile(results);
  EXPECT_EQ(soak::parseTraffic(doc), expected) << "only the real logs are counted, never the outside bait:\n" << doc;

  for (const auto& [path, state] : before) EXPECT_EQ(snapshot(path), state) << path << " was read through, moved or changed";
  const hostile::FileState conf = snapshot(inLogs("a.example", "web_stat_executor.conf"));
  EXPECT_EQ(conf.type, static_cast<mode_t>(S_IFREG)) << "the link is replaced as an entry";
  EXPECT_NE(conf.content.find("a.example"), std::string::npos);
  const hostile::FileState feed = snapshot(inLogs("a.example", "web20261210120000000.log"));
  EXPECT_EQ(feed.type, static_cast<mode_t>(S_IFREG));
  EXPECT_EQ(std::count(feed.content.begin(), feed.content.end(), '\n'), 20) << feed.content;

  // The real logs were rotated all the same: the test saw rotation at work.
  EXPECT_FALSE(fs::exists(inLogs("a.example", "ex_older.log")));
  EXPECT_TRUE(fs::exists(inLogs("a.example", "ex_old.log"))) << "its archive name is taken by a link: the log stays";
  bool retired = false;
  for (const std::string& name : names(install.path("saved"))) retired = retired || name.ends_with("_ex_older.log.zip");
  EXPECT_TRUE(retired) << "the archive beyond the kept number went to the save directory";
}

// A FIFO and a device node (/dev/zero's) named like logs, in a directory
// that is scanned, rotated and retained. A version that opened them without
// O_NONBLOCK would block on the FIFO for ever; one that read them without
// checking that they are regular files would read endless zeros. Either way
// the run would be killed by the time-out (exit code 137).
TEST_F(HostileLinksTest, AFifoOrDeviceNamedLikeALogNeverBlocksTheRun) {
  const time_t now = hostile::frozenNow();
  writeConfig(R"(webStatType="awstats"><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true"/>)");
  webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
  webLines("2", "b.example", "ex_cur.log", 3, now - 3600);
  ASSERT_EQ(::mkfifo(inLogs("a.example", "ex_fifo.log").c_str(), 0644), 0);
  ASSERT_EQ(::mknod(inLogs("a.example", "ex_zero.log").c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
  const hostile::FileState fifo = snapshot(inLogs("a.example", "ex_fifo.log"));
  const hostile::FileState zero = snapshot(inLogs("a.example", "ex_zero.log"));

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << "137 means the run blocked and was killed:\n" << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected);
  EXPECT_EQ(snapshot(inLogs("a.example", "ex_fifo.log")), fifo);
  EXPECT_EQ(snapshot(inLogs("a.example", "ex_zero.log")), zero);
}

// A hard link in the tenant's directory to a file of root's that the tenant
// does not own. Rotation with no kept files would compress and remove every
// older log, or hand it to the log storage: a version that did not look at
// the link count would remove root's file's name, leave a copy of root's
// file as an archive in the tenant's directory, or move it to the save
// directory.
TEST_F(HostileLinksTest, AHardLinkToAFileTheTenantDoesNotOwnIsNeitherRemovedNorHandedOver) {
  const time_t now = hostile::frozenNow();
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"SaveHTTPLogsDirectory", text::fromAnsi(install.path("saved")));
  writeConfig(R"(><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true"/>)");
  // The tenant's directory and logs are the tenant's (uid 1000).
  ASSERT_EQ(::chown(logsDir("a.example").c_str(), 1000, 1000), 0);
  webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
  webLines("1", "a.example", "ex_old.log", 5, now - 3 * 86400);
  fs::create_directories(install.path("private"));
  bait(install.path("private/root.log"), now - 3 * 86400);
  ::chmod(install.path("private/root.log").c_str(), 0600);
  ASSERT_EQ(::link(install.path("private/root.log").c_str(), inLogs("a.example", "ex_hard.log").c_str()), 0);
  const hostile::FileState hard = snapshot(inLogs("a.example", "ex_hard.log"));
  const hostile::FileState original = snapshot(install.path("private/root.log"));

  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(snapshot(inLogs("a.example", "ex_hard.log")), hard);
  EXPECT_EQ(snapshot(install.path("private/root.log")), original);
  EXPECT_FALSE(fs::exists(inLogs("a.example", "ex_hard.log.zip"))) << "no copy of root's file in the tenant's directory";
  EXPECT_FALSE(fs::exists(inLogs("a.example", "ex_old.log"))) << "the tenant's own older log was rotated all the same";
  for (const std::string& name : names(install.path("saved"))) EXPECT_EQ(name.find("ex_hard"), std::string::npos) << name;
}

}  // namespace
