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

#include "app/results_data.h"
#include "app/results_writer.h"
#include "support/process.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/accounting.h"
#include "webstat/feed_lines.h"
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
  std::wstring user = L"-";
  std::wstring referer = L"-";
  std::wstring agent = L"Mozilla/5.0+(X11;+Linux+x86_64)";
  std::wstring url = L"";  // empty: /page<n>.html
  bool fewFields = false;   // HTTP: logged with "#Fields: date c-ip cs-uri-stem cs-bytes"
};

// Day -> (hits, bytes).
using Figures = std::map<int, std::pair<long long, long long>>;

// The entries of a test: three HTTP entries and one FTP entry per step for
// each domain, during the day (UTC 10:00-14:00), so that the local day is
// the UTC day in any zone within nine hours of UTC.
// With `oneWay`, an FTP line logs bytes in its transfer's direction only
// (the other field 0), as FTP servers log a transfer.
std::vector<Hit> makeHits(const std::vector<int>& days, bool oneWay = false) {
  std::vector<Hit> hits;
  for (int day : days)
    for (int i = 0; i < 30; ++i)
      for (const wchar_t* domain : {L"alpha.example", L"beta.example"}) {
        const int second = 36000 + i * 480 + (domain[0] == L'b' ? 7 : 0);
        for (int j = 0; j < 3; ++j)
          hits.push_back({domain, 0, day, second + j, (i + j) % 4 == 0 ? 304 : 200, 100 + i * 37 + j * 1000 + day, 300 + j, false});
        const bool download = i % 3 != 0;
        const long long other = oneWay ? 0 : 1;
        hits.push_back({domain, i % 2 == 0 ? 1 : 2, day, second + 3, 226, download ? 5000 + i * 11 : other * (60 + i),
                        download ? other * 90 : 7000 + i, download});
      }
  return hits;
}

std::wstring twoDigits(int v) { return (v < 10 ? L"0" : L"") + std::to_wstring(v); }

W3CRecord recordOf(const Hit& h) {
  const std::wstring date = L"2016-12-" + twoDigits(h.day);
  const std::wstring time = twoDigits(h.second / 3600) + L":" + twoDigits(h.second / 60 % 60) + L":" + twoDigits(h.second % 60);
  const std::wstring bytes = std::to_wstring(h.scBytes) + L" " + std::to_wstring(h.csBytes);
  const std::wstring url = h.url.empty() ? L"/page" + std::to_wstring(h.second % 5) + L".html" : h.url;
  if (h.kind == 0 && h.fewFields)
    return record({L"date", L"c-ip", L"cs-uri-stem", L"cs-bytes"}, date + L" 192.0.2." + std::to_wstring(h.second % 200) + L" " + url + L" " +
                                                                       std::to_wstring(h.csBytes));
  if (h.kind == 0)
    return record(kAllFields, date + L" " + time + L" W3SVC1 WEB01 10.0.0.1 GET " + url + L" - 80 " + h.user + L" 192.0.2." + std::to_wstring(h.second % 200) + L" HTTP/1.1 " + h.agent + L" - " +
                                  h.referer + L" " + h.domain + L" " + std::to_wstring(h.status) + L" 0 0 " + bytes + L" 15");
  const std::wstring method = h.download ? L"[7]sent" : L"[7]created";
  const std::wstring user = h.kind == 1 ? L"anonymous" : L"ftpuser";
  return record(kAllFields, date + L" " + time + L" MSFTPSVC1 FTP01 10.0.0.1 " + method + L" /pub/created/file" +
                                std::to_wstring(h.second % 7) + L".bin - 21 " + user + L" 198.51.100.9 - - - - ftp01.hosting.example 226 0 0 " + bytes + L" 1500");
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
    // FTP bandwidth is the results' in + out, in both analysers.
    if (ftp) bytes = h.scBytes + h.csBytes;
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
    beta.reportedDefaultDocuments = L"index.php;index.html";
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
  // executor's configuration files. With a results path, the entries go
  // through the run's accounting, which also writes the feeds, and the
  // traffic it counted is written there as the results document.
  void runStatistics(const std::vector<Hit>& hits, const std::string& results = "") {
    AnalyserRegistry registry(model);
    TrafficAccounting accounting(model, &registry);
    for (auto& [id, domain] : model.domainsById) {
      for (DailyTraffic& table : domain->traffic) table.clear();
      domain->pageHits.clear();
      // As a fresh run: only a domain with entries gets default documents.
      domain->defaultDocuments.clear();
      // The run's window: all of December 2016.
      for (LogWindow* window : {&domain->httpLogWindow, &domain->ftpLogWindow}) {
        window->start = entryTime(L"2016-12-01", L"00:00:00");
        window->end = entryTime(L"2017-01-01", L"00:00:00");
        window->notLoaded = false;
      }
    }
    for (const Hit& h : hits) {
      const W3CRecord r = recordOf(h);
      LogForAnalyser* writer = registry.getAnalyserForDomain(h.domain);
      ASSERT_NE(writer, nullptr);
      writer->prepareLogFile(h.kind);
      const VDateTime time = entryTime(std::wstring(r(L"date")), std::wstring(r(L"time")));
      if (!results.empty())
        accounting.processLogLine(time, h.kind, r, h.domain, L"/logs/" + h.domain + L"/ex161205.log");
      else if (h.kind == 0)
        writer->processHTTPLogLine(time, 0, r);
      else
        writer->processFTPLogLine(time, h.kind, r, h.download);
    }
    if (!results.empty()) {
      ResultsWriter document;
      document.setOutputFile(text::fromAnsi(results));
      document.beginDocument();
      saveTrafficData(document, model.domainsById, 0, 2, false);
      SitesHits sitesHits;
      for (auto& [id, domain] : model.domainsById)
        for (const auto& [day, count] : domain->pageHits) sitesHits[day] += count;
      saveSitesHitsData(document, sitesHits);
      document.endDocument();
    }
    for (auto& [id, domain] : model.domainsById) writeWebStatExecutorConfig(*domain);
    registry.closeAll();
  }

  // Writes a feed file as a run names it, for lines made by hand.
  void plantFeed(const std::string& domain, const std::string& name, const std::string& content) {
    testkit::writeFile(logs(domain) + "/" + name, content);
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
  // Each failure names its feed.
  EXPECT_TRUE(std::regex_search(failed.output, std::regex("alpha\\.example HTTP: " + logs("alpha.example") + "/web[0-9]{17}\\.log: webalizer ended with code 1")))
      << failed.output;
  EXPECT_TRUE(std::regex_search(failed.output, std::regex("beta\\.example FTP: " + logs("beta.example") + "/ftp[0-9]{17}\\.log: awstats ended with code")))
      << failed.output;
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

namespace {

// Per day of December 2016: FTP lines' in + out in a results document, of
// the domain with that id (every type but "http").
std::map<int, long long> resultsFtpBytes(const std::string& doc, const std::string& domainId) {
  static const std::regex re(R"re(<traffic dom-id="([^"]*)" date="2016-12-(\d\d)" type="([^"]*)" in="(\d+)" out="(\d+)"/>)re");
  std::map<int, long long> bytes;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), re); it != std::sregex_iterator(); ++it)
    if ((*it)[1] == domainId && (*it)[3] != "http") bytes[std::stoi((*it)[2])] += std::stoll((*it)[4]) + std::stoll((*it)[5]);
  return bytes;
}

std::map<int, long long> bytesOf(const Figures& f, int keyBase) {
  std::map<int, long long> bytes;
  for (const auto& [key, v] : f) bytes[key - keyBase] = v.second;
  return bytes;
}

std::string awstatsLine(const Hit& h, const std::wstring& domain) {
  const W3CRecord r = recordOf(h);
  std::wstring out;
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  if (h.kind == 0)
    feed::appendAWStatsHttpLine(out, r, fields, clock);
  else
    feed::appendAWStatsFtpLine(out, r, fields, clock, domain);
  return text::toAnsi(out) + "\n";
}

// Every report file published below `dir`, read whole.
std::string publishedHtml(const std::string& dir) {
  std::string all;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() == ".html") all += testkit::readFile(e.path().string());
  return all;
}

}  // namespace

// FTP lines as servers log them: the server's name in cs-host, the bytes of
// the transfer's direction. Both analysers count every line, and per day
// their bandwidth is the in + out that the run's accounting delivers for the
// same lines.
TEST_F(ExecutorTest, FtpBandwidthOfBothAnalysersIsTheResultsInPlusOut) {
  const std::vector<Hit> hits = makeHits({5, 6}, true);
  const std::string results = installation.path("results.xml");
  runStatistics(hits, results);
  const std::string doc = testkit::readFile(results);
  const std::map<int, long long> alpha = resultsFtpBytes(doc, "1"), beta = resultsFtpBytes(doc, "2");
  ASSERT_EQ(alpha.size(), 2u) << doc;
  ASSERT_EQ(beta.size(), 2u) << doc;

  testkit::ProgramResult run = executor();
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const Figures webalizerFtp = webalizerFigures(state("alpha.example/webalizer-ftp/webalizer.current"));
  const Figures awstatsFtp = awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example-ftp.txt"));
  EXPECT_EQ(bytesOf(webalizerFtp, 0), alpha);
  EXPECT_EQ(bytesOf(awstatsFtp, 20161200), beta);
  for (const auto& f : {webalizerFtp, awstatsFtp})
    for (const auto& [day, v] : f) EXPECT_EQ(v.first, 30) << "every FTP line of the day is counted: " << day;
}

// Lines without a usable time ahead of good ones, a domain switched to the
// other analyser with feeds pending, and the next night: nothing is lost
// that can be read, and nothing blocks the later feeds.
TEST_F(ExecutorTest, BadLinesAndASwitchedAnalyserNeverStopTheDomain) {
  // beta (AWStats): 60 unusable lines, then 11 good ones.
  std::vector<Hit> good = makeHits({5});
  good.resize(40);  // 10 steps of alpha and beta: 3 HTTP + 1 FTP each
  std::string feed;
  for (int i = 0; i < 60; ++i) feed += "- 10:00:" + std::to_string(10 + i % 50) + " W3SVC1 broken line " + std::to_string(i) + "\n";
  int goodLines = 0;
  for (const Hit& h : good)
    if (h.domain == L"beta.example" && h.kind == 0 && goodLines < 11) {
      feed += awstatsLine(h, L"beta.example");
      ++goodLines;
    }
  plantFeed("beta.example", "web20161205230000000.log", feed);

  // alpha: Webalizer feeds of a run, then the domain is switched to AWStats.
  std::vector<Hit> alphaHits;
  for (const Hit& h : makeHits({6}))
    if (h.domain == L"alpha.example") alphaHits.push_back(h);
  runStatistics(alphaHits);
  model.domainsById.at(L"1")->webStatType = L"awstats";
  for (auto& [id, domain] : model.domainsById) writeWebStatExecutorConfig(*domain);

  testkit::ProgramResult run = executor();
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("Warning: beta.example HTTP: 60 lines of " + logs("beta.example") + "/web20161205230000000.log"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Warning: alpha.example HTTP: 90 lines of "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("were in the other analyser's format; converted for awstats"), std::string::npos) << run.output;
  EXPECT_EQ(feedsIn(logs("alpha.example")), 0u);
  EXPECT_EQ(feedsIn(logs("beta.example")), 0u);
  const std::string betaWeb = state("beta.example/awstats-data/awstats122016.beta.example.txt");
  EXPECT_EQ(awstatsFigures(betaWeb)[20161205].first, 11) << "the good lines behind the unusable ones";
  // The converted Webalizer lines: every HTTP line with its bytes (none for
  // a 304 answer, as AWStats counts), every FTP line with the bytes the
  // xferlog line carries.
  Figures alphaWeb = expected(alphaHits, L"alpha.example", false, true);
  EXPECT_EQ(awstatsFigures(state("alpha.example/awstats-data/awstats122016.alpha.example.txt")), alphaWeb);
  Figures alphaFtp;
  for (const auto& [day, v] : expected(alphaHits, L"alpha.example", true, false)) alphaFtp[20161200 + day] = v;
  EXPECT_EQ(awstatsFigures(state("alpha.example/awstats-data/awstats122016.alpha.example-ftp.txt")), alphaFtp);

  // The next night's feeds are counted on top.
  const std::vector<Hit> next = makeHits({7});
  runStatistics(next);
  testkit::ProgramResult again = executor();
  ASSERT_EQ(again.exitCode, 0) << again.output;
  EXPECT_EQ(again.output.find("Warning"), std::string::npos) << again.output;
  EXPECT_EQ(awstatsFigures(betaWeb)[20161207], expected(next, L"beta.example", false, true)[20161207]);
  EXPECT_EQ(awstatsFigures(state("alpha.example/awstats-data/awstats122016.alpha.example.txt"))[20161207],
            expected(next, L"alpha.example", false, true)[20161207]);
}

// An analyser that fails on one feed's lines (a script standing in for a
// crash on some input): the other feeds go on being analysed, and after
// kFeedTries passes the feed is set aside with an Error.
TEST_F(ExecutorTest, AFeedThatKeepsFailingIsSetAsideAndNewerFeedsGoOn) {
  const std::string wrapper = installation.path("webalizer-poisoned");
  testkit::writeFile(wrapper, "#!/bin/sh\nfor a; do last=$a; done\n"
                              "if grep -q POISON \"$last\"; then echo 'crashed on the input'; exit 3; fi\n"
                              "exec /usr/bin/webalizer \"$@\"\n");
  fs::permissions(wrapper, fs::perms::owner_all);
  const std::vector<std::string> args = {"--webalizer=" + wrapper, logs("alpha.example")};

  std::vector<Hit> poison = {{L"alpha.example", 0, 5, 36000, 200, 10, 10, false}};
  poison[0].user = L"POISON";
  runStatistics(poison);
  std::string poisoned;
  for (const auto& e : fs::directory_iterator(logs("alpha.example")))
    if (e.path().extension() == ".log") poisoned = e.path().filename().string();
  std::vector<Hit> all;
  for (int night = 0; night < kFeedTries; ++night) {
    std::vector<Hit> hits;
    for (const Hit& h : makeHits({6 + night}))
      if (h.domain == L"alpha.example" && h.kind == 0) hits.push_back(h);
    all.insert(all.end(), hits.begin(), hits.end());
    runStatistics(hits);
    testkit::ProgramResult run = executor(args);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("crashed on the input"), std::string::npos) << run.output;
    EXPECT_EQ(feedsIn(logs("alpha.example")), night + 1 < kFeedTries ? 1u : 0u) << "only the failing feed waits: " << run.output;
    EXPECT_EQ(webalizerFigures(state("alpha.example/webalizer-web/webalizer.current")), expected(all, L"alpha.example", false, false))
        << "the newer feeds were analysed the night they came";
    if (night + 1 == kFeedTries) {
      EXPECT_NE(run.output.find(logs("alpha.example") + "/" + poisoned + " failed in 3 passes; set aside as"), std::string::npos)
          << run.output;
    }
  }
  EXPECT_TRUE(fs::is_regular_file(logs("alpha.example") + "/" + poisoned + ".failed"));
  testkit::ProgramResult quiet = executor(args);
  EXPECT_EQ(quiet.exitCode, 0) << "a set-aside feed is not tried again: " << quiet.output;
}

// What visitors send shows in the reports as data: an authenticated user in
// Webalizer's user report, a search referrer carrying a script (percent-
// encoded, as browsers send it) and markup in the user agent never as markup.
TEST_F(ExecutorTest, ReportsShowTheUsersAndCarryNoVisitorsScript) {
  std::vector<Hit> hits = makeHits({5});
  for (size_t i = 0; i < hits.size(); ++i) {
    if (hits[i].kind != 0) continue;
    hits[i].user = i % 2 ? L"alice" : L"bob%3Cb%3E";
    hits[i].referer = L"http://www.google.com/search?q=%3Cscript%3Ealert(1)%3C/script%3E";
    if (i % 3 == 0) hits[i].agent = L"Mozilla/5.0+<script>alert(2)</script>";
  }
  runStatistics(hits);
  testkit::ProgramResult run = executor();
  ASSERT_EQ(run.exitCode, 0) << run.output;
  expectFigures(hits);

  const std::string webalizer = publishedHtml(site("alpha.example/statistics"));
  const std::string awstats = publishedHtml(site("beta.example/statistics"));
  ASSERT_NE(webalizer.find("Usernames"), std::string::npos);
  EXPECT_NE(webalizer.find(">alice<"), std::string::npos) << "the user is in Webalizer's report";
  for (const std::string* html : {&webalizer, &awstats}) {
    std::string lower = *html;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(lower.find("<script"), std::string::npos);
    EXPECT_EQ(lower.find("<b>b"), std::string::npos) << "the user name's markup, decoded";
  }
}

namespace {

// A table of Webalizer's incremental data ("# -usernames- " ... "# End Of
// Table"): each name with the hits on the line after it.
std::map<std::string, long long> webalizerTable(const std::string& path, const std::string& table) {
  std::istringstream in(testkit::readFile(path));
  std::string line;
  while (std::getline(in, line) && line.rfind("# -" + table + "-", 0) != 0) {
  }
  std::map<std::string, long long> out;
  std::string counts;
  while (std::getline(in, line) && line.rfind("# End Of Table", 0) != 0 && std::getline(in, counts)) {
    long long flag = 0, hits = 0;
    std::istringstream(counts) >> flag >> hits;
    out[line] += hits;
  }
  return out;
}

// A section of an AWStats data file: the first word of each line and the
// number after it (or 0).
std::map<std::string, long long> awstatsSection(const std::string& path, const std::string& section) {
  std::istringstream in(testkit::readFile(path));
  std::string line;
  while (std::getline(in, line) && line.rfind("BEGIN_" + section + " ", 0) != 0) {
  }
  std::map<std::string, long long> out;
  while (std::getline(in, line) && line != "END_" + section) {
    std::string name;
    long long value = 0;
    std::istringstream(line) >> name >> value;
    out[name] += value;
  }
  return out;
}

// Per day of December 2016, an attribute of the results' elements.
std::map<int, long long> resultsPerDay(const std::string& doc, const std::regex& re, int dayGroup, int valueGroup) {
  std::map<int, long long> out;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), re); it != std::sregex_iterator(); ++it)
    out[std::stoi((*it)[dayGroup])] += std::stoll((*it)[valueGroup]);
  return out;
}

// A file put in place for a test and the original put back after it.
class PlantedFile {
 public:
  PlantedFile(std::string path, const std::string& content) : path_(std::move(path)) {
    had_ = fs::exists(path_);
    if (had_) saved_ = testkit::readFile(path_);
    fs::create_directories(fs::path(path_).parent_path());
    testkit::writeFile(path_, content);
  }
  ~PlantedFile() {
    if (had_)
      testkit::writeFile(path_, saved_);
    else
      fs::remove(path_);
  }

 private:
  std::string path_;
  bool had_ = false;
  std::string saved_;
};

const std::wstring kFirefox = L"Mozilla/5.0+(X11;+Linux+x86_64;+rv:120.0)+Gecko/20100101+Firefox/120.0";

}  // namespace

// Entries counted by the run's accounting into a results document, then both
// analysers over the feeds: per day, the hits of the two domains' analysers
// add up to the results' page hits, HTTP bandwidth is the results' out (AWStats
// counts no body for a 304 answer, its documented rule), FTP hits are the FTP
// lines; users, referrers and agents are in the reports as the lines carry
// them. Lines of a log with few fields count in both analysers. A system
// Webalizer configuration that would drop these lines and AWStats' variables
// for another configuration change nothing.
TEST_F(ExecutorTest, ReportsAgreeWithTheResultsDocument) {
  const PlantedFile systemConf("/etc/webalizer/webalizer.conf",
                               "IgnoreSite 192.0.2.*\nIgnoreReferrer *ref.example*\nHideURL *.html\nIgnoreURL /page*\n"
                               "IgnoreAgent *Firefox*\nIgnoreUser alice\nHideSite *\n");
  process::setEnv(L"AWSTATS_CONFIG", L"no-such-site");
  process::setEnv(L"GATEWAY_INTERFACE", L"CGI/1.1");

  std::vector<Hit> hits = makeHits({5, 6}, true);
  for (size_t i = 0; i < hits.size(); ++i) {
    Hit& h = hits[i];
    if (h.kind != 0) continue;
    if (i % 5 == 0) h.user = L"alice";
    if (i % 3 == 0) h.referer = L"http://ref.example/from";
    h.agent = i % 2 ? kFirefox : L"TestClient/2.1";
    if (i % 7 == 0) h.fewFields = true;
  }
  const std::string results = installation.path("results.xml");
  runStatistics(hits, results);
  process::unsetEnv(L"AWSTATS_CONFIG");
  testkit::ProgramResult run = executor();
  process::unsetEnv(L"GATEWAY_INTERFACE");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output.find("Warning"), std::string::npos) << run.output;

  const std::string doc = testkit::readFile(results);
  const std::map<int, long long> sitePages = resultsPerDay(doc, std::regex(R"re(<sitepages date="2016-12-(\d\d)" value="(\d+)"/>)re"), 1, 2);
  const std::regex http(R"re(<traffic dom-id="([^"]*)" date="2016-12-(\d\d)" type="http" in="(\d+)" out="(\d+)"/>)re");
  std::map<std::string, std::map<int, long long>> httpOut;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), http); it != std::sregex_iterator(); ++it)
    httpOut[(*it)[1]][std::stoi((*it)[2])] += std::stoll((*it)[4]);
  ASSERT_EQ(sitePages.size(), 2u) << doc;

  const Figures alphaWeb = webalizerFigures(state("alpha.example/webalizer-web/webalizer.current"));
  const Figures betaWeb = awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example.txt"));
  std::map<int, long long> hitsOfBoth, betaOutBut304;
  for (const auto& [day, v] : alphaWeb) hitsOfBoth[day] += v.first;
  for (const auto& [key, v] : betaWeb) hitsOfBoth[key - 20161200] += v.first;
  EXPECT_EQ(hitsOfBoth, sitePages);
  EXPECT_EQ(bytesOf(alphaWeb, 0), httpOut["1"]);
  betaOutBut304 = httpOut["2"];
  for (const Hit& h : hits)
    if (h.domain == L"beta.example" && h.kind == 0 && h.status == 304 && !h.fewFields) betaOutBut304[h.day] -= h.scBytes;
  EXPECT_EQ(bytesOf(betaWeb, 20161200), betaOutBut304);

  std::map<int, long long> ftpLines;
  for (const Hit& h : hits)
    if (h.domain == L"alpha.example" && h.kind != 0) ++ftpLines[h.day];
  for (const auto& f : {bytesOf(webalizerFigures(state("alpha.example/webalizer-ftp/webalizer.current")), 0),
                        bytesOf(awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example-ftp.txt")), 20161200)})
    EXPECT_EQ(f.size(), 2u);
  Figures alphaFtp = webalizerFigures(state("alpha.example/webalizer-ftp/webalizer.current"));
  for (const auto& [day, v] : alphaFtp) EXPECT_EQ(v.first, ftpLines[day]) << day;

  // Users, referrers and agents, counted as the lines carry them.
  std::map<std::wstring, long long> users, referrers, agents;
  for (const std::wstring domain : {L"alpha.example", L"beta.example"})
    for (const Hit& h : hits)
      if (h.domain == domain && h.kind == 0 && !h.fewFields) {
        ++users[domain + L" " + h.user];
        ++referrers[domain + L" " + h.referer];
        ++agents[domain + L" " + h.agent];
      }
  const std::string alphaCurrent = state("alpha.example/webalizer-web/webalizer.current");
  EXPECT_EQ(webalizerTable(alphaCurrent, "usernames")["alice"], users[L"alpha.example alice"]);
  EXPECT_EQ(webalizerTable(alphaCurrent, "referrers")["http://ref.example/from"], referrers[L"alpha.example http://ref.example/from"]);
  EXPECT_EQ(webalizerTable(alphaCurrent, "agents")[text::toAnsi(kFirefox)], agents[L"alpha.example " + kFirefox]);
  EXPECT_EQ(webalizerTable(alphaCurrent, "agents")["TestClient/2.1"], agents[L"alpha.example TestClient/2.1"]);
  const std::string betaData = state("beta.example/awstats-data/awstats122016.beta.example.txt");
  EXPECT_EQ(awstatsSection(betaData, "LOGIN")["alice"], users[L"beta.example alice"]);
  EXPECT_EQ(awstatsSection(betaData, "PAGEREFS")["http://ref.example/from"], referrers[L"beta.example http://ref.example/from"]);
  EXPECT_EQ(awstatsSection(betaData, "BROWSER")["firefox120.0"], agents[L"beta.example " + kFirefox]);
  const std::map<std::string, long long> unknownAgents = awstatsSection(betaData, "UNKNOWNREFERERBROWSER");
  EXPECT_TRUE(unknownAgents.count("TestClient/2.1"));
  EXPECT_TRUE(unknownAgents.count(kAWStatsDefaultUserAgent)) << "the lines of the log without agents";
  EXPECT_TRUE(awstatsSection(betaData, "ROBOT").empty());
}

// The default documents of a run hold for its feeds while they wait: a later
// run without entries writes the configuration without any.
TEST_F(ExecutorTest, PendingFeedsKeepTheDefaultDocumentsOfTheirRun) {
  for (const wchar_t* id : {L"1", L"2"}) model.domainsById.at(id)->reportedDefaultDocuments = L"start.htm";
  runStatistics(makeHits({5}));
  ASSERT_EQ(executor().exitCode, 0);

  std::vector<Hit> later = makeHits({6});
  for (Hit& h : later) h.url = L"/docs/start.htm";
  runStatistics(later);
  runStatistics({});
  ASSERT_NE(testkit::readFile(logs("alpha.example") + "/web_stat_executor.conf").find("default_doc=\"\""), std::string::npos);
  testkit::ProgramResult run = executor();
  ASSERT_EQ(run.exitCode, 0) << run.output;

  const std::map<std::string, long long> urls = webalizerTable(state("alpha.example/webalizer-web/webalizer.current"), "urls");
  EXPECT_GT(urls.count("/docs/") ? urls.at("/docs/") : 0, 0) << "the default document is folded into its directory";
  EXPECT_FALSE(urls.count("/docs/start.htm"));
  const std::map<std::string, long long> pages = awstatsSection(state("beta.example/awstats-data/awstats122016.beta.example.txt"), "SIDER");
  EXPECT_TRUE(pages.count("/docs/"));
  EXPECT_FALSE(pages.count("/docs/start.htm"));
}

// An analyser that hangs on one feed's lines is stopped at the time-out: the
// feeds before it are analysed, it and the feeds after it stay (nothing
// unanalysed is deleted), it is set aside after kFeedTries passes, and the
// newer feed goes through the pass after. A statistics directory that is a
// link gets nothing; the analysed lines' reports are published once it is
// a directory again.
TEST_F(ExecutorTest, AHangingAnalyserAndALinkedReportDirectoryLoseNothing) {
  const std::string wrapper = installation.path("webalizer-hangs");
  testkit::writeFile(wrapper, "#!/bin/sh\nfor a; do last=$a; done\n"
                              "if grep -q HANG \"$last\"; then sleep 600 & wait; fi\n"
                              "exec /usr/bin/webalizer \"$@\"\n");
  fs::permissions(wrapper, fs::perms::owner_all);
  const std::vector<std::string> args = {"--webalizer=" + wrapper, "--timeout=2", logs("alpha.example"), logs("beta.example")};

  auto alphaWeb = [](const std::vector<Hit>& from) {
    std::vector<Hit> out;
    for (const Hit& h : from)
      if (h.domain == L"alpha.example" && h.kind == 0) out.push_back(h);
    return out;
  };
  const std::vector<Hit> first = alphaWeb(makeHits({5}));
  std::vector<Hit> hang = alphaWeb(makeHits({6}));
  hang.resize(1);
  hang[0].user = L"HANG";
  const std::vector<Hit> last = alphaWeb(makeHits({7}));
  std::vector<std::string> feeds;
  for (const std::vector<Hit>* hits : std::vector<const std::vector<Hit>*>{&first, &hang, &last}) {
    std::set<std::string> before;
    for (const auto& e : fs::directory_iterator(logs("alpha.example"))) before.insert(e.path().filename().string());
    runStatistics(*hits);
    for (const auto& e : fs::directory_iterator(logs("alpha.example")))
      if (!before.count(e.path().filename().string()) && e.path().extension() == ".log") feeds.push_back(e.path().filename().string());
  }
  ASSERT_EQ(feeds.size(), 3u);
  // beta's statistics directory is a link to a place of the tenant's choice.
  const std::vector<Hit> betaHits = [&] {
    std::vector<Hit> out;
    for (const Hit& h : makeHits({5}))
      if (h.domain == L"beta.example") out.push_back(h);
    return out;
  }();
  runStatistics(betaHits);
  const std::string elsewhere = installation.path("elsewhere");
  fs::create_directories(elsewhere);
  fs::create_symlink(elsewhere, site("beta.example/statistics"));
  ASSERT_EQ(process::run(L"/bin/chown", {L"-h", L"12345:12345", text::fromAnsi(site("beta.example/statistics"))}).exitCode, 0);

  for (int pass = 1; pass <= kFeedTries; ++pass) {
    testkit::ProgramResult run = executor(args);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("alpha.example HTTP: " + logs("alpha.example") + "/" + feeds[1] + ": webalizer did not end within 2 seconds"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("1 feeds from " + logs("alpha.example") + "/" + feeds[2] + " on wait for the next pass"), std::string::npos)
        << run.output;
    EXPECT_FALSE(fs::exists(logs("alpha.example") + "/" + feeds[0]));
    EXPECT_TRUE(fs::exists(logs("alpha.example") + "/" + feeds[2]));
    EXPECT_EQ(fs::exists(logs("alpha.example") + "/" + feeds[1]), pass < kFeedTries);
    EXPECT_EQ(webalizerFigures(state("alpha.example/webalizer-web/webalizer.current")), expected(first, L"alpha.example", false, false));
    if (pass == 1) {
      EXPECT_NE(run.output.find("but the reports cannot be published in " + site("beta.example/statistics/webstat")), std::string::npos)
          << run.output;
      EXPECT_TRUE(fs::is_empty(elsewhere));
      EXPECT_EQ(feedsIn(logs("beta.example")), 0u) << "analysed: the history holds its lines";
      fs::remove(site("beta.example/statistics"));
    }
  }
  EXPECT_TRUE(fs::exists(logs("alpha.example") + "/" + feeds[1] + ".failed"));
  EXPECT_TRUE(fs::exists(site("beta.example/statistics/webstat/2016-12/awstats.beta.example.html")))
      << "published by the pass after, without a new feed";

  testkit::ProgramResult after = executor(args);
  EXPECT_EQ(after.exitCode, 0) << after.output;
  std::vector<Hit> analysed = first;
  analysed.insert(analysed.end(), last.begin(), last.end());
  EXPECT_EQ(webalizerFigures(state("alpha.example/webalizer-web/webalizer.current")), expected(analysed, L"alpha.example", false, false));
  EXPECT_EQ(awstatsFigures(state("beta.example/awstats-data/awstats122016.beta.example.txt")), expected(betaHits, L"beta.example", false, true));
}
