// End to end: feeds written by the run's writers from known W3C entries, then
// the real web-stat-executor running the real Webalizer and AWStats; the
// figures the analysers keep must be those of the entries.
#include "webstat/executor/executor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/process.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "webstat/log_for_analyser.h"
#include "webstat/webstat_testing.h"

using namespace webstat_testing;
namespace fs = std::filesystem;

namespace {

struct Hit {
  std::wstring domain;
  int kind;  // 0 HTTP, 1 anonymous FTP, 2 FTP
  int day;   // of December 2016
  int second;
  int status;
  long long scBytes;
  long long csBytes;
  bool download;  // FTP only
};

// Day -> (hits, bytes).
using Figures = std::map<int, std::pair<long long, long long>>;

// The entries of a test: three HTTP entries and one FTP entry per step for
// each domain, during the day (UTC 10:00-14:00), so that the local day is
// the UTC day in any zone within nine hours of UTC.
std::vector<Hit> makeHits(const std::vector<int>& days) {
  std::vector<Hit> hits;
  for (int day : days)
    for (int i = 0; i < 30; ++i)
      for (const wchar_t* domain : {L"alpha.example", L"beta.example"}) {
        const int second = 36000 + i * 480 + (domain[0] == L'b' ? 7 : 0);
        for (int j = 0; j < 3; ++j)
          hits.push_back({domain, 0, day, second + j, (i + j) % 4 == 0 ? 304 : 200, 100 + i * 37 + j * 1000 + day, 300 + j, false});
        const bool download = i % 3 != 0;
        hits.push_back({domain, i % 2 == 0 ? 1 : 2, day, second + 3, 226, download ? 5000 + i * 11 : 60 + i, download ? 90 : 7000 + i, download});
      }
  return hits;
}

std::wstring twoDigits(int v) { return (v < 10 ? L"0" : L"") + std::to_wstring(v); }

W3CRecord recordOf(const Hit& h) {
  const std::wstring date = L"2016-12-" + twoDigits(h.day);
  const std::wstring time = twoDigits(h.second / 3600) + L":" + twoDigits(h.second / 60 % 60) + L":" + twoDigits(h.second % 60);
  const std::wstring bytes = std::to_wstring(h.scBytes) + L" " + std::to_wstring(h.csBytes);
  if (h.kind == 0)
    return record(kAllFields, date + L" " + time + L" W3SVC1 WEB01 10.0.0.1 GET /page" + std::to_wstring(h.second % 5) +
                                  L".html - 80 - 192.0.2." + std::to_wstring(h.second % 200) + L" HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64) - - " +
                                  h.domain + L" " + std::to_wstring(h.status) + L" 0 0 " + bytes + L" 15");
  const std::wstring method = h.download ? L"[7]sent" : L"[7]created";
  const std::wstring user = h.kind == 1 ? L"anonymous" : L"ftpuser";
  return record(kAllFields, date + L" " + time + L" MSFTPSVC1 FTP01 10.0.0.1 " + method + L" /pub/created/file" +
                                std::to_wstring(h.second % 7) + L".bin - 21 " + user + L" 198.51.100.9 - - - - - 226 0 0 " + bytes + L" 1500");
}

// What each analyser is documented to count: Webalizer every line with the
// byte count of the line (xferlog: sent for a download, received for an
// upload); AWStats every HTTP line with the bytes sent, none for a 304
// answer, and every FTP line with its bytes both ways (the executor gives it
// sc-bytes + cs-bytes).
Figures expected(const std::vector<Hit>& hits, const std::wstring& domain, bool ftp, bool awstats) {
  Figures f;
  for (const Hit& h : hits) {
    if (h.domain != domain || (h.kind != 0) != ftp) continue;
    const int key = awstats ? 20161200 + h.day : h.day;
    long long bytes = h.scBytes;
    if (!awstats && ftp && !h.download) bytes = h.csBytes;
    if (awstats && ftp) bytes = h.scBytes + h.csBytes;
    if (awstats && h.status == 304) bytes = 0;
    f[key].first += 1;
    f[key].second += bytes;
  }
  return f;
}

// Daily hits and bytes of the month in Webalizer's incremental data: after
// three header lines, one line per day of the month ("hits files bytes ...").
Figures webalizerFigures(const std::string& path) {
  std::istringstream in(testkit::readFile(path));
  std::string line;
  for (int i = 0; i < 4; ++i) std::getline(in, line);
  Figures f;
  for (int day = 1; day <= 31 && std::getline(in, line); ++day) {
    long long hits = 0, files = 0;
    double bytes = 0;
    std::istringstream(line) >> hits >> files >> bytes;
    if (hits != 0) f[day] = {hits, static_cast<long long>(bytes)};
  }
  return f;
}

// The DAY section of an AWStats data file: "YYYYMMDD pages hits bandwidth visits".
Figures awstatsFigures(const std::string& path) {
  std::istringstream in(testkit::readFile(path));
  std::string line;
  while (std::getline(in, line) && line.rfind("BEGIN_DAY ", 0) != 0) {
  }
  Figures f;
  while (std::getline(in, line) && line != "END_DAY") {
    long long date = 0, pages = 0, hits = 0, bandwidth = 0;
    std::istringstream(line) >> date >> pages >> hits >> bandwidth;
    f[static_cast<int>(date)] = {hits, bandwidth};
  }
  return f;
}

size_t feedsIn(const std::string& dir) {
  const std::regex feed("(web|ano|ftp)[0-9]{17}\\.log");
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (std::regex_match(e.path().filename().string(), feed)) ++n;
  return n;
}

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(installation.root() + "/tmp");
    savedTmp_ = process::getEnv(L"TMPDIR");
    process::setEnv(L"TMPDIR", text::fromAnsi(installation.root() + "/tmp"));
    DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(logs("alpha.example")));
    alpha.aliases = {L"www.alpha.example"};
    DomainInfo& beta = addDomain(model, L"2", L"beta.example", L"awstats", text::fromAnsi(logs("beta.example")));
    beta.aliases = {L"www.beta.example", L"shop.beta.example"};
    model.defaultDocumentsByDomain[L"beta.example"] = L"index.php;index.html";
  }
  void TearDown() override { process::setEnv(L"TMPDIR", savedTmp_); }

  std::string logs(const std::string& domain) {
    const std::string dir = installation.vhostsRoot() + "/" + domain + "/logs";
    fs::create_directories(dir);
    return dir;
  }
  std::string state(const std::string& rest) const { return installation.dataRoot() + "/web-stat-executor/" + rest; }
  std::string site(const std::string& rest) const { return installation.vhostsRoot() + "/" + rest; }

  // What a statistics run leaves: the feeds of the entries and the
  // executor's configuration files.
  void runStatistics(const std::vector<Hit>& hits) {
    AnalyserRegistry registry(model);
    for (const Hit& h : hits) {
      const W3CRecord r = recordOf(h);
      LogForAnalyser* writer = registry.getAnalyserForDomain(h.domain);
      ASSERT_NE(writer, nullptr);
      writer->prepareLogFile(h.kind);
      const VDateTime time = entryTime(std::wstring(r(L"date")), std::wstring(r(L"time")));
      if (h.kind == 0)
        writer->processHTTPLogLine(time, 0, r);
      else
        writer->processFTPLogLine(time, h.kind, r, h.download);
    }
    for (auto& [id, domain] : model.domainsById) writeWebStatExecutorConfig(model, *domain);
    registry.closeAll();
  }

  testkit::ProgramResult executor(std::vector<std::string> args = {"--all"}) {
    return testkit::runProgram(testkit::programPath("web-stat-executor"), args);
  }

  void expectFigures(const std::vector<Hit>& hits) {
    EXPECT_EQ(webalizerFigures(state("alpha.example/webalizer-web/webalizer.current")), expected(hits, L"alpha.example", false, false));
    EXPECT_EQ(webalizerFigures(state("alpha.example/webalizer-ftp/webalizer.current")), expected(hits, L"alpha.example", true, false));
    EXPECT_EQ(awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example.txt")), expected(hits, L"beta.example", false, true));
    EXPECT_EQ(awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example-ftp.txt")),
              expected(hits, L"beta.example", true, true));
  }

  testkit::Installation installation;
  DomainModel model;
  std::wstring savedTmp_;
};

}  // namespace

TEST_F(ExecutorTest, AnalysersReportTheFiguresOfTheFeedsOnce) {
  std::vector<Hit> hits = makeHits({5, 6});
  runStatistics(hits);
  EXPECT_EQ(feedsIn(logs("alpha.example")), 3u) << "web, ano and ftp";

  testkit::ProgramResult first = executor();
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 0u);
  EXPECT_EQ(feedsIn(logs("beta.example")), 0u);
  expectFigures(hits);
  EXPECT_TRUE(fs::exists(site("alpha.example/statistics/webstat/usage_201612.html")));
  EXPECT_TRUE(fs::exists(site("alpha.example/statistics/ftpstat/index.html")));
  EXPECT_FALSE(fs::exists(site("alpha.example/statistics/webstat/webalizer.current"))) << "the history stays private";
  EXPECT_TRUE(fs::exists(site("beta.example/statistics/webstat/2016-12/awstats.beta.example.html")));
  EXPECT_TRUE(fs::exists(site("beta.example/statistics/ftpstat/2016-12/awstats.beta.example-ftp.html")));
  EXPECT_NE(first.output.find("reports in " + site("beta.example/statistics/webstat")), std::string::npos) << first.output;

  // A pass with nothing new changes nothing.
  testkit::ProgramResult second = executor();
  ASSERT_EQ(second.exitCode, 0) << second.output;
  expectFigures(hits);

  // The next run's feed adds its own entries only.
  const std::vector<Hit> more = makeHits({7});
  runStatistics(more);
  testkit::ProgramResult third = executor({text::toAnsi(text::fromAnsi(logs("alpha.example"))) + "/", logs("beta.example")});
  ASSERT_EQ(third.exitCode, 0) << third.output;
  hits.insert(hits.end(), more.begin(), more.end());
  expectFigures(hits);
}

TEST_F(ExecutorTest, FailingAnalyserLeavesTheFeedsForTheNextPass) {
  const std::vector<Hit> hits = makeHits({5});
  runStatistics(hits);
  testkit::ProgramResult failed = executor({"--all", "--webalizer=/bin/false", "--awstats=" + installation.path("missing/awstats.pl")});
  EXPECT_EQ(failed.exitCode, 1) << failed.output;
  EXPECT_NE(failed.output.find("alpha.example HTTP: webalizer ended with code 1"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find("beta.example FTP: awstats ended with code"), std::string::npos) << failed.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 3u);
  EXPECT_EQ(feedsIn(logs("beta.example")), 3u);
  EXPECT_FALSE(fs::exists(state("beta.example/awstats-data/awstats122016.beta.example.txt")));

  testkit::ProgramResult retried = executor();
  ASSERT_EQ(retried.exitCode, 0) << retried.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 0u);
  expectFigures(hits);
}

TEST_F(ExecutorTest, UnusableFilesAreNamedAndTheOtherDomainsGoOn) {
  const std::vector<Hit> hits = makeHits({5});
  runStatistics(hits);
  // alpha's configuration is damaged; beta's directory holds a link named
  // like a feed; gamma's configuration claims to be beta's.
  const std::string alphaConf = logs("alpha.example") + "/web_stat_executor.conf";
  testkit::writeFile(alphaConf, "<config><domain name=");
  const std::string secret = installation.path("secret.log");
  testkit::writeFile(secret, "2016-12-05 12:00:00 SECRET\n");
  const std::string link = logs("beta.example") + "/web20161205000000000.log";
  fs::create_symlink(secret, link);
  WebStatExecutorConfig forged;
  forged.name = L"beta.example";
  forged.logsDirectory = text::fromAnsi(logs("gamma.example"));
  forged.webStatType = L"awstats";
  testkit::writeFile(logs("gamma.example") + "/web_stat_executor.conf", renderWebStatExecutorConfig(forged));
  testkit::writeFile(logs("gamma.example") + "/web20161205120000000.log", "2016-12-05 12:00:00 FORGED - - - GET / - 80 - 1.1.1.1 x x x x x 200 0 0 999999 0 0\n");

  testkit::ProgramResult run = executor();
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find(alphaConf), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(link + " is not a regular file, skipped"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("is not the one of domain beta.example"), std::string::npos) << run.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 3u) << "alpha's feeds wait for a readable configuration";
  EXPECT_EQ(feedsIn(logs("gamma.example")), 1u);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example.txt")), expected(hits, L"beta.example", false, true))
      << "neither the link's target nor the forged feed reached beta's figures";
}

TEST_F(ExecutorTest, FeedWithoutUsableLinesIsReadOnceAndRemoved) {
  runStatistics({});
  testkit::writeFile(logs("alpha.example") + "/web20161205000000000.log", "not a feed line\r\n");
  testkit::writeFile(logs("beta.example") + "/web20161205000000000.log", "not a feed line either\n");
  testkit::ProgramResult run = executor();
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 0u) << "the analyser read it: reading it again changes nothing";
  EXPECT_EQ(feedsIn(logs("beta.example")), 0u);
}

TEST_F(ExecutorTest, PlantedLinksInTheStatisticsDirectoryAreNotFollowed) {
  runStatistics(makeHits({5}));
  const std::string victimFile = installation.path("victim.html");
  testkit::writeFile(victimFile, "precious\n");
  fs::create_directories(site("alpha.example/statistics/webstat"));
  fs::create_symlink(victimFile, site("alpha.example/statistics/webstat/index.html"));
  const std::string victimDir = installation.path("victim-dir");
  fs::create_directories(victimDir);
  fs::create_symlink(victimDir, site("beta.example/statistics"));
  // Planted by the tenant: the links belong to the tenant's user.
  for (const std::string& link : {site("alpha.example/statistics/webstat/index.html"), site("beta.example/statistics")})
    ASSERT_EQ(process::run(L"/bin/chown", {L"-h", L"12345:12345", text::fromAnsi(link)}).exitCode, 0);

  testkit::ProgramResult run = executor();
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find(site("beta.example/statistics")), std::string::npos) << run.output;
  EXPECT_EQ(testkit::readFile(victimFile), "precious\n");
  EXPECT_FALSE(fs::is_symlink(site("alpha.example/statistics/webstat/index.html")));
  EXPECT_TRUE(fs::is_empty(victimDir)) << "nothing is published through the link";
  EXPECT_EQ(feedsIn(logs("beta.example")), 0u) << "the feeds were analysed; only publishing failed";
}
