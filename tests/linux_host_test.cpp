// Whole runs on a Linux host: Apache and nginx started here on loopback
// write the access logs, in the layouts webhostctl reports; the built
// `statistics` counts them, the real logrotate rotates them between runs,
// web-stat-executor runs Webalizer and AWStats over the feeds. Expected
// figures are read from the servers' own log lines by the test's patterns.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/business_lock.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/soak_results.h"
#include "tests/testkit.h"

namespace {

namespace fs = std::filesystem;
using soak::Figures;

extern "C" char** environ;

int freePort() { return testkit::freeLoopbackPort(); }

std::string shell(const std::string& command) { return testkit::commandOutput(command); }

// The servers run in a time zone far from UTC.
constexpr const char* kServerZone = "Pacific/Kiritimati";
using Server = testkit::LoopbackServer;

// The UTC date ("2026-12-10") of an access log stamp "10/Oct/2000:13:55:36 -0700".
std::string utcDate(const std::string& stamp) {
  const std::tm u = testkit::utcOfCommonLogTime(stamp);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &u);
  return date;
}

// What the servers logged, per UTC date.
struct Logged {
  Figures traffic;                                     // (id, date, "http") -> (in, out)
  std::map<std::string, int64_t> hits;                 // date -> lines
  // date -> what AWStats counts as seen: hits and bytes of the answers 200
  // and 304, none for 304.
  std::map<std::string, std::pair<int64_t, int64_t>> valid;
  int64_t lines = 0;
};

// Apache's "%h %l %u %t \"%r\" %>s %b \"%{Referer}i\" \"%{User-Agent}i\" %I %O"
// (in and out the last two fields) or nginx's combined (out the body bytes).
void addLogged(Logged& logged, const std::string& id, const std::string& path, bool withIo) {
  static const std::regex io(R"re(\S+ \S+ \S+ \[([^\]]+)\] "[^"]*" (\d{3}) \S+ "[^"]*" "[^"]*" (\d+) (\d+))re");
  static const std::regex combined(R"re(\S+ \S+ \S+ \[([^\]]+)\] "[^"]*" (\d{3}) (\d+) "[^"]*" "[^"]*")re");
  std::istringstream in(testkit::readFile(path));
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, withIo ? io : combined)) {
      ADD_FAILURE() << path << ": the test's pattern does not read " << line;
      continue;
    }
    const std::string date = utcDate(m[1]);
    const int64_t out = std::stoll(withIo ? m[4] : m[3]);
    auto& t = logged.traffic[{id, date, "http"}];
    t.first += withIo ? std::stoll(m[3]) : 0;
    t.second += out;
    ++logged.hits[date];
    ++logged.lines;
    const std::string status = m[2];
    if (status == "200" || status == "304") ++logged.valid[date].first;
    if (status == "200") logged.valid[date].second += out;
  }
}

const char* kConfigTemplate = R"(<?xml version="1.0"?>
<config>
  <domain id="1" name="a.example" hosting="true" wwwRoot="@ROOT@/www/a.example" webspaceName="a.example" webStatType="webalizer"/>
  <domain id="2" name="b.example" hosting="true" wwwRoot="@ROOT@/www/b.example" webspaceName="b.example" webStatType="awstats"/>
</config>
)";

class LinuxHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/sbin/apache2") || !fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "apache2 and nginx are installed by scripts/setup.sh";
    registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1);
    for (const char* tool : {"webhostctl", "ftphostctl"})
      fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
    // The servers run as nobody: the document roots must be reachable.
    fs::permissions(install.root(), fs::perms(0755));
    for (const char* d : {"a.example", "b.example"}) {
      fs::create_directories(docRoot(d));
      fs::permissions(install.path("www"), fs::perms(0755));
      fs::permissions(docRoot(d), fs::perms(0755));
      std::ofstream(docRoot(d) + "/index.html") << "<html>" << d << "</html>\n";
      std::ofstream(docRoot(d) + "/data.bin", std::ios::binary) << std::string(5000, 'd');
      fs::create_directories(install.vhostsRoot() + "/" + d + "/logs");
    }
    std::string config = kConfigTemplate;
    for (size_t at; (at = config.find("@ROOT@")) != std::string::npos;) config.replace(at, 6, install.root());
    testkit::writeFile(install.path("config.xml"), config);
    fs::create_directories(install.path("run/ngx"));
  }

  std::string docRoot(const std::string& domain) const { return install.path("www/" + domain); }
  std::string siteLogs(const std::string& domain) const { return install.vhostsRoot() + "/" + domain + "/logs"; }
  // The per-domain layout of a Debian server's own log directory.
  std::string serverLogs(const std::string& server, const std::string& domain) const {
    return install.path("var/log/" + server + "/" + domain);
  }
  void useServerLayout(const std::string& server) {
    registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"WebLogsDirectory", text::fromAnsi(install.path("var/log/" + server + "/<domain>")));
  }

  // Apache with mod_logio; each virtual host's log at the given path.
  std::unique_ptr<Server> apache(int port, const std::map<std::string, std::string>& logs) {
    const std::string run = install.path("run");
    std::ofstream conf(run + "/httpd.conf");
    conf << "ServerRoot " << run << "\nListen 127.0.0.1:" << port << "\nPidFile " << run << "/httpd.pid\n"
         << "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
         << "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
         << "User nobody\nGroup nogroup\nServerName localhost\nErrorLog " << run << "/httpd_error.log\n"
         << "Mutex file:" << run << "\nDefaultRuntimeDir " << run << "\n"
         << R"(LogFormat "%h %l %u %t \"%r\" %>s %b \"%{Referer}i\" \"%{User-Agent}i\" %I %O" combinedio)" "\n";
    for (const auto& [domain, log] : logs)
      conf << "<VirtualHost 127.0.0.1:" << port << ">\nServerName " << domain << "\nDocumentRoot " << docRoot(domain) << "\n<Directory "
           << docRoot(domain) << ">\nRequire all granted\n</Directory>\nCustomLog " << log << " combinedio\n</VirtualHost>\n";
    conf.close();
    auto server = std::make_unique<Server>(std::vector<std::string>{"/usr/sbin/apache2", "-f", run + "/httpd.conf", "-DFOREGROUND"}, kServerZone,
                                           run + "/apache.out", port);
    EXPECT_TRUE(server->up()) << testkit::readFile(run + "/apache.out") << testkit::readFile(run + "/httpd_error.log");
    return server;
  }

  std::unique_ptr<Server> nginx(int port, const std::string& domain, const std::string& log) {
    const std::string run = install.path("run");
    std::ofstream(run + "/nginx.conf") << "daemon off;\nworker_processes 1;\npid " << run << "/nginx.pid;\nerror_log " << run
                                       << "/nginx_error.log;\nuser nobody nogroup;\nevents { worker_connections 64; }\nhttp {\n"
                                       << "client_body_temp_path " << run << "/ngx/body;\nproxy_temp_path " << run << "/ngx/proxy;\n"
                                       << "fastcgi_temp_path " << run << "/ngx/fastcgi;\nuwsgi_temp_path " << run << "/ngx/uwsgi;\n"
                                       << "scgi_temp_path " << run << "/ngx/scgi;\naccess_log off;\n"
                                       << "server { listen 127.0.0.1:" << port << "; server_name " << domain << "; root " << docRoot(domain)
                                       << "; access_log " << log << " combined; }\n}\n";
    auto server = std::make_unique<Server>(std::vector<std::string>{"/usr/sbin/nginx", "-p", run + "/ngx", "-c", run + "/nginx.conf"}, kServerZone,
                                           run + "/nginx.out", port);
    EXPECT_TRUE(server->up()) << testkit::readFile(run + "/nginx.out") << testkit::readFile(run + "/nginx_error.log");
    return server;
  }

  // GET, HEAD, POST with a body, 404, 304 and a range request, `rounds` times.
  void requests(const std::string& host, int port, int rounds = 1) {
    const std::string body = install.path("body.bin");
    std::ofstream(body, std::ios::binary) << std::string(3000, 'p');
    // A browser's agent: AWStats counts curl's requests as a robot's.
    const std::string curl = "curl -s -o /dev/null -A 'Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0' "
                             "-w '%{http_code}\\n' --resolve " + host + ":" + std::to_string(port) + ":127.0.0.1 ";
    const std::string url = "http://" + host + ":" + std::to_string(port);
    std::string all;
    for (int i = 0; i < rounds; ++i)
      all += curl + url + "/index.html; " + curl + "-I " + url + "/index.html; " + curl + "--data-binary @" + body + " " + url +
             "/data.bin; " + curl + url + "/missing; " + curl + "-z " + docRoot(host) + "/index.html " + url + "/index.html; " + curl +
             "-r 2-9 " + url + "/index.html; ";
    const std::string codes = shell(all);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), '\n'), 6 * rounds) << codes;
  }

  // A run of the traffic step; the statistics run and the analysers read
  // times in UTC. It starts a second after the last request, so that every
  // line logged so far lies before its window's end.
  testkit::ProgramResult statistics(const std::string& results, std::vector<std::string> args = {"--http-traffic"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto env = install.environment();
    env["TZ"] = "UTC";
    args.push_back("--config=" + install.path("config.xml"));
    args.push_back("--save-results-to=" + install.path(results));
    args.insert(args.begin(), {"-s", "KILL", "120", testkit::programPath("statistics")});
    return testkit::runProgram("/usr/bin/timeout", args, env);
  }
  Figures traffic(const std::string& results) const { return soak::parseTraffic(testkit::readFile(install.path(results))); }
  std::wstring marker(const wchar_t* id) const {
    std::wstring v;
    registry::lookup(HKEY_LOCAL_MACHINE, domainKey(id), L"LastHttpStatisticsRun", v);
    return v;
  }

  testkit::Installation install;
};

std::string differences(const Figures& expected, const Figures& counted) {
  std::string out;
  for (const std::string& d : soak::differences(expected, counted)) out += d + "\n";
  return out;
}

}  // namespace

// Apache writes a.example's log in its own directory per domain and
// b.example's in the site's logs/ (the domain's own setting); logrotate
// renames a.example's log (create, delaycompress) and copies and truncates
// b.example's between two runs, while the server goes on writing. Every line
// counts once: the first run what was logged before it, the second the rest,
// a third nothing.
TEST_F(LinuxHostTest, LogsRotatedByLogrotateBetweenTwoRunsAreCountedOnce) {
  if (!fs::exists("/usr/sbin/logrotate")) GTEST_SKIP() << "logrotate is installed by scripts/setup.sh";
  useServerLayout("apache2");
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\WebLogsDirectories", L"b.example",
                      text::fromAnsi(install.vhostsRoot() + "/<domain>/logs"));
  fs::create_directories(serverLogs("apache2", "a.example"));
  const std::string logA = serverLogs("apache2", "a.example") + "/access.log", logB = siteLogs("b.example") + "/access_log";
  const int port = freePort();
  ASSERT_NE(port, 0);
  auto server = apache(port, {{"a.example", logA}, {"b.example", logB}});
  ASSERT_TRUE(server->up());

  requests("a.example", port, 2);
  requests("b.example", port, 1);
  Logged before;
  addLogged(before, "1", logA, true);
  addLogged(before, "2", logB, true);
  auto r1 = statistics("first.xml");
  ASSERT_EQ(r1.exitCode, 0) << r1.output;
  EXPECT_EQ(traffic("first.xml"), before.traffic) << differences(before.traffic, traffic("first.xml"));
  const std::wstring firstMarker = marker(L"1");
  EXPECT_FALSE(firstMarker.empty());

  // Lines after the run, then rotation, then lines into the new files.
  requests("a.example", port, 1);
  requests("b.example", port, 2);
  const std::string conf = install.path("logrotate.conf");
  std::ofstream(conf) << logA << " {\n  rotate 4\n  compress\n  delaycompress\n  create 0640 root root\n  postrotate\n    kill -USR1 "
                      << server->pid() << "\n  endscript\n}\n"
                      << logB << " {\n  rotate 4\n  copytruncate\n}\n";
  const std::string rotated = shell("/usr/sbin/logrotate -f -s " + install.path("logrotate.state") + " " + conf + " 2>&1; echo rc=$?");
  ASSERT_NE(rotated.find("rc=0"), std::string::npos) << rotated;
  ASSERT_TRUE(fs::exists(logA + ".1") && fs::exists(logB + ".1")) << rotated;
  EXPECT_LT(fs::file_size(logB), fs::file_size(logB + ".1")) << "copytruncate emptied the live log";
  server->waitUp();  // the graceful restart reopens the logs
  requests("a.example", port, 2);
  requests("b.example", port, 1);
  server.reset();

  Logged all;
  for (const std::string& f : {logA, logA + ".1"}) addLogged(all, "1", f, true);
  for (const std::string& f : {logB, logB + ".1"}) addLogged(all, "2", f, true);
  // The copy holds what b.example logged before the rotation, its first
  // run's lines too; the live log only what came after.
  Logged bNow, bCopy;
  addLogged(bNow, "2", logB, true);
  addLogged(bCopy, "2", logB + ".1", true);
  EXPECT_EQ(bCopy.lines, 6 * 3);
  EXPECT_EQ(bNow.lines, 6);
  Figures second = all.traffic;
  for (const auto& [key, v] : before.traffic) {
    second[key].first -= v.first;
    second[key].second -= v.second;
    if (second[key] == std::pair<int64_t, int64_t>{}) second.erase(key);
  }

  auto r2 = statistics("second.xml");
  ASSERT_EQ(r2.exitCode, 0) << r2.output;
  EXPECT_EQ(traffic("second.xml"), second) << differences(second, traffic("second.xml"));
  EXPECT_GT(marker(L"1"), firstMarker);
  auto r3 = statistics("third.xml");
  ASSERT_EQ(r3.exitCode, 0) << r3.output;
  EXPECT_TRUE(traffic("third.xml").empty()) << testkit::readFile(install.path("third.xml"));
  EXPECT_EQ(testkit::occurrences(testkit::readFile(install.eventLogPath()), "Warning"), 0u) << testkit::readFile(install.eventLogPath());
}

// a.example (Webalizer) served by Apache into the site's logs/, b.example
// (AWStats) by nginx into nginx's directory per domain. The run's in and out
// per day are the logged fields, its page hits the requests; per day
// Webalizer's hits and bytes are the results'. AWStats counts per day the
// answers 200 and 304 (the latter without bytes) and the others under their
// error codes (the range request is one of a page): together they are the
// results' requests and out.
TEST_F(LinuxHostTest, AnalyserReportsAgreeWithTheResultsOfTheServersLogs) {
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\WebLogsDirectories", L"b.example",
                      text::fromAnsi(install.path("var/log/nginx/<domain>")));
  fs::create_directories(serverLogs("nginx", "b.example"));
  const std::string logA = siteLogs("a.example") + "/access_log", logB = serverLogs("nginx", "b.example") + "/access.log";
  {
    const int apachePort = freePort(), nginxPort = freePort();
    auto a = apache(apachePort, {{"a.example", logA}});
    auto b = nginx(nginxPort, "b.example", logB);
    ASSERT_TRUE(a->up() && b->up());
    requests("a.example", apachePort, 3);
    requests("b.example", nginxPort, 2);
  }
  Logged logged, loggedA, loggedB;
  addLogged(logged, "1", logA, true);
  addLogged(logged, "2", logB, false);
  addLogged(loggedA, "1", logA, true);
  addLogged(loggedB, "2", logB, false);
  EXPECT_EQ(logged.lines, 6 * 5);

  auto run = statistics("results.xml");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string doc = testkit::readFile(install.path("results.xml"));
  EXPECT_EQ(soak::parseTraffic(doc), logged.traffic) << differences(logged.traffic, soak::parseTraffic(doc));
  EXPECT_EQ(soak::parseSitePages(doc), logged.hits) << doc;

  auto env = install.environment();
  env["TZ"] = "UTC";
  const auto executor = testkit::runProgram(testkit::programPath("web-stat-executor"), {siteLogs("a.example"), serverLogs("nginx", "b.example")}, env);
  ASSERT_EQ(executor.exitCode, 0) << executor.output;

  // Webalizer's month: after four header lines one line per day, "hits files bytes ...".
  const std::string state = install.dataRoot() + "/web-stat-executor/";
  std::map<std::string, std::pair<int64_t, int64_t>> webalizer, resultsA;
  {
    std::istringstream in(testkit::readFile(state + "a.example/webalizer-web/webalizer.current"));
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    int year = 0, month = 0;
    std::istringstream(line) >> year >> month;
    for (int i = 0; i < 2; ++i) std::getline(in, line);
    for (int day = 1; day <= 31 && std::getline(in, line); ++day) {
      int64_t hits = 0, files = 0;
      double bytes = 0;
      std::istringstream(line) >> hits >> files >> bytes;
      char date[16];
      std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, day);
      if (hits != 0) webalizer[date] = {hits, static_cast<int64_t>(bytes)};
    }
  }
  for (const auto& [key, v] : loggedA.traffic) resultsA[std::get<1>(key)] = {loggedA.hits[std::get<1>(key)], v.second};
  EXPECT_EQ(webalizer, resultsA);

  // AWStats' DAY section "YYYYMMDD pages hits bandwidth visits" and its
  // ERRORS section "code hits bandwidth".
  std::map<std::string, std::pair<int64_t, int64_t>> awstats;
  int64_t errorHits = 0, errorBytes = 0;
  bool found = false;
  for (const auto& e : fs::directory_iterator(state + "b.example/awstats-data")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("awstats", 0) != 0 || name.find("b.example.txt") == std::string::npos) continue;
    found = true;
    std::istringstream in(testkit::readFile(e.path().string()));
    std::string section;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("BEGIN_", 0) == 0) {
        section = line.substr(6, line.find(' ') - 6);
        continue;
      }
      if (line.rfind("END_", 0) == 0) {
        section.clear();
        continue;
      }
      std::istringstream fields(line);
      if (section == "DAY") {
        std::string date;
        int64_t pages = 0, hits = 0, bandwidth = 0;
        fields >> date >> pages >> hits >> bandwidth;
        awstats[date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2)] = {hits, bandwidth};
      } else if (section == "ERRORS") {
        std::string code;
        int64_t hits = 0, bandwidth = 0;
        fields >> code >> hits >> bandwidth;
        errorHits += hits;
        errorBytes += bandwidth;
      }
    }
  }
  ASSERT_TRUE(found) << executor.output;
  EXPECT_EQ(awstats, loggedB.valid);
  int64_t validHits = 0, validBytes = 0, resultsOutB = 0;
  for (const auto& [date, v] : loggedB.valid) validHits += v.first, validBytes += v.second;
  for (const auto& [key, v] : logged.traffic)
    if (std::get<0>(key) == "2") resultsOutB += v.second;
  EXPECT_EQ(testkit::occurrences(testkit::readFile(logB), "\" 206 "), 2u) << "a range request each round";
  EXPECT_EQ(validHits + errorHits, loggedB.lines);
  EXPECT_EQ(validBytes + errorBytes, resultsOutB) << "nginx logs no body for a 304 answer, so nothing is left out";
}

// A format setting naming a directive that cannot be read: an Error naming
// the setting, the domain it covers delivers nothing and keeps its marker;
// the other domain is counted. Once the setting is fixed, the held-back
// lines are counted, once.
TEST_F(LinuxHostTest, BadFormatSettingHoldsItsDomainBackAndTheOthersAreCounted) {
  const std::string logA = siteLogs("a.example") + "/access_log", logB = siteLogs("b.example") + "/access_log";
  const std::wstring formats = std::wstring(kConfigKey) + L"\\AccessLogFormats";
  registry::setString(HKEY_LOCAL_MACHINE, formats, L"b.example", L"%h %l %u %t \"%r\" %>s %O %{no-such-thing}Z");
  {
    const int port = freePort();
    auto server = apache(port, {{"a.example", logA}, {"b.example", logB}});
    ASSERT_TRUE(server->up());
    requests("a.example", port, 1);
    requests("b.example", port, 2);
  }
  Logged a, b;
  addLogged(a, "1", logA, true);
  addLogged(b, "2", logB, true);

  auto r1 = statistics("held.xml");
  ASSERT_EQ(r1.exitCode, 0) << r1.output;
  EXPECT_EQ(traffic("held.xml"), a.traffic) << testkit::readFile(install.path("held.xml"));
  // The event log shows a backslash doubled.
  const auto events = [&] { return std::regex_replace(testkit::readFile(install.eventLogPath()), std::regex(R"(\\\\)"), "\\"); };
  EXPECT_NE(events().find("Config\\AccessLogFormats\\b.example cannot be used"), std::string::npos) << events();
  EXPECT_TRUE(marker(L"2").empty()) << "the held-back domain keeps its window";
  EXPECT_FALSE(marker(L"1").empty());

  // The setting fixed: b.example's lines, and nothing of a.example again.
  registry::setString(HKEY_LOCAL_MACHINE, formats, L"b.example", L"%h %l %u %t \"%r\" %>s %b \"%{Referer}i\" \"%{User-Agent}i\" %I %O");
  auto r2 = statistics("fixed.xml");
  ASSERT_EQ(r2.exitCode, 0) << r2.output;
  EXPECT_EQ(traffic("fixed.xml"), b.traffic) << differences(b.traffic, traffic("fixed.xml"));

  // The installation's own setting broken: every web domain is held back.
  {
    const int port = freePort();
    auto server = apache(port, {{"a.example", logA}, {"b.example", logB}});
    ASSERT_TRUE(server->up());
    requests("a.example", port, 1);
  }
  Logged aAll;
  addLogged(aAll, "1", logA, true);
  Figures aLater = aAll.traffic;
  for (const auto& [key, v] : a.traffic) {
    aLater[key].first -= v.first;
    aLater[key].second -= v.second;
    if (aLater[key] == std::pair<int64_t, int64_t>{}) aLater.erase(key);
  }
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"AccessLogFormat", L"%h %t %<bogus");
  auto r3 = statistics("all-held.xml");
  ASSERT_EQ(r3.exitCode, 0) << r3.output;
  EXPECT_TRUE(traffic("all-held.xml").empty()) << testkit::readFile(install.path("all-held.xml"));
  EXPECT_NE(events().find("Config\\AccessLogFormat cannot be used"), std::string::npos) << events();
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"AccessLogFormat", L"");
  auto r4 = statistics("all-fixed.xml");
  ASSERT_EQ(r4.exitCode, 0) << r4.output;
  EXPECT_EQ(traffic("all-fixed.xml"), aLater) << differences(aLater, traffic("all-fixed.xml"));
}

// The layout settings as webhostctl and ftphostctl answer them: a directory
// per domain when it exists and is no link, else an error naming the
// setting; a setting that would give every domain one directory is refused.
TEST_F(LinuxHostTest, LayoutSettingsPlaceEachDomainsLogsOrNameTheSetting) {
  const std::string request = install.path("domains.txt");
  testkit::writeFile(request, "a.example;b.example;c.example");
  const auto ask = [&] {
    return testkit::runProgram(install.productRoot() + "/admin/bin/webhostctl", {"--get-vhosts-statistics-info", "--config=" + request},
                               install.environment());
  };
  const auto logsDir = [](const std::string& answer, const std::string& domain) {
    std::smatch m;
    const std::regex re("<domain name=\"" + domain + "\" logsDir=\"([^\"]*)\"( logsDirError=\"([^\"]*)\")?");
    return std::regex_search(answer, m, re) ? std::make_pair(m[1].str(), m[3].str()) : std::make_pair(std::string("?"), std::string("?"));
  };
  const std::string base = install.path("var/log/apache2");
  fs::create_directories(base + "/a.example");
  fs::create_directories(install.path("elsewhere"));
  fs::create_directory_symlink(install.path("elsewhere"), base + "/c.example");

  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"WebLogsDirectory", text::fromAnsi(base));
  auto r = ask();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char* d : {"a.example", "b.example"}) {
    EXPECT_EQ(logsDir(r.output, d).first, "") << r.output;
    EXPECT_NE(logsDir(r.output, d).second.find("WebLogsDirectory gives " + std::string(d) + " no log directory: it holds no &lt;domain&gt;"),
              std::string::npos) << r.output;
  }

  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"WebLogsDirectory", text::fromAnsi(base + "/<domain>"));
  r = ask();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(logsDir(r.output, "a.example"), std::make_pair(base + "/a.example", std::string())) << r.output;
  EXPECT_NE(logsDir(r.output, "b.example").second.find(base + "/b.example does not exist"), std::string::npos) << r.output;
  EXPECT_EQ(logsDir(r.output, "c.example").first, "") << "a link in place of the directory is not reported";
  EXPECT_NE(logsDir(r.output, "c.example").second.find("cannot be used"), std::string::npos) << r.output;
  // A domain's own value wins over the installation's.
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\WebLogsDirectories", L"B.EXAMPLE",
                      text::fromAnsi(install.vhostsRoot() + "/<domain>/logs"));
  r = ask();
  EXPECT_EQ(logsDir(r.output, "b.example"), std::make_pair(siteLogs("b.example"), std::string())) << r.output;

  // The whole run: a.example's Apache log in its directory counts; b.example
  // logs in its site, which hold nothing yet.
  const std::string logA = base + "/a.example/access.log";
  {
    const int port = freePort();
    auto server = apache(port, {{"a.example", logA}});
    ASSERT_TRUE(server->up());
    requests("a.example", port, 1);
  }
  Logged a;
  addLogged(a, "1", logA, true);
  auto run = statistics("layout.xml");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(traffic("layout.xml"), a.traffic) << differences(a.traffic, traffic("layout.xml"));

  // ftphostctl: the address's directory by the setting, never a link.
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"FtpLogsDirectory", text::fromAnsi(install.path("var/log/proftpd/<ip>")));
  fs::create_directories(install.path("var/log/proftpd/192.0.2.10"));
  fs::create_directory_symlink(install.path("elsewhere"), install.path("var/log/proftpd/192.0.2.11"));
  const auto ftp = [&](const std::string& ip) {
    return testkit::runProgram(install.productRoot() + "/admin/bin/ftphostctl", {"--get-log-directory", "--ip-address=" + ip},
                               install.environment());
  };
  const auto found = ftp("192.0.2.10");
  EXPECT_EQ(found.exitCode, 0) << found.output;
  EXPECT_EQ(found.output, install.path("var/log/proftpd/192.0.2.10"));
  EXPECT_NE(ftp("192.0.2.11").exitCode, 0);
  EXPECT_NE(ftp("192.0.2.12").exitCode, 0);
}
