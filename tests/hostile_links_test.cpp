// Whole runs over logs directories where the tenant planted symbolic links,
// a FIFO, a device node and a hard link. The program runs as root: a link it
// followed would let a tenant read, move or overwrite any file of the host.
// Each test names what a version that followed the link would do, and
// checks for exactly that.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "support/registry.h"
#include "support/text.h"
#include "tests/hostile_support.h"
#include "tests/soak_world.h"

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

// Attacks by a real tenant user (made for the test, removed after), who owns
// domain a's webspace, against root's private directory, which holds a
// directory named like a's and 0600 logs of root's. Root's run has rotation
// with compression, retention of none and a mail of every dropped log to the
// tenant's address.
class TenantAttackTest : public hostile::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    now = hostile::frozenNow();
    registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"SaveHTTPLogsDirectory", text::fromAnsi(install.path("saved")));
    writeConfig(R"(webspaceName="a.example"><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true" email="owner@a.example"/>)",
                R"(><logRotation enabled="true" period="daily" maxNumberOfFiles="0" compress="true" email="owner@b.example"/>)");
    webLines("1", "a.example", "ex_cur.log", 10, now - 3600);
    webLines("2", "b.example", "ex_cur.log", 6, now - 1800);
    fs::create_directories(logsDir("a.example") + "/php_errors/a.example");
    soak::appendStamped(logsDir("a.example") + "/php_errors/a.example/error.log", "the tenant's php error\n", now - 3 * 86400);
    fs::create_directories(rootOnly + "/a.example");
    for (const char* name : {"error.log", "old.log", "older.log.rotated"}) {
      const std::string path = rootOnly + "/a.example/" + name;
      soak::appendStamped(path, kSecret + std::string(" in ") + name + "\n", now - 4 * 86400);
      ::chmod(path.c_str(), 0600);
    }
    ::chmod(rootOnly.c_str(), 0700);
    giveToTenant(tenant, "a.example");
    before = hostile::tree(rootOnly);
  }

  // Nothing of root's changed, and none of its bytes reached the tenant.
  void expectRootsFilesUntouched(const std::string& results) {
    EXPECT_EQ(hostile::tree(rootOnly), before) << "root's files keep content, mode, owner and links";
    EXPECT_EQ(mail.everything().find(kSecret), std::string::npos) << "no mail carries root's bytes";
    EXPECT_EQ(testkit::readFile(results).find(kSecret), std::string::npos);
    std::set<ino_t> roots;
    for (const auto& [name, state] : before) roots.insert(state.inode);
    for (const auto& [name, state] : hostile::tree(install.vhostsRoot())) {
      if (roots.count(state.inode)) continue;  // a name the tenant gave root's file itself
      EXPECT_EQ(state.content.find(kSecret), std::string::npos) << "root's bytes in the tenants' directories: " << name;
    }
    for (const auto& [name, state] : hostile::tree(install.path("saved")))
      EXPECT_EQ(state.content.find(kSecret), std::string::npos) << "root's log in the save directory: " << name;
  }

  static constexpr const char* kSecret = "root's secret line";
  hostile::Tenant tenant;
  hostile::MailSink mail;
  time_t now = 0;
  const std::string rootOnly = install.path("rootonly");
  std::map<std::string, hostile::FileState> before;
};

// The tenant replaces logs/php_errors with a link to root's directory, before
// the run (the web host utility stands in for the tenant) and during it
// (after the scan, before the rotation). A version that walked the link
// would compress root's 0600 logs into archives, mail them to the tenant and
// remove them.
TEST_F(TenantAttackTest, APhpErrorsDirectorySwappedForALinkLeadsNowhere) {
  const std::string php = logsDir("a.example") + "/php_errors";
  const std::string swap = tenant.as("mv '" + php + "' '" + php + ".real' && ln -s '" + rootOnly + "' '" + php + "'");
  const std::string back = "rm '" + php + "' && mv '" + php + ".real' '" + php + "'";
  standIn("webhostctl", "#!/bin/sh\nout=$(\"$0.real\" \"$@\") || exit 1\n" + swap + " || exit 1\nprintf '%s' \"$out\"\n");
  const std::string first = install.path("before.xml");
  auto r = run({"--http-traffic", "--ftp-traffic"}, first, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(fs::is_symlink(php)) << "the tenant's swap took place";
  expectRootsFilesUntouched(first);
  EXPECT_TRUE(fs::exists(php + ".real/a.example/error.log")) << "the tenant's own moved directory is not rotated either";

  ASSERT_EQ(std::system(back.c_str()), 0);
  fs::rename(install.productRoot() + "/admin/bin/webhostctl.real", install.productRoot() + "/admin/bin/webhostctl");
  useHook(swap);
  const std::string second = install.path("during.xml");
  r = run({"--http-traffic", "--ftp-traffic", "--mail-traffic"}, second, "2026-12-10 13:00:00");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(fs::is_symlink(php)) << "the tenant's swap took place";
  expectRootsFilesUntouched(second);
  EXPECT_NE(events().find(php), std::string::npos) << "the refused link is reported:\n" << events();
}

// During the run the tenant puts a hard link to root's file in place of a
// log that is due for rotation and the mail (with fs.protected_hardlinks=0 a
// tenant may link any file; here root plants it, which is the same). A
// version that checked the name before opening it would mail root's file.
TEST_F(TenantAttackTest, AHardLinkSwappedInDuringTheRunIsNeitherMailedNorArchived) {
  webLines("1", "a.example", "ex_old.log", 5, now - 3 * 86400);
  tenant.own(logsDir("a.example"));
  const std::string old = logsDir("a.example") + "/ex_old.log";
  const std::string secret = rootOnly + "/a.example/old.log";
  useHook("mv '" + old + "' '" + old + ".moved' && ln '" + secret + "' '" + old + "'");
  before = hostile::tree(rootOnly);
  before["a.example/old.log"].links = 2;  // the planted second name
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic", "--mail-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(snapshot(old).inode, snapshot(secret).inode) << "the swap took place";
  expectRootsFilesUntouched(results);
  EXPECT_EQ(snapshot(old).links, 2u) << "root's file keeps both names";
}

// A log named so that its name would end the mail's Subject and attachment
// headers and begin headers (a Bcc) and a body of the tenant's choosing, and
// forge lines in the program's logs.
TEST_F(TenantAttackTest, ALogNameWithLineBreaksPutsNoHeaderIntoTheMailNorALineIntoTheLogs) {
  const std::string name = "b\r\nBcc: victim@else.example\r\n\r\nbody\nwarning\tstatistics\tforged.log";
  soak::appendStamped(logsDir("a.example") + "/" + name, "the tenant's log\n", now - 3 * 86400);
  tenant.own(logsDir("a.example"));
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> mails = mail.messages();
  ASSERT_FALSE(mails.empty()) << "the log is mailed:\n" << events();
  for (const std::string& m : mails) {
    const std::string headers = m.substr(0, m.find("\r\n\r\n"));
    EXPECT_EQ(headers.find("\nBcc:"), std::string::npos) << headers;
    EXPECT_EQ(m.find("victim@else.example\r\n\r\nbody"), std::string::npos) << m;
  }
  EXPECT_EQ(mail.everything().find("victim@else.example\"]"), std::string::npos) << "no envelope recipient of the tenant's choosing";
  std::istringstream lines(events());
  for (std::string line; std::getline(lines, line);) {
    EXPECT_FALSE(line.starts_with("Bcc:") || line.starts_with("warning\tstatistics\tforged")) << "a forged line: " << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
  }
  const std::string debug = install.logsDir();
  for (const auto& [file, state] : hostile::tree(debug)) {
    if (state.type != S_IFREG) continue;
    const std::string text = testkit::readUtf16File(debug + "/" + file);
    EXPECT_EQ(text.find("\nBcc:"), std::string::npos) << file;
    EXPECT_EQ(text.find("\r\n\r\nbody"), std::string::npos) << file;
  }
}

// A tenant's log of 256 MiB apparent size with a few lines in it (a sparse
// file, a few blocks on disk). A copy of it that filled the holes would cost
// root the whole apparent size in its temporary directory; root reads each
// due log in place instead. Every file made there is watched as it is made
// (held open, so that it can be looked at after the run has removed it).
TEST_F(TenantAttackTest, ASparseLogCostsRootOnlyTheBlocksItHas) {
  const std::string log = logsDir("a.example") + "/ex_sparse.log";
  webLines("1", "a.example", "ex_sparse.log", 5, now - 1200);
  constexpr off_t kApparent = off_t{256} << 20;
  ASSERT_EQ(::truncate(log.c_str(), kApparent), 0);
  struct stat source;
  ASSERT_EQ(::stat(log.c_str(), &source), 0);
  if (static_cast<off_t>(source.st_blocks) * 512 >= kApparent / 2) GTEST_SKIP() << "the file system keeps no holes";
  tenant.own(logsDir("a.example"));
  const std::string temp = install.productRoot() + "/PrivateTemp";
  fs::create_directories(temp);
  ::chmod(temp.c_str(), 0700);

  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, temp.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  std::atomic<bool> done{false};
  std::vector<int> held;
  std::thread watcher([&] {
    alignas(inotify_event) char buf[8192];
    while (!done) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      const ssize_t n = ::read(watch, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        if (e->len > 0) {
          const int fd = ::open((temp + "/" + e->name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
          if (fd >= 0) held.push_back(fd);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  });
  const std::string results = install.path("r.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results, hostile::kFrozenNow);
  done = true;
  watcher.join();
  ::close(watch);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(soak::parseTraffic(testkit::readFile(results)), expected) << "the lines are counted, the holes are no lines";
  off_t copies = 0;
  for (const int fd : held) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size == kApparent) ++copies;
    ::close(fd);
  }
  EXPECT_EQ(copies, 0) << "the log is read in place: root's disk holds no copy of it, holes filled or not";
}

}  // namespace
