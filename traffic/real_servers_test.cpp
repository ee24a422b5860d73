// The Linux servers' own logs, written by the real servers: Apache httpd
// (with mod_logio) and nginx over two virtual hosts each, ProFTPD with a
// local login, each started here on loopback with a private configuration
// and stopped before the logs are counted.
#include <gtest/gtest.h>

// The servers are child processes; their ports are found by binding.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/log_scan.h"
#include "traffic/traffic_test_support.h"

namespace {

namespace fs = std::filesystem;
using traffictest::addDomain;
using traffictest::LogCapture;

extern "C" char** environ;

using testkit::LoopbackServer;

int freePort() { return testkit::freeLoopbackPort(); }

using testkit::readFile;

std::string shell(const std::string& command) { return testkit::commandOutput(command); }

// The UTC day of "10/Oct/2000:13:55:36 -0700" (the test's own reading).
VDateTime utcDay(const std::string& stamp) {
  const std::tm u = testkit::utcOfCommonLogTime(stamp);
  return traffictest::at(u.tm_year + 1900, u.tm_mon + 1, u.tm_mday);
}

struct Sums {
  std::map<VDateTime, DayTraffic> days;
  std::map<VDateTime, int64_t> hits;
  int64_t lines = 0;
};

// Sums what a server logged: each line by its own pattern, with the groups
// of its time, out and in (0: not logged).
Sums loggedSums(const std::string& path, const std::string& pattern, int timeGroup, int outGroup, int inGroup) {
  Sums sums;
  const std::regex re(pattern);
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, re)) {
      ADD_FAILURE() << path << ": the test's pattern does not read " << line;
      continue;
    }
    const VDateTime day = utcDay(m[timeGroup]);
    const std::string out = m[outGroup];
    sums.days[day].sent += out == "-" ? 0 : std::stoll(out);
    if (inGroup) sums.days[day].received += std::stoll(m[inGroup]);
    ++sums.hits[day];
    ++sums.lines;
  }
  return sums;
}

class RealServersTest : public ::testing::Test {
 protected:
  RealServersTest() : collector(model, sitesHits, httpStorage, ftpStorage, nullptr) {
    fs::permissions(install.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
  }

  // A domain with a document root and a log directory; the root holds a
  // page and a 5,000-byte file.
  std::string site(const std::string& name) {
    const std::string base = install.path("vhosts/" + name);
    fs::create_directories(base + "/www");
    fs::create_directories(base + "/logs");
    fs::permissions(install.path("vhosts"), fs::perms(0755));
    fs::permissions(base, fs::perms(0755));
    fs::permissions(base + "/www", fs::perms(0755));
    std::ofstream(base + "/www/index.html") << "<html>" << name << "</html>\n";
    std::ofstream(base + "/www/data.bin", std::ios::binary) << std::string(5000, 'd');
    DomainInfo& domain = addDomain(model, std::to_wstring(model.domainsById.size() + 1), text::fromAnsi(name));
    openWindows(domain);
    dirs.set(text::fromAnsi(base + "/logs"), LogHttp, text::fromAnsi(name), &domain);
    return base;
  }

  // The requests of every virtual host: GET, HEAD, POST with a body, 404,
  // 304 and a range; returns what the client received (headers and body).
  int64_t requests(const std::string& host, int port, const std::string& base) {
    const std::string body = install.path("body.bin");
    std::ofstream(body, std::ios::binary) << std::string(3000, 'p');
    const std::string curl = "curl -s -o /dev/null -w '%{size_header} %{size_download}\\n' --resolve " + host + ":" + std::to_string(port) +
                             ":127.0.0.1 ";
    const std::string url = "http://" + host + ":" + std::to_string(port);
    const std::string out = shell(curl + url + "/index.html; " + curl + "-I " + url + "/index.html; " + curl + "--data-binary @" + body +
                                  " " + url + "/data.bin; " + curl + url + "/missing; " + curl + "-z " + base + "/www/index.html " + url +
                                  "/index.html; " + curl + "-r 100-1099 " + url + "/data.bin");
    std::istringstream in(out);
    int64_t total = 0, header = 0, download = 0;
    int n = 0;
    while (in >> header >> download) total += header + download, ++n;
    EXPECT_EQ(n, 6) << out;
    return total;
  }

  // A run's window ends at the second it starts (exclusive); the requests
  // of this very second would be the next run's, so the window reaches on.
  static void openWindows(DomainInfo& domain) {
    const VDateTime end = VDateTime::nowUtc().addSeconds(86400);
    traffictest::setWindow(domain.httpLogWindow, traffictest::at(2000, 1, 1), end);
    traffictest::setWindow(domain.ftpLogWindow, traffictest::at(2000, 1, 1), end);
  }

  void expectCounted(const std::string& name, const Sums& sums) {
    const DomainInfo* d = model.findDomainByName(text::fromAnsi(name));
    ASSERT_NE(d, nullptr);
    const DailyTraffic& got = d->traffic[LogHttp];
    EXPECT_EQ(got.size(), sums.days.size()) << name;
    for (const auto& [day, want] : sums.days) {
      const auto it = got.find(day);
      ASSERT_NE(it, got.end()) << name << " has nothing on " << text::toUtf8(day.formatDate());
      EXPECT_EQ(it->second.sent, want.sent) << name;
      EXPECT_EQ(it->second.received, want.received) << name;
    }
    EXPECT_EQ(d->pageHits, sums.hits) << name;
  }

  testkit::Installation install;
  DomainModel model;
  SitesHits sitesHits;
  halvex::logging::LogStorage httpStorage, ftpStorage;
  LogCollector collector;
  LogDirectoryMap dirs;
};

}  // namespace

TEST_F(RealServersTest, ApacheAndNginxVirtualHostsCountWhatTheyLoggedAndWhatTheClientReceived) {
  if (!fs::exists("/usr/sbin/apache2") || !fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "apache2 and nginx are installed by scripts/setup.sh";
  const std::string a = site("a.test"), b = site("b.test"), c = site("c.test"), d = site("d.test");
  const int apachePort = freePort(), nginxPort = freePort();
  ASSERT_NE(apachePort, 0);
  const std::string run = install.path("run");
  fs::create_directories(run + "/ngx");
  const std::string apacheConf = run + "/httpd.conf", nginxConf = run + "/nginx.conf";
  std::ofstream(apacheConf) << "ServerRoot " << run << "\nListen 127.0.0.1:" << apachePort << "\nPidFile " << run << "/httpd.pid\n"
                            << "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
                            << "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
                            << "User nobody\nGroup nogroup\nServerName localhost\nErrorLog " << run << "/httpd_error.log\n"
                            << "Mutex file:" << run << "\nDefaultRuntimeDir " << run << "\n"
                            << R"(LogFormat "%h %l %u %t \"%r\" %>s %b \"%{Referer}i\" \"%{User-Agent}i\" %I %O" combinedio)" "\n"
                            << R"(LogFormat "%v:%p %h %l %u %t \"%r\" %>s %O \"%{Referer}i\" \"%{User-Agent}i\"" vhost_combined)" "\n"
                            << "<VirtualHost 127.0.0.1:" << apachePort << ">\nServerName a.test\nDocumentRoot " << a << "/www\n<Directory " << a
                            << "/www>\nRequire all granted\n</Directory>\nCustomLog " << a << "/logs/access_log combinedio\n</VirtualHost>\n"
                            << "<VirtualHost 127.0.0.1:" << apachePort << ">\nServerName b.test\nDocumentRoot " << b << "/www\n<Directory " << b
                            << "/www>\nRequire all granted\n</Directory>\nCustomLog " << b << "/logs/access_log vhost_combined\n</VirtualHost>\n";
  const std::string ext = R"($remote_addr - $remote_user [$time_local] "$request" $status $bytes_sent "$http_referer" "$http_user_agent" $request_length)";
  std::ofstream(nginxConf) << "daemon off;\nworker_processes 1;\npid " << run << "/nginx.pid;\nerror_log " << run << "/nginx_error.log;\n"
                           << "user nobody nogroup;\nevents { worker_connections 64; }\nhttp {\n"
                           << "client_body_temp_path " << run << "/ngx/body;\nproxy_temp_path " << run << "/ngx/proxy;\n"
                           << "fastcgi_temp_path " << run << "/ngx/fastcgi;\nuwsgi_temp_path " << run << "/ngx/uwsgi;\n"
                           << "scgi_temp_path " << run << "/ngx/scgi;\naccess_log off;\n"
                           << "log_format ext '" << ext << "';\n"
                           << "server { listen 127.0.0.1:" << nginxPort << "; server_name c.test; root " << c << "/www; access_log " << c
                           << "/logs/access.log ext; }\n"
                           << "server { listen 127.0.0.1:" << nginxPort << "; server_name d.test; root " << d << "/www; access_log " << d
                           << "/logs/access.log combined; }\n}\n";
  int64_t receivedA = 0, receivedB = 0, receivedC = 0;
  {
    // Zones far from UTC on both sides: the local day is mostly not the UTC day.
    LoopbackServer apache({"/usr/sbin/apache2", "-f", apacheConf, "-DFOREGROUND"}, "Pacific/Kiritimati", run + "/apache.out", apachePort);
    LoopbackServer nginx({"/usr/sbin/nginx", "-p", run + "/ngx", "-c", nginxConf}, "America/St_Johns", run + "/nginx.out", nginxPort);
    ASSERT_TRUE(apache.up()) << readFile(run + "/apache.out") << readFile(run + "/httpd_error.log");
    ASSERT_TRUE(nginx.up()) << readFile(run + "/nginx.out") << readFile(run + "/nginx_error.log");
    receivedA = requests("a.test", apachePort, a);
    receivedB = requests("b.test", apachePort, b);
    receivedC = requests("c.test", nginxPort, c);
    requests("d.test", nginxPort, d);
  }
  // c.test's format is the operator's; the others are known without a setting.
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\" + kAccessLogFormatsKey, L"c.test", text::fromAnsi(ext));

  LogCapture log;
  collector.processLogDirs(traffictest::at(2000, 1, 1), dirs, L"");

  const std::string q = "\"([^\"]*)\"";
  const Sums sumA = loggedSums(a + "/logs/access_log", R"((\S+) \S+ \S+ \[([^\]]+)\] )" + q + R"( (\d{3}) (\S+) )" + q + " " + q + R"( (\d+) (\d+))", 2, 9, 8);
  const Sums sumB = loggedSums(b + "/logs/access_log", R"(\S+ (\S+) \S+ \S+ \[([^\]]+)\] )" + q + R"( (\d{3}) (\d+) )" + q + " " + q, 2, 5, 0);
  const Sums sumC = loggedSums(c + "/logs/access.log", R"((\S+) \S+ \S+ \[([^\]]+)\] )" + q + R"( (\d{3}) (\d+) )" + q + " " + q + R"( (\d+))", 2, 5, 8);
  const Sums sumD = loggedSums(d + "/logs/access.log", R"((\S+) \S+ \S+ \[([^\]]+)\] )" + q + R"( (\d{3}) (\d+) )" + q + " " + q, 2, 5, 0);
  for (const Sums* s : {&sumA, &sumB, &sumC, &sumD}) EXPECT_EQ(s->lines, 6);
  expectCounted("a.test", sumA);
  expectCounted("b.test", sumB);
  expectCounted("c.test", sumC);
  expectCounted("d.test", sumD);
  // Where the format logs the bytes with their headers, out is what the client got.
  const auto out = [&](const char* name) {
    int64_t total = 0;
    for (const auto& [day, t] : model.findDomainByName(text::fromAnsi(name))->traffic[LogHttp]) total += t.sent;
    return total;
  };
  EXPECT_EQ(out("a.test"), receivedA);
  EXPECT_EQ(out("b.test"), receivedB);
  EXPECT_EQ(out("c.test"), receivedC);
  int64_t hits = 0;
  for (const auto& [day, n] : sitesHits) hits += n;
  EXPECT_EQ(hits, 24);
  // Only the logs without incoming bytes say so, once.
  const std::wstring text = log.text();
  const std::wstring note = L"Incoming bytes are not logged in ";
  EXPECT_NE(text.find(note), std::wstring::npos);
  EXPECT_EQ(text.find(note), text.rfind(note));
  EXPECT_EQ(text.find(L"were skipped"), std::wstring::npos) << text::toUtf8(text);
}

TEST_F(RealServersTest, ProftpdTransfersOfALocalLoginCountPerDomainAndDirection) {
  if (!fs::exists("/usr/sbin/proftpd")) GTEST_SKIP() << "proftpd-basic is installed by scripts/setup.sh";
  openWindows(addDomain(model, L"1", L"ftp.test"));
  model.ftpLoginDomains[L"alice"] = L"ftp.test";
  const std::string run = install.path("ftprun"), home = run + "/home", logs = run + "/logs";
  fs::create_directories(home);
  fs::create_directories(logs);
  fs::permissions(install.root(), fs::perms(0755));
  fs::permissions(run, fs::perms(0755));
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  std::ofstream(home + "/down.bin", std::ios::binary) << std::string(7777, 'f');
  const std::string hash = shell("openssl passwd -6 secret");
  std::ofstream(run + "/passwd") << "alice:" << hash.substr(0, hash.find('\n')) << ":65534:65534::" << home << ":/bin/false\n";
  std::ofstream(run + "/group") << "nogroup:x:65534:\n";
  chmod((run + "/passwd").c_str(), 0600);
  const int port = freePort();
  std::ofstream(run + "/proftpd.conf") << "ServerType standalone\nDefaultServer on\nServerName test\nPort " << port
                                       << "\nDefaultAddress 127.0.0.1\nUseIPv6 off\nUser nobody\nGroup nogroup\nPidFile " << run
                                       << "/proftpd.pid\nScoreboardFile " << run << "/scoreboard\nDelayTable none\nWtmpLog off\n"
                                       << "UseReverseDNS off\nAuthOrder mod_auth_file.c\nAuthUserFile " << run << "/passwd\nAuthGroupFile "
                                       << run << "/group\nRequireValidShell off\nTransferLog " << logs << "/xferlog\nSystemLog " << run
                                       << "/proftpd.log\nDefaultRoot ~\nAllowOverwrite on\n";
  const char* zone = "Asia/Kathmandu";  // +05:45
  {
    LoopbackServer ftpd({"/usr/sbin/proftpd", "-n", "-c", run + "/proftpd.conf"}, zone, run + "/ftpd.out", port);
    ASSERT_TRUE(ftpd.up()) << readFile(run + "/ftpd.out") << readFile(run + "/proftpd.log");
    const std::string client = "import ftplib, io\nf = ftplib.FTP()\nf.connect('127.0.0.1', " + std::to_string(port) +
                               ")\nf.login('alice', 'secret')\n"
                               "for i in range(2):\n  b = io.BytesIO(); f.retrbinary('RETR down.bin', b.write); print(len(b.getvalue()))\n"
                               "f.storbinary('STOR up.bin', io.BytesIO(b'u' * 1234))\nf.storbinary('STOR up2.bin', io.BytesIO(b'v' * 4321))\nf.quit()\n";
    std::ofstream(run + "/client.py") << client;
    EXPECT_EQ(shell("/usr/bin/python3 " + run + "/client.py"), "7777\n7777\n");
  }
  dirs.set(text::fromAnsi(logs), LogFtp, L"127.0.0.1", nullptr);
  // The log's times are the server's local time; the run reads them in its own zone.
  setenv("TZ", zone, 1);
  tzset();
  LogCapture log;
  collector.processLogDirs(traffictest::at(2000, 1, 1), dirs, L"");
  unsetenv("TZ");
  tzset();

  // Expected: the xferlog's own figures, on the UTC day of the local time.
  std::map<VDateTime, DayTraffic> want;
  std::istringstream in(readFile(logs + "/xferlog"));
  int transfers = 0;
  for (std::string line; std::getline(in, line); ++transfers) {
    std::tm t{};
    char dow[4], mon[4];
    int size = 0;
    char direction = 0;
    std::sscanf(line.c_str(), "%3s %3s %d %d:%d:%d %d %*d %*s %d %*s %*s %*s %c", dow, mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec,
                &t.tm_year, &size, &direction);
    t.tm_mon = static_cast<int>(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(mon) / 3);
    t.tm_year -= 1900;
    const time_t utc = timegm(&t) - (5 * 3600 + 45 * 60);
    std::tm u{};
    gmtime_r(&utc, &u);
    DayTraffic& day = want[traffictest::at(u.tm_year + 1900, u.tm_mon + 1, u.tm_mday)];
    (direction == 'o' ? day.sent : day.received) += size;
  }
  EXPECT_EQ(transfers, 4) << readFile(logs + "/xferlog");
  SCOPED_TRACE(text::toUtf8(log.text()));
  const DailyTraffic& got = model.findDomainByName(L"ftp.test")->traffic[LogFtp];
  ASSERT_EQ(got.size(), want.size());
  int64_t sent = 0, received = 0;
  for (const auto& [day, w] : want) {
    ASSERT_EQ(got.count(day), 1u);
    EXPECT_EQ(got.at(day).sent, w.sent);
    EXPECT_EQ(got.at(day).received, w.received);
    sent += got.at(day).sent;
    received += got.at(day).received;
  }
  EXPECT_EQ(sent, 2 * 7777);
  EXPECT_EQ(received, 1234 + 4321);
  EXPECT_TRUE(model.findDomainByName(L"ftp.test")->traffic[LogAnonFtp].empty());
}
