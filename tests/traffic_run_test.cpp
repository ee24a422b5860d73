// Whole runs of the traffic step as the panel starts them: the figures equal
// the generated logs' own sums, every line is counted once run after run,
// and a run that dies before its document is complete records nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <iostream>
#include <tuple>

#include "app/business_lock.h"
#include "support/datetime.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/soak_results.h"
#include "tests/testkit.h"

namespace {

namespace fs = std::filesystem;

using soak::complete;
using soak::Figures;
using soak::parseTraffic;

std::map<std::string, int64_t> parseSitePages(const std::string& doc) {
  std::map<std::string, int64_t> m;
  static const std::regex re(R"re(<sitepages date="([^"]*)" value="(\d+)"/>)re");
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), re); it != std::sregex_iterator(); ++it) m[(*it)[1]] += std::stoll((*it)[2]);
  return m;
}

const char* kWebHeader = "#Software: Microsoft Internet Information Services\r\n#Version: 1.0\r\n#Date: 2026-11-01 00:00:00\r\n"
                         "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
                         "sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";
const char* kFtpHeader = "#Software: Microsoft FTP Service\r\n#Version: 1.0\r\n"
                         "#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-win32-status sc-bytes cs-bytes\r\n";

// A test installation with the panel utilities in place, domains' sites and
// the FTP server's log directory.
class TrafficRunTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  testkit::TempDir tmp;
  std::mt19937 rng{12345};
  Figures expected;
  std::map<std::string, int64_t> expectedHits;

  void SetUp() override {
    registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1);
    for (const char* tool : {"webhostctl", "ftphostctl"})
      fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
    for (const char* d : {"a.example", "b.example"}) fs::create_directories(install.vhostsRoot() + "/" + d + "/logs");
    fs::create_directories(ftpDir());
    testkit::writeFile(configPath(), R"(<?xml version="1.0"?>
<config>
  <domain id="1" name="a.example" hosting="true"/>
  <domain id="2" name="b.example" hosting="true"/>
  <domain id="3" name="c.example" hosting="false"/>
  <ftp>
    <user login="alice" domainId="1"/>
    <ip address="192.0.2.10"/>
    <anon-ip address="198.51.100.7" domainId="3"/>
  </ftp>
</config>
)");
  }

  std::string configPath() { return install.path("config.xml"); }
  std::string ftpDir() { return install.dataRoot() + "/ftp/logs/192.0.2.10"; }
  std::string webLog(const std::string& domain, const std::string& name) { return install.vhostsRoot() + "/" + domain + "/logs/" + name; }

  // Appends `n` web lines of one day to a domain's log, recording the sums.
  void webLines(const std::string& domainId, const std::string& domain, const std::string& file, const std::string& date, int n,
                const std::string& time = "") {
    std::string out = fs::exists(webLog(domain, file)) ? "" : kWebHeader;
    for (int i = 0; i < n; ++i) {
      const int64_t sc = rng() % 100000, cs = rng() % 2000;
      char line[512];
      const std::string t = time.empty() ? std::to_string(10 + i % 10) + ":" + std::to_string(10 + i % 50) + ":07" : time;
      snprintf(line, sizeof line, "%s %s 10.0.0.1 GET /p%d.html - 80 - 203.0.113.%d Mozilla/5.0 200 0 0 %lld %lld 15\r\n", date.c_str(),
               t.c_str(), i, i % 250, static_cast<long long>(sc), static_cast<long long>(cs));
      out += line;
      auto& v = expected[{domainId, date, "http"}];
      v.first += cs;
      v.second += sc;
      expectedHits[date] += 1;
    }
    append(webLog(domain, file), out);
  }

  void ftpLine(std::string& out, const std::string& date, const std::string& user, const std::string& client, const std::string& method,
               int64_t sc, int64_t cs, const std::string& domainId, const std::string& type) {
    char line[512];
    snprintf(line, sizeof line, "%s 12:00:00 %s %s 192.0.2.10 21 %s /f.bin 226 0 %lld %lld\r\n", date.c_str(), client.c_str(), user.c_str(),
             method.c_str(), static_cast<long long>(sc), static_cast<long long>(cs));
    out += line;
    if (domainId.empty()) return;
    auto& v = expected[{domainId, date, type}];
    v.first += cs;
    v.second += sc;
  }

  static void append(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "ab");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }

  testkit::ProgramResult run(std::vector<std::string> args, const std::string& results, const std::string& fakeTime = "") {
    auto env = install.environment();
    env["TMPDIR"] = tmp.path();
    args.push_back("--config=" + configPath());
    args.push_back("--save-results-to=" + results);
    // libfaketime preloaded directly: the faketime wrapper names a
    // semaphore after its process and fails now and then ("sem_open: File
    // exists") when several start at once.
    if (!fakeTime.empty()) {
      env["LD_PRELOAD"] = "/usr/$LIB/faketime/libfaketime.so.1";
      env["FAKETIME"] = fakeTime;
    }
    return testkit::runProgram(testkit::programPath("statistics"), args, env);
  }

  std::wstring marker(const std::wstring& id, const wchar_t* name) {
    std::wstring v;
    registry::lookup(HKEY_LOCAL_MACHINE, domainKey(id), name, v);
    return v;
  }
};

}  // namespace

TEST_F(TrafficRunTest, FiguresEqualTheLogsAndEveryLineIsCountedOnce) {
  webLines("1", "a.example", "ex261101.log", "2026-11-01", 300);
  webLines("1", "a.example", "ex261102.log", "2026-11-02", 200);
  webLines("2", "b.example", "ex261101.log", "2026-11-01", 150);
  std::string ftp = kFtpHeader;
  ftpLine(ftp, "2026-11-01", "alice", "203.0.113.5", "sent", 5000, 40, "1", "ftp");
  ftpLine(ftp, "2026-11-01", "alice", "203.0.113.5", "created", 10, 7000, "1", "ftp");
  ftpLine(ftp, "2026-11-02", "anonymous", "198.51.100.7", "sent", 333, 1, "3", "anonftp");
  ftpLine(ftp, "2026-11-02", "stranger", "203.0.113.9", "sent", 999, 9, "", "");   // no owner: not counted
  ftpLine(ftp, "2026-11-02", "alice", "203.0.113.5", "RETR", 777, 7, "", "");       // not "sent" without iisftp7
  testkit::writeFile(ftpDir() + "/u_ex261101.log", ftp);
  // Feeds and archives in a log directory are never read as logs.
  testkit::writeFile(webLog("a.example", "web20261101000000000.log"), std::string(kWebHeader) + "2026-11-01 10:00:00 x GET / - 80 - 1.1.1.1 x 200 0 0 999999 1 1\r\n");
  testkit::writeFile(webLog("a.example", "old.ZIP"), std::string(kWebHeader) + "2026-11-01 10:00:00 x GET / - 80 - 1.1.1.1 x 200 0 0 999999 1 1\r\n");

  const std::string first = install.path("first.xml");
  auto r1 = run({"--http-traffic", "--ftp-traffic"}, first);
  ASSERT_EQ(r1.exitCode, 0) << r1.output;
  const std::string doc1 = testkit::readFile(first);
  EXPECT_EQ(parseTraffic(doc1), expected) << doc1;
  EXPECT_EQ(parseSitePages(doc1), expectedHits);
  EXPECT_FALSE(marker(L"1", L"LastHttpStatisticsRun").empty());
  EXPECT_FALSE(marker(L"1", L"LastFtpStatisticsRun").empty());
  uint32_t lockValue = 1;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"OfflineLockStatus", lockValue, RegView32);
  EXPECT_EQ(lockValue, 0u) << "domain locks are released at the end";

  // Right after, nothing is new.
  const std::string second = install.path("second.xml");
  ASSERT_EQ(run({"--http-traffic", "--ftp-traffic"}, second).exitCode, 0);
  EXPECT_TRUE(parseTraffic(testkit::readFile(second)).empty()) << testkit::readFile(second);

  // Lines written later are counted by a later run, and only they.
  const Figures firstRun = expected;
  expected.clear();
  expectedHits.clear();
  const VDateTime later = VDateTime::nowUtc().addSeconds(1800);
  const std::string date = text::toAnsi(later.formatDate());
  const std::string time = text::toAnsi(later.formatMarker().substr(11));
  webLines("1", "a.example", "ex261102.log", date, 25, time);
  const std::string third = install.path("third.xml");
  ASSERT_EQ(run({"--http-traffic"}, third, "+1h").exitCode, 0);
  EXPECT_EQ(parseTraffic(testkit::readFile(third)), expected) << testkit::readFile(third);

  // --from-date counts again from that moment.
  const std::string again = install.path("again.xml");
  const auto recounted = run({"--http-traffic", "--from-date=2026/11/02 00:00:00"}, again, "+2h");
  ASSERT_EQ(recounted.exitCode, 0) << recounted.output << testkit::readFile(install.eventLogPath());
  Figures recount = parseTraffic(testkit::readFile(again));
  const auto key02 = std::make_tuple(std::string("1"), std::string("2026-11-02"), std::string("http"));
  const auto keyLater = std::make_tuple(std::string("1"), date, std::string("http"));
  EXPECT_EQ(recount[key02], firstRun.at(key02));
  EXPECT_EQ(recount[keyLater], expected.at(keyLater));
  EXPECT_EQ(recount.count({"1", "2026-11-01", "http"}), 0u) << "lines before --from-date are not counted again";
}

TEST_F(TrafficRunTest, WindowStartIsCountedAndItsEndIsNot) {
  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"LastHttpStatisticsRun", L"2026/12/10 11:00:00");
  std::string log = kWebHeader;
  log += "2026-12-10 10:59:59 x GET /before - 80 - 1.1.1.1 x 200 0 0 1 1 1\r\n";
  log += "2026-12-10 11:00:00 x GET /start - 80 - 1.1.1.1 x 200 0 0 100 10 1\r\n";
  log += "2026-12-10 11:59:59 x GET /inside - 80 - 1.1.1.1 x 200 0 0 1000 20 1\r\n";
  log += "2026-12-10 12:00:00 x GET /end - 80 - 1.1.1.1 x 200 0 0 7 3 1\r\n";
  testkit::writeFile(webLog("a.example", "ex.log"), log);
  // The file was last written when its last line was.
  const std::chrono::sys_seconds when = std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + std::chrono::hours{12};
  const auto written = std::chrono::file_clock::from_sys(when);
  fs::last_write_time(webLog("a.example", "ex.log"), written);

  // A frozen clock makes the window end exactly 12:00:00.
  const std::string results = install.path("r.xml");
  ASSERT_EQ(run({"--http-traffic"}, results, "2026-12-10 12:00:00").exitCode, 0);
  const Figures f = parseTraffic(testkit::readFile(results));
  ASSERT_EQ(f.size(), 1u) << testkit::readFile(results);
  EXPECT_EQ(f.begin()->second, (std::pair<int64_t, int64_t>{30, 1100})) << "start counted, end not";
  EXPECT_EQ(marker(L"1", L"LastHttpStatisticsRun"), L"2026/12/10 12:00:00");

  const std::string next = install.path("next.xml");
  ASSERT_EQ(run({"--http-traffic"}, next, "2026-12-10 13:00:00").exitCode, 0);
  const Figures g = parseTraffic(testkit::readFile(next));
  ASSERT_EQ(g.size(), 1u) << testkit::readFile(next);
  EXPECT_EQ(g.begin()->second, (std::pair<int64_t, int64_t>{3, 7})) << "the line at the previous end is counted by the next run";
}

TEST_F(TrafficRunTest, ABusyDomainKeepsItsMarkerAndADeadOwnersLockIsTakenOver) {
  webLines("1", "a.example", "ex.log", "2026-11-01", 10);
  webLines("2", "b.example", "ex.log", "2026-11-01", 10);
  pid_t live = fork();
  if (live == 0) {
    pause();
    _exit(0);
  }
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"OfflineLockStatus", static_cast<uint32_t>(live), RegView32);
  // Scratch files that killed runs left (executor configuration, feed,
  // archive), an hour old and more, are removed from the logs directories of the domains
  // this run holds; a fresh one, another program's scratch name and a link
  // named like one stay.
  const auto plant = [&](const std::string& domain, const std::string& name, int ageMinutes) {
    testkit::writeFile(webLog(domain, name), "<config/>");
    fs::last_write_time(webLog(domain, name), fs::file_time_type::clock::now() - std::chrono::minutes(ageMinutes));
  };
  const std::string stale = ".web_stat_executor.conf.0badf00d.tmp";
  plant("a.example", stale, 120);
  plant("b.example", stale, 120);
  plant("b.example", ".web_stat_executor.conf.12345678.tmp", 10);
  plant("b.example", ".ex.log.0badf00d.tmp", 120);
  plant("b.example", ".web20261101000000000.log.0badf00d.tmp", 120);
  plant("b.example", ".halvex-zip-0badf00d.tmp", 120);
  fs::create_symlink(install.path("config.xml"), webLog("b.example", ".web_stat_executor.conf.abcdef01.tmp"));
  const std::string results = install.path("r.xml");
  ASSERT_EQ(run({"--http-traffic"}, results).exitCode, 0);
  EXPECT_TRUE(fs::exists(webLog("a.example", stale))) << "a domain another process holds is left alone";
  EXPECT_FALSE(fs::exists(webLog("b.example", stale)));
  EXPECT_FALSE(fs::exists(webLog("b.example", ".web20261101000000000.log.0badf00d.tmp"))) << "a feed that was never put in place";
  EXPECT_FALSE(fs::exists(webLog("b.example", ".halvex-zip-0badf00d.tmp"))) << "an archive in the making";
  EXPECT_TRUE(fs::exists(webLog("b.example", ".web_stat_executor.conf.12345678.tmp")));
  EXPECT_TRUE(fs::exists(webLog("b.example", ".ex.log.0badf00d.tmp")));
  EXPECT_TRUE(fs::is_symlink(webLog("b.example", ".web_stat_executor.conf.abcdef01.tmp")));
  EXPECT_TRUE(fs::exists(install.path("config.xml")));
  const Figures f = parseTraffic(testkit::readFile(results));
  EXPECT_EQ(f.count({"1", "2026-11-01", "http"}), 0u) << "a domain locked by a live process gets no traffic";
  EXPECT_EQ(f.count({"2", "2026-11-01", "http"}), 1u);
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty());
  uint32_t v = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"OfflineLockStatus", v, RegView32);
  EXPECT_EQ(v, static_cast<uint32_t>(live)) << "another process's lock is left alone";

  kill(live, SIGKILL);
  waitpid(live, nullptr, 0);
  const std::string after = install.path("after.xml");
  ASSERT_EQ(run({"--http-traffic"}, after).exitCode, 0);
  EXPECT_EQ(parseTraffic(testkit::readFile(after)).count({"1", "2026-11-01", "http"}), 1u) << "a dead owner's lock is taken over";
  EXPECT_FALSE(fs::exists(webLog("a.example", stale)));
}

TEST_F(TrafficRunTest, AMissingOrFailingWebHostUtilityIsOneErrorAndTheRunSucceeds) {
  fs::remove(install.productRoot() + "/admin/bin/webhostctl");
  const std::string results = install.path("r.xml");
  auto r = run({"--http-traffic"}, results);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(complete(testkit::readFile(results)));
}

TEST_F(TrafficRunTest, ARunKilledBeforeItsDocumentIsCompleteRecordsNothing) {
  webLines("1", "a.example", "ex.log", "2026-11-01", 50);
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 0);
  std::mt19937 pick(7);
  int killedEarly = 0;
  // A round killed once its document was complete delivered its figures;
  // its markers are recorded by whichever run settles its journal entry.
  bool settling = false;
  for (int round = 0; round < 12; ++round) {
    const std::string results = install.path("kill" + std::to_string(round) + ".xml");
    const std::wstring before = marker(L"1", L"LastHttpStatisticsRun");
    pid_t pid = fork();
    if (pid == 0) {
      for (const auto& [k, v] : install.environment()) setenv(k.c_str(), v.c_str(), 1);
      setenv("TMPDIR", tmp.path().c_str(), 1);
      const std::string bin = testkit::programPath("statistics");
      const std::string cfg = "--config=" + configPath(), out = "--save-results-to=" + results;
      execl(bin.c_str(), bin.c_str(), "--http-traffic", cfg.c_str(), out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(static_cast<useconds_t>(pick() % 40000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string doc = testkit::readFile(results);
    if (!complete(doc)) {
      ++killedEarly;
      if (!settling) {
        EXPECT_EQ(marker(L"1", L"LastHttpStatisticsRun"), before) << "round " << round << ": a marker moved without a complete document";
      }
    } else {
      settling = true;
    }
  }
  // Deterministically: the web host utility kills the run in the middle of
  // its traffic step, after the domain lock was taken (and after whatever a
  // round killed late left was settled).
  if (settling) {
    ASSERT_EQ(run({"--http-traffic"}, install.path("settle.xml")).exitCode, 0);
  }
  registry::deleteValue(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"LastHttpStatisticsRun");
  const std::string util = install.productRoot() + "/admin/bin/webhostctl";
  fs::rename(util, util + ".real");
  testkit::writeFile(util, "#!/bin/sh\nkill -9 $PPID\nsleep 5\n");
  fs::permissions(util, fs::perms::owner_all);
  const std::string killed = install.path("killed.xml");
  EXPECT_EQ(run({"--http-traffic"}, killed).exitCode, 128 + SIGKILL);
  EXPECT_FALSE(complete(testkit::readFile(killed)));
  EXPECT_TRUE(marker(L"1", L"LastHttpStatisticsRun").empty());
  fs::rename(util + ".real", util);

  // A normal run takes the dead run's locks over and counts every line.
  const std::string last = install.path("last.xml");
  ASSERT_EQ(run({"--http-traffic"}, last).exitCode, 0);
  EXPECT_TRUE(complete(testkit::readFile(last)));
  EXPECT_EQ(parseTraffic(testkit::readFile(last)), expected);
  std::cout << "rounds killed before their document was complete: " << killedEarly << " of 12\n";
}

TEST_F(TrafficRunTest, UtilitiesRunInsideThePrivateTemporaryDirectory) {
  webLines("1", "a.example", "ex.log", "2026-11-01", 3);
  // A stand-in that records what the run gives its children, then answers.
  const std::string util = install.productRoot() + "/admin/bin/webhostctl";
  fs::rename(util, util + ".real");
  const std::string seen = install.path("seen.txt");
  testkit::writeFile(util, "#!/bin/sh\nprintf '%s\\n%s\\n%s\\n' \"$TEMP\" \"$TMP\" \"$TMPDIR\" > " + seen +
                               "\n[ -d \"$TEMP\" ] && echo exists >> " + seen + "\nexec \"$0.real\" \"$@\"\n");
  fs::permissions(util, fs::perms::owner_all);
  const std::string results = install.path("r.xml");
  ASSERT_EQ(run({"--http-traffic"}, results).exitCode, 0);
  const std::string lines = testkit::readFile(seen);
  const std::string temp = lines.substr(0, lines.find('\n'));
  EXPECT_EQ(temp.rfind(tmp.path() + "/{stat-", 0), 0u) << lines;
  EXPECT_EQ(lines, temp + "\n" + temp + "\n" + temp + "\nexists\n");
  EXPECT_FALSE(fs::exists(temp)) << "the private directory is gone after the run";
  EXPECT_EQ(parseTraffic(testkit::readFile(results)), expected);
}
