#include "webstat/log_for_analyser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/process.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "webstat/log_file.h"
#include "webstat/webstat_testing.h"

using namespace webstat_testing;
namespace fs = std::filesystem;

namespace {

// Entries of a directory whose names match the pattern.
std::vector<std::string> matching(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  const std::regex re(pattern);
  for (const auto& e : fs::directory_iterator(dir))
    if (std::regex_match(e.path().filename().string(), re)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

size_t scratchFiles(const testkit::Installation& installation) {
  size_t n = 0;
  for (const std::string& dir : {installation.productRoot() + "/PrivateTemp", installation.root() + "/tmp"})
    if (fs::exists(dir)) n += static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  return n;
}

// A private installation whose scratch files go to <root>/tmp, and a model
// with domains under <root>/vhosts.
class LogForAnalyserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(installation.root() + "/tmp");
    savedTmp_ = process::getEnv(L"TMPDIR");
    process::setEnv(L"TMPDIR", text::fromAnsi(installation.root() + "/tmp"));
  }
  void TearDown() override { process::setEnv(L"TMPDIR", savedTmp_); }

  std::string logsOf(const std::string& domain) {
    const std::string dir = installation.vhostsRoot() + "/" + domain + "/logs";
    fs::create_directories(dir);
    return dir;
  }

  testkit::Installation installation;
  DomainModel model;
  std::wstring savedTmp_;
};

const W3CRecord kHttp = record(kAllFields,
                               L"2016-12-07 14:05:09 W3SVC1 WEB01 10.0.0.1 GET /a.html - 80 - 1.2.3.4 HTTP/1.1 Mozilla/5.0+(Windows) - - "
                               L"alpha.example 200 0 0 1234 321 15");
const W3CRecord kFtp = record(kAllFields,
                              L"2016-12-07 14:06:00 MSFTPSVC1 FTP01 10.0.0.1 [3]sent /pub/a.zip - 21 anonymous 1.2.3.4 - - - - - 226 0 0 "
                              L"999 0 1500");

}  // namespace

TEST_F(LogForAnalyserTest, WriterFollowsTheDomainsAnalyserExactly) {
  addDomain(model, L"1", L"alpha.example", L"webalizer");
  addDomain(model, L"2", L"beta.example", L"awstats");
  addDomain(model, L"3", L"gamma.example", L"AWStats");
  addDomain(model, L"4", L"delta.example", L"");
  AnalyserRegistry registry(model);

  LogForAnalyser* alpha = registry.getAnalyserForDomain(L"alpha.example");
  LogForAnalyser* beta = registry.getAnalyserForDomain(L"beta.example");
  ASSERT_NE(alpha, nullptr);
  ASSERT_NE(beta, nullptr);
  EXPECT_NE(dynamic_cast<LogForWebalizer*>(alpha), nullptr);
  EXPECT_NE(dynamic_cast<LogForAWStats*>(beta), nullptr);
  EXPECT_EQ(registry.getAnalyserForDomain(L"gamma.example"), nullptr) << "the type differs in letter case only";
  EXPECT_EQ(registry.getAnalyserForDomain(L"delta.example"), nullptr) << "no type";
  EXPECT_EQ(registry.getAnalyserForDomain(L"nowhere.example"), nullptr) << "no such domain";
  EXPECT_EQ(registry.getAnalyserForDomain(L"alpha.example"), alpha) << "one writer per domain";
  EXPECT_EQ(registry.getAnalyserForDomain(L"beta.example"), beta);
  EXPECT_EQ(registry.size(), 2u);
}

TEST_F(LogForAnalyserTest, NewWriterTakesLogsDirectoryAndDefaultDocument) {
  DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", L"/srv/alpha/logs");
  DomainInfo& beta = addDomain(model, L"2", L"beta.example", L"awstats");
  alpha.reportedDefaultDocuments = L"home.php;index.html";
  AnalyserRegistry registry(model);

  LogForAnalyser* a = registry.getAnalyserForDomain(L"alpha.example");
  EXPECT_EQ(a->domainName, L"alpha.example");
  EXPECT_EQ(a->logsDirectory, L"/srv/alpha/logs");
  EXPECT_EQ(a->defaultDocument, L"home.php;index.html");
  EXPECT_EQ(alpha.defaultDocuments, L"home.php;index.html") << "copied for the executor's configuration";

  LogForAnalyser* b = registry.getAnalyserForDomain(L"beta.example");
  EXPECT_EQ(b->logsDirectory, L"");
  EXPECT_EQ(b->defaultDocument, L"index.html");
  EXPECT_EQ(beta.defaultDocuments, L"index.html");
}

TEST_F(LogForAnalyserTest, ClosingCopiesEachKindIntoItsOwnStampedFeed) {
  const std::string alphaLogs = logsOf("alpha.example");
  const std::string betaLogs = logsOf("beta.example");
  addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(alphaLogs));
  addDomain(model, L"2", L"beta.example", L"awstats", text::fromAnsi(betaLogs));
  AnalyserRegistry registry(model);

  LogForAnalyser* alpha = registry.getAnalyserForDomain(L"alpha.example");
  LogForAnalyser* beta = registry.getAnalyserForDomain(L"beta.example");
  for (int kind : {0, 1}) alpha->prepareLogFile(kind);
  alpha->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
  alpha->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:10"), 0, kHttp);
  alpha->processFTPLogLine(entryTime(L"2016-12-07", L"14:06:00"), 1, kFtp, true);
  beta->prepareLogFile(0);
  beta->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
  EXPECT_TRUE(matching(alphaLogs, ".*").empty()) << "nothing reaches the logs directory before closeAll";

  registry.closeAll();
  const std::vector<std::string> web = matching(alphaLogs, "web[0-9]{17}\\.log");
  const std::vector<std::string> ano = matching(alphaLogs, "ano[0-9]{17}\\.log");
  ASSERT_EQ(web.size(), 1u);
  ASSERT_EQ(ano.size(), 1u);
  EXPECT_EQ(matching(alphaLogs, ".*").size(), 2u) << "no other file is left behind";
  const std::string webText = testkit::readFile(alphaLogs + "/" + web[0]);
  EXPECT_EQ(webText,
            "20161207140509 1.2.3.4 - - [07/DEC/2016:14:05:09] \"GET /a.html HTTP/1.1\" 200 1234 - \"Mozilla/5.0+(Windows)\" \r\n"
            "20161207140510 1.2.3.4 - - [07/DEC/2016:14:05:10] \"GET /a.html HTTP/1.1\" 200 1234 - \"Mozilla/5.0+(Windows)\" \r\n");
  EXPECT_EQ(testkit::readFile(alphaLogs + "/" + ano[0]), "Wed DEC 07 14:06:00 2016 1 1.2.3.4 999 /pub/a.zip b _ o a anonymous ftp 1 * c\n");

  const std::vector<std::string> betaWeb = matching(betaLogs, "web[0-9]{17}\\.log");
  ASSERT_EQ(betaWeb.size(), 1u) << "each domain has feeds of its own";
  const std::string betaText = testkit::readFile(betaLogs + "/" + betaWeb[0]);
  EXPECT_EQ(betaText.back(), '\n') << "an AWStats line gets LF";
  EXPECT_EQ(betaText.find('\r'), std::string::npos);
  EXPECT_EQ(scratchFiles(installation), 0u) << "the scratch files are gone";
}

TEST_F(LogForAnalyserTest, DiscardingAndMissingLogsDirectoryKeepNothing) {
  const std::string alphaLogs = logsOf("alpha.example");
  addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(alphaLogs));
  addDomain(model, L"2", L"beta.example", L"webalizer");
  {
    AnalyserRegistry registry(model);
    for (const wchar_t* name : {L"alpha.example", L"beta.example"}) {
      LogForAnalyser* w = registry.getAnalyserForDomain(name);
      w->prepareLogFile(0);
      w->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
    }
    EXPECT_EQ(scratchFiles(installation), 2u);
    registry.discardAll();
    EXPECT_EQ(scratchFiles(installation), 0u);
    EXPECT_TRUE(matching(alphaLogs, ".*").empty()) << "a discarded feed is not copied";
  }
  {
    // A domain without a reported logs directory writes a scratch feed only.
    AnalyserRegistry registry(model);
    LogForAnalyser* beta = registry.getAnalyserForDomain(L"beta.example");
    beta->prepareLogFile(0);
    beta->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
    EXPECT_FALSE(beta->getLogFile(0).copyOnClose());
    registry.closeAll();
    EXPECT_EQ(scratchFiles(installation), 0u);
  }
  {
    // Destroying the registry without closeAll drops the feeds too.
    AnalyserRegistry registry(model);
    LogForAnalyser* alpha = registry.getAnalyserForDomain(L"alpha.example");
    alpha->prepareLogFile(0);
    alpha->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
  }
  EXPECT_EQ(scratchFiles(installation), 0u);
  EXPECT_TRUE(matching(alphaLogs, ".*").empty());
}

TEST_F(LogForAnalyserTest, UnusableLogsDirectoryLosesTheFeedWithAnError) {
  const std::string readOnly = logsOf("beta.example");
  addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(installation.vhostsRoot() + "/alpha.example/logs"));
  addDomain(model, L"2", L"beta.example", L"awstats", text::fromAnsi(readOnly));
  // Root ignores permission bits; the immutable attribute stops root too.
  const bool immutable = process::run(L"/usr/bin/chattr", {L"+i", text::fromAnsi(readOnly)}).exitCode == 0;
  if (!immutable) fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);

  LogCapture errors({LogLevel::Error});
  std::wstring alphaTemp, betaTemp;
  {
    AnalyserRegistry registry(model);
    for (const wchar_t* name : {L"alpha.example", L"beta.example"}) {
      LogForAnalyser* w = registry.getAnalyserForDomain(name);
      w->prepareLogFile(0);
      w->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
    }
    alphaTemp = registry.getAnalyserForDomain(L"alpha.example")->getLogFile(0).temporaryPath();
    betaTemp = registry.getAnalyserForDomain(L"beta.example")->getLogFile(0).temporaryPath();
    registry.closeAll();
  }
  if (immutable)
    process::run(L"/usr/bin/chattr", {L"-i", text::fromAnsi(readOnly)});
  else
    fs::permissions(readOnly, fs::perms::owner_all);

  const std::string log = errors.text();
  EXPECT_NE(log.find("Unable to copy temporary log file " + text::toAnsi(alphaTemp) + " to " + installation.vhostsRoot() +
                     "/alpha.example/logs/web"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Unable to copy temporary log file " + text::toAnsi(betaTemp) + " to " + readOnly + "/web"), std::string::npos)
      << log;
  EXPECT_NE(log.find("LogFile::~LogFile"), std::string::npos) << log;
  EXPECT_TRUE(matching(readOnly, ".*").empty());
  EXPECT_EQ(scratchFiles(installation), 0u) << "the lost feeds' scratch files are removed";
}

TEST_F(LogForAnalyserTest, PlantedLinkAtTheFeedNameIsReplacedNotWrittenThrough) {
  const std::string logs = logsOf("alpha.example");
  addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(logs));
  const std::string victim = installation.path("victim.txt");
  testkit::writeFile(victim, "precious\n");
  AnalyserRegistry registry(model);
  LogForAnalyser* alpha = registry.getAnalyserForDomain(L"alpha.example");
  alpha->prepareLogFile(0);
  alpha->processHTTPLogLine(entryTime(L"2016-12-07", L"14:05:09"), 0, kHttp);
  const std::string destination = text::toAnsi(alpha->getLogFile(0).destination());
  fs::create_symlink(victim, destination);

  registry.closeAll();
  EXPECT_EQ(testkit::readFile(victim), "precious\n");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_NE(testkit::readFile(destination).find("GET /a.html"), std::string::npos);
}

TEST_F(LogForAnalyserTest, WriteLineAddsLineFeedOnlyWhereMissing) {
  addDomain(model, L"1", L"alpha.example", L"webalizer");
  AnalyserRegistry registry(model);
  LogForAnalyser* alpha = registry.getAnalyserForDomain(L"alpha.example");
  LogFile& file = alpha->getLogFile(2);
  file.checkLogFile(L"alpha.example", 2, L"");
  LogForAnalyser::writeLineToLog(file, L"one");
  LogForAnalyser::writeLineToLog(file, L"two\n");
  LogForAnalyser::writeLineToLog(file, L"");
  LogForAnalyser::writeLineToLog(file, L"caf\u00e9 \xDD7F");
  file.flush();
  EXPECT_EQ(testkit::readFile(text::toAnsi(file.temporaryPath())), "one\ntwo\ncaf\xc3\xa9 \xff\n")
      << "an empty line writes nothing; an escaped byte goes back as it came";
  EXPECT_THROW(alpha->getLogFile(6), vexception);

  // Long lines, one beyond ASCII only past the first few hundred characters
  // (a character whose low byte alone would be ASCII): the code page's bytes.
  LogFile& other = alpha->getLogFile(3);
  other.checkLogFile(L"alpha.example", 3, L"");
  const std::wstring ascii(1500, L'a'), beyond = std::wstring(700, L'b') + L"\u0141\u0100x";
  LogForAnalyser::writeLineToLog(other, ascii);
  LogForAnalyser::writeLineToLog(other, beyond);
  other.flush();
  EXPECT_EQ(testkit::readFile(text::toAnsi(other.temporaryPath())), text::toAnsi(ascii) + "\n" + text::toAnsi(beyond) + "\n");
  EXPECT_EQ(text::toAnsi(beyond).size(), 700u + 2 + 2 + 1);

  // Lines of many blocks: the scratch file takes whole blocks, the line that
  // crosses a block's end goes out in two parts, and flush writes the rest.
  LogFile& many = alpha->getLogFile(4);
  many.checkLogFile(L"alpha.example", 4, L"");
  std::string want;
  for (int i = 0; i < 1000; ++i) {
    const std::wstring line = L"line " + std::to_wstring(i) + L" " + std::wstring(static_cast<size_t>(i % 97), L'x');
    LogForAnalyser::writeLineToLog(many, line);
    want += text::toAnsi(line) + "\n";
  }
  const std::string path = text::toAnsi(many.temporaryPath());
  const uintmax_t written = fs::file_size(path);
  EXPECT_EQ(written, want.size() / LogFile::kBufferSize * LogFile::kBufferSize);
  EXPECT_EQ(testkit::readFile(path), want.substr(0, static_cast<size_t>(written)));
  many.flush();
  EXPECT_EQ(testkit::readFile(path), want);
}

TEST_F(LogForAnalyserTest, FeedBytesAreTheWideLinesInTheCodePage) {
  addDomain(model, L"1", L"alpha.example", L"webalizer");
  addDomain(model, L"2", L"beta.example", L"awstats");
  AnalyserRegistry registry(model);
  LogForAnalyser* webalizer = registry.getAnalyserForDomain(L"alpha.example");
  LogForAnalyser* awstats = registry.getAnalyserForDomain(L"beta.example");

  // Records that take every way through a writer: values copied from the
  // line, characters beyond ASCII (and an escaped byte) in a value the feeds
  // write or only in one they do not (x-note), values set on the record,
  // values longer than the writer's block, a value that ends the line.
  std::vector<std::wstring> noted = kAllFields;
  noted.push_back(L"x-note");
  const auto make = [&](const std::wstring& agent, const std::wstring& referrer, const std::wstring& taken, const std::wstring& note) {
    return record(noted, L"2016-12-07 14:05:09 W3SVC1 WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 " + agent + L" - " + referrer +
                             L" alpha.example 200 0 0 1234 321 " + taken + L" " + note);
  };
  std::wstring longAgent, longReferrer = L"http://ref.example/";
  for (int i = 0; i < 3000; ++i) longAgent += static_cast<wchar_t>(L'A' + i % 26);
  while (longReferrer.size() < 1500) longReferrer += L"page/";
  std::vector<W3CRecord> records = {make(L"Mozilla/5.0+(X11)", L"http://ref.example/", L"15", L"n"),
                                    make(L"Mozilla/5.0+(caf\u00e9)", L"-", L"15", L"n"),
                                    make(L"curl/7.52", L"-", L"15", L"\u00fcber"),
                                    make(L"bytes\xDD7F\xDD00", L"-", L"15", L"n"),
                                    make(longAgent, longReferrer, L"15", L"n"),
                                    record(kAllFields,
                                           L"2016-12-07 14:05:09 W3SVC1 WEB01 10.0.0.1 GET /a.html - 80 - 1.2.3.4 HTTP/1.1 UA - - - 200 0 0 "
                                           L"1 2 12345678901234567"),
                                    make(L"UA", L"-", L"15", L"n")};
  records.back().set(L"cs-username", L"set-user");
  records.back().set(L"cs-host", L"\u0141odz.example");

  const VDateTime time = entryTime(L"2016-12-07", L"14:05:09");
  std::string wantWebalizer, wantAWStats;
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  const auto expect = [](std::string& want, const std::wstring& line) {
    want += text::toAnsi(line);
    if (!want.empty() && want.back() != '\n') want += '\n';
  };
  for (const W3CRecord& r : records) {
    webalizer->processHTTPLogLine(time, LogHttp, r);
    awstats->processHTTPLogLine(time, LogHttp, r);
    std::wstring line;
    feed::appendWebalizerHttpLine(line, time, r, fields);
    expect(wantWebalizer, line);
    line.clear();
    feed::appendAWStatsHttpLine(line, r, fields, clock);
    expect(wantAWStats, line);
  }
  // A line whose date is no calendar time raises and leaves nothing behind.
  EXPECT_THROW(awstats->processHTTPLogLine(time, LogHttp, record({L"date", L"time", L"c-ip"}, L"2016-13-45 10:00:00 1.2.3.4")), vexception);
  awstats->processHTTPLogLine(time, LogHttp, records[0]);
  std::wstring line;
  feed::appendAWStatsHttpLine(line, records[0], fields, clock);
  expect(wantAWStats, line);

  for (LogForAnalyser* writer : {webalizer, awstats}) writer->getLogFile(LogHttp).flush();
  EXPECT_EQ(testkit::readFile(text::toAnsi(webalizer->getLogFile(LogHttp).temporaryPath())), wantWebalizer);
  EXPECT_EQ(testkit::readFile(text::toAnsi(awstats->getLogFile(LogHttp).temporaryPath())), wantAWStats);
  EXPECT_NE(wantAWStats.find("\xc5\x81odz.example"), std::string::npos) << "a value set on the record, beyond ASCII";
  EXPECT_NE(wantWebalizer.find("bytes\xff\x80"), std::string::npos) << "escaped bytes go back as they came";
}
