#include "traffic/log_scan.h"

#include <gtest/gtest.h>

// The tests make links, FIFOs and file times themselves, and start a process
// that holds a log open.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/business_lock.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/traffic_test_support.h"
#include "webstat/log_for_analyser.h"

namespace {

namespace fs = std::filesystem;
using traffictest::addDomain;
using traffictest::at;
using traffictest::LogCapture;
using traffictest::setWindow;

const char* const kWebFields = "date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip sc-status sc-bytes cs-bytes";
const char* const kFtpFields = "date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-bytes cs-bytes";

std::string header(const std::string& fields) {
  return "#Software: Microsoft Internet Information Services 10.0\r\n#Version: 1.0\r\n#Date: 2016-12-07 00:00:00\r\n#Fields: " + fields +
         "\r\n";
}

std::string stamp(const VDateTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string webLine(const VDateTime& t, const std::string& sent, const std::string& received) {
  return stamp(t) + " 10.0.0.1 GET /index.html - 80 - 192.168.0.7 200 " + sent + " " + received + "\r\n";
}

std::string ftpLine(const VDateTime& t, const std::string& client, const std::string& login, const std::string& method, int64_t sent,
                    int64_t received) {
  return stamp(t) + " " + client + " " + login + " 10.0.0.5 21 " + method + " /file.bin 226 " + std::to_string(sent) + " " +
         std::to_string(received) + "\r\n";
}

void writeBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Sets a file's last-write time (UTC) without following a link.
void setWriteTime(const std::string& path, const VDateTime& t) {
  const int64_t unixSeconds = t.toFileTime() / 10000000 - 11644473600LL;
  struct timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Expected figures: domain name -> kind -> day -> bytes, and the page hits.
struct Expected {
  std::map<std::wstring, std::map<int, std::map<VDateTime, DayTraffic>>> traffic;
  SitesHits hits;

  void add(const std::wstring& domain, int kind, const VDateTime& time, int64_t sent, int64_t received) {
    DayTraffic& day = traffic[domain][kind][time.datePart()];
    day.sent += sent;
    day.received += received;
    if (kind == LogHttp) ++hits[time.datePart()];
  }
};

// Every table of every domain equals the expectation (absent: empty).
void expectFigures(const DomainModel& model, const SitesHits& hits, const Expected& expected) {
  for (const auto& [id, domain] : model.domainsById) {
    for (int kind = 0; kind < kLogKinds; ++kind) {
      std::map<VDateTime, DayTraffic> want;
      if (auto d = expected.traffic.find(domain->name); d != expected.traffic.end())
        if (auto k = d->second.find(kind); k != d->second.end()) want = k->second;
      const DailyTraffic& got = domain->traffic[static_cast<size_t>(kind)];
      EXPECT_EQ(got.size(), want.size()) << text::toUtf8(domain->name) << " kind " << kind;
      for (const auto& [day, figures] : want) {
        auto it = got.find(day);
        if (it == got.end()) {
          ADD_FAILURE() << text::toUtf8(domain->name) << " kind " << kind << " lacks " << text::toUtf8(day.formatDate());
          continue;
        }
        EXPECT_EQ(it->second.sent, figures.sent) << text::toUtf8(domain->name) << " kind " << kind << " " << text::toUtf8(day.formatDate());
        EXPECT_EQ(it->second.received, figures.received)
            << text::toUtf8(domain->name) << " kind " << kind << " " << text::toUtf8(day.formatDate());
      }
    }
  }
  EXPECT_EQ(hits, expected.hits);
}

// Another process holding a file open for writing, as a server holds its log.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    // The shell opens the file, says so, and keeps it open until its input ends.
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("exec 3>>\"$1\"; echo ready; read x"),
                    const_cast<char*>("sh"), const_cast<char*>(path.c_str()), nullptr};
    char* noEnvironment[] = {nullptr};
    if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, argv, noEnvironment) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];
    char buffer[16];
    ready_ = pid_ > 0 && read(fromChild[0], buffer, sizeof buffer) > 0;
    close(fromChild[0]);
  }
  ~HeldOpen() {
    close(input_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = 0;
  int input_ = -1;
  bool ready_ = false;
};

class LogScanTest : public ::testing::Test {
 protected:
  LogScanTest() : collector(model, sitesHits, httpStorage, ftpStorage, nullptr) {}

  // A domain with its web log directory in the map.
  DomainInfo& webDomain(const std::wstring& id, const std::wstring& name) {
    DomainInfo& domain = addDomain(model, id, name);
    const std::string dir = webDir(name);
    fs::create_directories(dir);
    dirs.set(text::fromAnsi(dir), LogHttp, name, &domain);
    return domain;
  }
  std::string webDir(const std::wstring& name) const { return install.path("vhosts/" + text::toUtf8(name) + "/logs"); }
  // An FTP server's log directory in the map.
  std::string ftpDir(const std::string& address) {
    const std::string dir = install.path("ftplogs/" + address);
    fs::create_directories(dir);
    dirs.set(text::fromAnsi(dir), LogFtp, text::fromAnsi(address), nullptr);
    return dir;
  }
  void run(const VDateTime& cutoff = at(2016, 1, 1)) { collector.processLogDirs(cutoff, dirs, L""); }

  testkit::Installation install;
  DomainModel model;
  SitesHits sitesHits;
  halvex::logging::LogStorage httpStorage, ftpStorage;
  LogCollector collector;
  LogDirectoryMap dirs;
  Expected expected;
};

}  // namespace

TEST_F(LogScanTest, SumsBytesAndHitsPerDomainKindAndDay) {
  webDomain(L"1", L"a.com");
  webDomain(L"2", L"b.com");
  std::mt19937 random(7);
  for (const std::wstring name : {L"a.com", L"b.com"}) {
    for (int file = 0; file < 2; ++file) {
      std::string log = header(kWebFields);
      for (int i = 0; i < 400; ++i) {
        // Three days, in order; every 50th line has no byte figure.
        const VDateTime t = at(2016, 12, 6 + file + i / 200, i % 24, static_cast<int>(random() % 60), static_cast<int>(random() % 60));
        const int64_t sent = random() % 100000, received = random() % 2000;
        const bool dash = i % 50 == 0;
        if (i == 200) log += header("date time sc-bytes cs-bytes cs-method");  // a restart with another column order
        if (i >= 200)
          log += stamp(t) + " " + (dash ? "-" : std::to_string(sent)) + " " + std::to_string(received) + " GET\r\n";
        else
          log += webLine(t, dash ? "-" : std::to_string(sent), std::to_string(received));
        expected.add(name, LogHttp, t, dash ? 0 : sent, received);
      }
      writeBytes(webDir(name) + "/ex" + std::to_string(file) + ".log", log);
    }
  }
  // Two-digit years: 16 is 2016, 99 is 1999.
  writeBytes(webDir(L"a.com") + "/old.log", header("date time sc-bytes cs-bytes") + "16-01-05 10:00:00 123 4\r\n99-12-31 23:00:00 5 6\r\n");
  expected.add(L"a.com", LogHttp, at(2016, 1, 5, 10), 123, 4);
  expected.add(L"a.com", LogHttp, at(1999, 12, 31, 23), 5, 6);
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(model.findDomainByName(L"a.com")->businessLock.held());
  EXPECT_EQ(httpStorage.size(), 0u);
}

TEST_F(LogScanTest, CountsTheWindowStartButNotItsEndAndReadsFilesWrittenAtTheStart) {
  DomainInfo& domain = webDomain(L"1", L"a.com");
  const VDateTime start = at(2016, 12, 7, 10), end = at(2016, 12, 8, 10);
  setWindow(domain.httpLogWindow, start, end);
  const std::string lines = header(kWebFields) + webLine(at(2016, 12, 7, 9, 59, 59), "1", "1") + webLine(start, "20", "2") +
                            webLine(at(2016, 12, 8, 9, 59, 59), "300", "3") + webLine(end, "4000", "4");
  expected.add(L"a.com", LogHttp, start, 20, 2);
  expected.add(L"a.com", LogHttp, at(2016, 12, 8, 9, 59, 59), 300, 3);
  const std::string atStart = webDir(L"a.com") + "/ex161207.log";
  writeBytes(atStart, lines);
  setWriteTime(atStart, start);
  // Written one second before the start: none of its lines can be new.
  const std::string before = webDir(L"a.com") + "/ex161206.log";
  writeBytes(before, lines);
  setWriteTime(before, at(2016, 12, 7, 9, 59, 59));
  // Older still, but the server holds it open and may add lines.
  const std::string open = webDir(L"a.com") + "/ex161205.log";
  writeBytes(open, header(kWebFields) + webLine(at(2016, 12, 7, 11), "50000", "5"));
  setWriteTime(open, at(2016, 12, 5));
  expected.add(L"a.com", LogHttp, at(2016, 12, 7, 11), 50000, 5);
  HeldOpen server(open);
  ASSERT_TRUE(server.ready());

  LogCapture log;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(log.contains(L"File " + text::fromAnsi(before) + L" is expired"));
  EXPECT_FALSE(log.contains(text::fromAnsi(atStart) + L" is expired"));
  EXPECT_TRUE(log.contains(text::fromAnsi(atStart) + L"(0): Collect domain a.com log"));
  // A web directory's expired file stays where it is.
  EXPECT_EQ(httpStorage.size(), 0u);
  EXPECT_EQ(ftpStorage.size(), 0u);
}

TEST_F(LogScanTest, SkipsFeedsArchivesLinksAndFifos) {
  webDomain(L"1", L"a.com");
  const std::string dir = webDir(L"a.com");
  const std::string lines = header(kWebFields) + webLine(at(2016, 12, 7, 10), "1000", "10");
  for (const char* name : {"web20161207.log", "ftp.log", "ano1.log", "ex1.zip", "ex2.ZIP", "ex3.Zip"}) writeBytes(dir + "/" + name, lines);
  // Only lower-case prefixes are the feeds'.
  writeBytes(dir + "/WEBex.log", lines);
  expected.add(L"a.com", LogHttp, at(2016, 12, 7, 10), 1000, 10);
  // A link named like a log, pointing at a log elsewhere, and one pointing
  // at a directory of logs.
  const std::string outside = install.path("outside");
  fs::create_directories(outside);
  writeBytes(outside + "/secret.log", header(kWebFields) + webLine(at(2016, 12, 7, 11), "777", "7"));
  fs::create_symlink(outside + "/secret.log", dir + "/ex161207.log");
  fs::create_symlink(outside, dir + "/sub");
  // A FIFO nobody writes: opening it would block the run.
  ASSERT_EQ(mkfifo((dir + "/ex161208.log").c_str(), 0600), 0);
  fs::create_directories(dir + "/ex161209.log");

  LogCapture log;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_FALSE(log.contains(L"ex161207.log"));
  EXPECT_FALSE(log.contains(L"ex161208.log"));
  EXPECT_FALSE(log.contains(L"web20161207.log"));
}

TEST_F(LogScanTest, RegistersExpiredFilesOfFtpServerDirectoriesOnly) {
  const std::string dir = ftpDir("10.0.0.5");
  const VDateTime cutoff = at(2016, 12, 4);
  const std::string old = dir + "/u_ex161201.log";
  writeBytes(old, header(kFtpFields));
  setWriteTime(old, at(2016, 12, 3, 23, 59, 59));
  const std::string fresh = dir + "/u_ex161204.log";
  writeBytes(fresh, header(kFtpFields));
  setWriteTime(fresh, cutoff);
  // A web directory without a domain and with an old file.
  const std::string web = install.path("orphan");
  fs::create_directories(web);
  dirs.set(text::fromAnsi(web), LogHttp, L"", nullptr);
  writeBytes(web + "/ex161201.log", header(kWebFields) + webLine(at(2016, 12, 7, 10), "1", "1"));
  writeBytes(web + "/ex161207.log", header(kWebFields) + webLine(at(2016, 12, 7, 10), "1", "1"));
  setWriteTime(web + "/ex161201.log", at(2016, 12, 1));

  LogCapture log;
  run(cutoff);
  EXPECT_TRUE(log.contains(L"File " + text::fromAnsi(old) + L" is expired"));
  EXPECT_TRUE(ftpStorage.contains(text::fromAnsi(old)));
  EXPECT_FALSE(ftpStorage.contains(text::fromAnsi(fresh)));
  EXPECT_EQ(ftpStorage.size(), 1u);
  EXPECT_TRUE(log.contains(text::fromAnsi(fresh) + L"(2): Collect domain 10.0.0.5 log"));
  // A web log cannot be attributed without its owner.
  EXPECT_TRUE(log.contains(L"Unable to lookup domain for log " + text::fromAnsi(web + "/ex161207.log")));
  EXPECT_TRUE(httpStorage.contains(text::fromAnsi(web + "/ex161201.log")));
  EXPECT_TRUE(sitesHits.empty());
}

TEST_F(LogScanTest, AttributesFtpLinesByLoginThenServerAddressThenClientAddress) {
  addDomain(model, L"1", L"a.com");
  addDomain(model, L"2", L"b.com");
  addDomain(model, L"3", L"c.com");
  model.ftpLoginDomains[L"alice"] = L"a.com";
  model.anonFtpDomains[L"10.0.0.5"] = L"b.com";    // an anonymous-FTP server address
  model.anonFtpDomains[L"192.168.1.9"] = L"c.com";  // matched as the client address
  const std::string anonServer = ftpDir("10.0.0.5");
  const std::string plainServer = ftpDir("10.0.0.6");
  const VDateTime t = at(2016, 12, 7, 10);
  writeBytes(anonServer + "/u_ex161207.log", header(kFtpFields) + ftpLine(t, "192.168.1.9", "alice", "sent", 100, 1) +
                                                 ftpLine(t, "192.168.1.9", "anonymous", "sent", 200, 2) +
                                                 ftpLine(t, "192.168.1.9", "anonymous", "created", 3, 300));
  expected.add(L"a.com", LogFtp, t, 100, 1);
  expected.add(L"b.com", LogAnonFtp, t, 200 + 3, 2 + 300);
  writeBytes(plainServer + "/u_ex161207.log", header(kFtpFields) + ftpLine(t, "192.168.1.9", "alice", "created", 4, 4000) +
                                                  ftpLine(t, "192.168.1.9", "anonymous", "sent", 50000, 5) +
                                                  ftpLine(t, "192.168.1.8", "anonymous", "sent", 600000, 6) +
                                                  ftpLine(t, "192.168.1.9", "ALICE", "sent", 7000000, 7) +
                                                  ftpLine(t, "192.168.1.9", "alice", "RETR", 80000000, 8));
  expected.add(L"a.com", LogFtp, t, 4, 4000);
  expected.add(L"c.com", LogAnonFtp, t, 50000, 5);
  // Logins are case-sensitive: ALICE is unknown, and so counts for the client address.
  expected.add(L"c.com", LogAnonFtp, t, 7000000, 7);

  LogCapture log;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(log.contains(L"csMethod != 'sent' and csMethod != 'created' - skip"));
}

TEST_F(LogScanTest, NormalisesIisFtp7LoginsAndMethods) {
  addDomain(model, L"1", L"a.com");
  model.ftpLoginDomains[L"alice"] = L"a.com";
  const std::string dir = ftpDir("10.0.0.6");
  const VDateTime t = at(2016, 12, 7, 10);
  writeBytes(dir + "/u_ex161207.log", header(kFtpFields) + ftpLine(t, "192.168.1.9", "WIN\\alice", "RETR", 100, 1) +
                                          ftpLine(t, "192.168.1.9", "HOST\\WIN\\alice", "stor", 2, 200) +
                                          ftpLine(t, "192.168.1.9", "alice", "Retr", 30000, 3) +
                                          ftpLine(t, "192.168.1.9", "alice", "DELE", 40000, 4));
  model.iisFtp7 = true;
  expected.add(L"a.com", LogFtp, t, 100 + 2 + 30000, 1 + 200 + 3);
  run();
  expectFigures(model, sitesHits, expected);
}

TEST_F(LogScanTest, DropsRetrLinesOfOtherFtpServers) {
  addDomain(model, L"1", L"a.com");
  model.ftpLoginDomains[L"alice"] = L"a.com";
  model.ftpLoginDomains[L"WIN\\alice"] = L"a.com";
  const std::string dir = ftpDir("10.0.0.6");
  const VDateTime t = at(2016, 12, 7, 10);
  writeBytes(dir + "/u_ex161207.log", header(kFtpFields) + ftpLine(t, "192.168.1.9", "alice", "RETR", 100, 1) +
                                          ftpLine(t, "192.168.1.9", "WIN\\alice", "sent", 20, 2) +
                                          ftpLine(t, "192.168.1.9", "alice", "STOR", 300, 3));
  expected.add(L"a.com", LogFtp, t, 20, 2);
  LogCapture log;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(log.contains(L"FTP csMethod='RETR'"));
  EXPECT_TRUE(log.contains(L"csMethod != 'sent' and csMethod != 'created' - skip"));
}

TEST_F(LogScanTest, LeavesADomainLockedByALiveProcessAlone) {
  webDomain(L"1", L"a.com");
  DomainInfo& busy = webDomain(L"2", L"b.com");
  model.ftpLoginDomains[L"bob"] = L"b.com";
  model.ftpLoginDomains[L"alice"] = L"a.com";
  traffictest::LiveProcess other;
  ASSERT_NE(other.id(), 0u);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"2"), L"OfflineLockStatus", other.id(), RegView32);
  const VDateTime t = at(2016, 12, 7, 10);
  writeBytes(webDir(L"a.com") + "/ex161207.log", header(kWebFields) + webLine(t, "10", "1"));
  writeBytes(webDir(L"b.com") + "/ex161207.log", header(kWebFields) + webLine(t, "20", "2"));
  writeBytes(ftpDir("10.0.0.6") + "/u_ex161207.log",
             header(kFtpFields) + ftpLine(t, "192.168.1.9", "bob", "sent", 300, 3) + ftpLine(t, "192.168.1.9", "alice", "sent", 4000, 4));
  expected.add(L"a.com", LogHttp, t, 10, 1);
  expected.add(L"a.com", LogFtp, t, 4000, 4);
  LogCapture log;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_FALSE(busy.businessLock.held());
  EXPECT_TRUE(busy.httpLogWindow.notLoaded);
  EXPECT_FALSE(log.contains(L"b.com"));
}

TEST_F(LogScanTest, SurvivesHostileContent) {
  webDomain(L"1", L"a.com");
  const std::string dir = webDir(L"a.com");
  std::mt19937 random(3);
  std::string garbage(1 << 20, '\0');
  // No digits, so that no line can pass for a dated one by chance.
  for (char& c : garbage) {
    c = static_cast<char>(random());
    if (c >= '0' && c <= '9') c = 'x';
  }
  writeBytes(dir + "/garbage.log", garbage);
  writeBytes(dir + "/garbage2.log", header(kWebFields) + garbage);

  const VDateTime t = at(2016, 12, 7, 10);
  std::string log = header(kWebFields) + webLine(t, "1", "1");
  log += std::string(10 << 20, 'x') + "\r\n";  // one line of 10 MB
  log += webLine(t, "20", "2");
  // Bytes that are no valid UTF-8 in a URL, and a line cut short.
  log += stamp(t) + " 10.0.0.1 GET /\xff\xfe\xc3(%\x80 - 80 - 192.168.0.7 200 300 3\r\n";
  log += stamp(t) + " 10.0.0.1\r\n";
  log += std::string(4096, '\0');  // space the server reserved
  writeBytes(dir + "/ex161207.log", log);
  expected.add(L"a.com", LogHttp, t, 1, 1);
  expected.add(L"a.com", LogHttp, t, 20, 2);
  expected.add(L"a.com", LogHttp, t, 300, 3);
  expected.add(L"a.com", LogHttp, t, 0, 0);  // the short line is still a request
  LogCapture capture;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(capture.contains(L"Invalid datetime 0000/00/00 skipped"));
}

TEST_F(LogScanTest, EachLineIsDatedByItsOwnTextsWhenTheyRepeatInPart) {
  webDomain(L"1", L"a.com");
  // Successive lines mostly repeat their date and time: a line that repeats
  // only the time, follows lines of no calendar day, or comes after a block
  // with another column order is still dated by what it says.
  const VDateTime d7 = at(2016, 12, 7, 10), d8 = at(2016, 12, 8, 10), d9 = at(2016, 12, 9, 23, 59, 59), d10 = at(2016, 12, 10, 23, 59, 59);
  std::string log = header("date time sc-bytes cs-bytes") + stamp(d7) + " 1 0\r\n" + stamp(d8) + " 2 0\r\n" + stamp(d8) + " 4 0\r\n";
  log += "2016-02-30 10:00:00 8 0\r\n2016-02-30 10:00:00 8 0\r\n" + stamp(d8) + " 16 0\r\n";
  log += header("time date sc-bytes cs-bytes") + "10:00:00 2016-12-08 32 0\r\n23:59:59 2016-12-09 64 0\r\n";
  log += header("date time sc-bytes cs-bytes") + stamp(d9) + " 128 0\r\n" + stamp(d10) + " 256 0\r\n";
  writeBytes(webDir(L"a.com") + "/ex161207.log", log);
  for (const auto& [t, sent] : std::vector<std::pair<VDateTime, int64_t>>{{d7, 1}, {d8, 2}, {d8, 4}, {d8, 16}, {d8, 32}, {d9, 64}, {d9, 128}, {d10, 256}})
    expected.add(L"a.com", LogHttp, t, sent, 0);
  LogCapture capture;
  run();
  expectFigures(model, sitesHits, expected);
  EXPECT_EQ(capture.count("Invalid datetime 2016/02/30 skipped"), 2u) << "each line of no calendar day is reported";
}

TEST_F(LogScanTest, ReportsAFileThatCannotBeReadAndGoesOn) {
  addDomain(model, L"1", L"a.com");
  LogCapture log;
  const std::wstring missing = text::fromAnsi(install.path("gone/ex161207.log"));
  collector.collectLog(CollectedLog{missing, LogHttp, L"a.com"});
  EXPECT_TRUE(log.contains(missing + L"(0): Collect domain a.com log"));
  EXPECT_TRUE(log.contains(L"Unable to process log file " + missing + L" "));
  EXPECT_TRUE(log.contains(L"statistics::collectLog"));
  collector.collectLog(CollectedLog{missing, LogFtp, L""});
  EXPECT_TRUE(log.contains(missing + L"(2): Collect log"));
  // A directory that does not exist is one error, and the next is still read.
  webDomain(L"2", L"b.com");
  writeBytes(webDir(L"b.com") + "/ex161207.log", header(kWebFields) + webLine(at(2016, 12, 7, 10), "10", "1"));
  dirs.set(text::fromAnsi(install.path("aaa-missing")), LogFtp, L"10.0.0.9", nullptr);
  run();
  EXPECT_TRUE(log.contains(L"Collect directory '" + text::fromAnsi(install.path("aaa-missing")) + L"' log files"));
  EXPECT_TRUE(log.contains(L"statistics::processLogDirs"));
  expected.add(L"b.com", LogHttp, at(2016, 12, 7, 10), 10, 1);
  expectFigures(model, sitesHits, expected);
}

TEST_F(LogScanTest, FeedsTheCountedLinesToTheDomainsAnalyser) {
  DomainInfo& domain = webDomain(L"1", L"a.com");
  domain.webStatType = L"webalizer";
  domain.webLogsDirectory = text::fromAnsi(webDir(L"a.com"));
  model.ftpLoginDomains[L"alice"] = L"a.com";
  setWindow(domain.httpLogWindow, at(2016, 12, 7), at(2016, 12, 8));
  writeBytes(webDir(L"a.com") + "/ex161207.log", header(kWebFields) + webLine(at(2016, 12, 6, 23), "1", "1") +
                                                      webLine(at(2016, 12, 7, 1), "20", "2") + webLine(at(2016, 12, 7, 2), "300", "3") +
                                                      webLine(at(2016, 12, 8), "4000", "4"));
  writeBytes(ftpDir("10.0.0.6") + "/u_ex161207.log", header(kFtpFields) + ftpLine(at(2016, 12, 7, 3), "192.168.1.9", "alice", "sent", 5, 5) +
                                                         ftpLine(at(2016, 12, 7, 4), "192.168.1.9", "alice", "DELE", 6, 6));
  {
    AnalyserRegistry analysers(model);
    LogCollector feeding(model, sitesHits, httpStorage, ftpStorage, &analysers);
    feeding.processLogDirs(at(2016, 1, 1), dirs, L"");
    analysers.closeAll();
  }
  expected.add(L"a.com", LogHttp, at(2016, 12, 7, 1), 20, 2);
  expected.add(L"a.com", LogHttp, at(2016, 12, 7, 2), 300, 3);
  expected.add(L"a.com", LogFtp, at(2016, 12, 7, 3), 5, 5);
  expectFigures(model, sitesHits, expected);
  // One feed line per counted line, in a feed of the line's kind.
  std::map<std::string, size_t> feedLines;
  for (const auto& entry : fs::directory_iterator(webDir(L"a.com"))) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("ex")) continue;
    const std::string content = testkit::readFile(entry.path().string());
    feedLines[name.substr(0, 3)] += static_cast<size_t>(std::count(content.begin(), content.end(), '\n'));
  }
  EXPECT_EQ(feedLines, (std::map<std::string, size_t>{{"ftp", 1}, {"web", 2}}));
}

TEST_F(LogScanTest, DoesNotCountALineWhoseFeedFails) {
  DomainInfo& domain = addDomain(model, L"1", L"a.com");
  domain.webStatType = L"webalizer";
  model.ftpLoginDomains[L"alice"] = L"a.com";
  const std::string log = ftpDir("10.0.0.6") + "/u_ex161207.log";
  writeBytes(log, header(kFtpFields) + ftpLine(at(2016, 12, 7, 3), "192.168.1.9", "alice", "sent", 5, 5));
  // Feeds are written to scratch files, which cannot be made here.
  const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  setenv("TMPDIR", install.path("no-such-directory").c_str(), 1);
  LogCapture capture;
  {
    AnalyserRegistry analysers(model);
    LogCollector feeding(model, sitesHits, httpStorage, ftpStorage, &analysers);
    feeding.processLogDirs(at(2016, 1, 1), dirs, L"");
  }
  if (saved.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", saved.c_str(), 1);
  expectFigures(model, sitesHits, expected);
  EXPECT_TRUE(capture.contains(L"Unable to process log " + text::fromAnsi(log) + L"(statistics::processLogLine"));
  EXPECT_TRUE(capture.contains(L"Unable to process log file " + text::fromAnsi(log) + L"(statistics::genericCollectLog"));
}

// A hard link put into a log directory by its tenant may name a file that is
// not theirs; the program's own scratch files left by an interrupted run have
// hidden names. Neither is read as a log.
// A log with a second name (a backup made with hard links) is the domain's
// own and counted; where a tenant may write the directory, a linked file the
// tenant could not read is passed over. Hidden names are logs, except the
// program's own scratch names.
TEST(LogScanHardeningTest, LinkedLogsCountUnlessATenantCouldHaveLinkedThemAndOnlyScratchNamesAreHidden) {
  testkit::Installation install;
  const std::string logs = install.path("site/logs");
  std::filesystem::create_directories(logs);
  ::chmod(logs.c_str(), 0755);
  const std::string line = "2026-11-01 10:00:00 x GET / - 80 - 1.1.1.1 x 200 0 0 1000 10 1\r\n";
  const std::string header = "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";
  testkit::writeFile(logs + "/ex_own.log", header + line);
  testkit::writeFile(logs + "/.hidden_access.log", header + line + line);
  testkit::writeFile(install.path("private.log"), header + line + line + line);
  ::chmod(install.path("private.log").c_str(), 0600);
  ASSERT_EQ(::link(install.path("private.log").c_str(), (logs + "/ex_backed_up.log").c_str()), 0);
  testkit::writeFile(logs + "/.ex_own.log.0123abcd.tmp", header + line + line + line + line);
  testkit::writeFile(logs + "/.halvex-zip-0123abcd.tmp", header + line + line + line + line);

  const auto collect = [&](const char* what) {
    DomainModel model;
    auto domain = std::make_shared<DomainInfo>(L"1", L"a.example");
    model.domainsById[L"1"] = domain;
    model.domainIdsByName[L"a.example"] = L"1";
    SitesHits hits;
    halvex::logging::LogStorage http, ftp;
    LogCollector collector(model, hits, http, ftp, nullptr);
    LogDirectoryMap map;
    map.set(text::fromAnsi(logs), LogHttp, L"a.example", domain.get());
    testkit::LogCapture warnings{LogLevel::Warning};
    collector.processLogDirs(VDateTime{}, map, L"");
    domain->businessLock.unlock();
    EXPECT_EQ(domain->traffic[LogHttp].size(), 1u) << what;
    return std::make_pair(domain->traffic[LogHttp].empty() ? 0 : domain->traffic[LogHttp].begin()->second.sent, warnings.text());
  };
  // Only root writes the directory: nobody but root could have made the link.
  auto [rootDir, rootWarnings] = collect("root's directory");
  EXPECT_EQ(rootDir, 6000) << "own, hidden and linked logs; no scratch file\n" << rootWarnings;
  // A directory a tenant may write: root's 0600 file linked in is not read.
  ::chmod(logs.c_str(), 0777);
  auto [tenantDir, tenantWarnings] = collect("tenant's directory");
  EXPECT_EQ(tenantDir, 3000) << tenantWarnings;
  EXPECT_NE(tenantWarnings.find("ex_backed_up.log has 2 names and is not its directory owner's; skipped"), std::string::npos) << tenantWarnings;
  ::chmod(logs.c_str(), 0755);
  ASSERT_EQ(::chown(logs.c_str(), 12345, 12345), 0);
  EXPECT_EQ(collect("a tenant's own directory").first, 3000);
  // Readable by all, the linked file discloses nothing and is counted.
  ::chmod(install.path("private.log").c_str(), 0644);
  EXPECT_EQ(collect("readable file").first, 6000);
}
