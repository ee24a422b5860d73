// Whole runs where one tenant's files, or one odd answer of a panel
// utility, would spoil the night for everybody: a tenant's default_docs with
// control characters, bytes that are no text or 256 MB of holes, an FTP
// utility answering 5,000 characters for one address. Every other domain's
// traffic is still counted, the utility stays small, and the disk usage of a
// tree thousands of levels deep is what du finds.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>

#include "support/fs.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/soak_results.h"
#include "tests/testkit.h"

namespace {

namespace fs = std::filesystem;

const char* kWebHeader = "#Software: Microsoft Internet Information Services\r\n#Version: 1.0\r\n#Date: 2026-11-01 00:00:00\r\n"
                         "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
                         "sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";
const char* kFtpHeader = "#Software: Microsoft FTP Service\r\n#Version: 1.0\r\n"
                         "#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-win32-status sc-bytes cs-bytes\r\n";

class TenantAnswersTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  testkit::TempDir tmp;
  std::mt19937 rng{2024};
  soak::Figures expected;

  void SetUp() override {
    registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1);
    for (const char* tool : {"webhostctl", "ftphostctl"})
      fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
    for (const char* d : {"a.example", "b.example", "c.example"}) fs::create_directories(site(d) + "/logs");
    fs::create_directories(ftpDir());
    testkit::writeFile(configPath(), R"(<?xml version="1.0"?>
<config>
  <domain id="1" name="a.example" hosting="true"/>
  <domain id="2" name="b.example" hosting="true"/>
  <domain id="3" name="c.example" hosting="true"/>
  <ftp>
    <user login="carol" domainId="3"/>
    <ip address="192.0.2.66"/>
    <ip address="192.0.2.10"/>
  </ftp>
</config>
)");
  }

  std::string configPath() const { return install.path("config.xml"); }
  std::string site(const std::string& domain) const { return install.vhostsRoot() + "/" + domain; }
  std::string ftpDir() const { return install.dataRoot() + "/ftp/logs/192.0.2.10"; }
  void defaultDocs(const std::string& domain, const std::string& content) {
    fs::create_directories(site(domain) + "/conf");
    testkit::writeFile(site(domain) + "/conf/default_docs", content);
  }
  // A default_docs of `size` bytes that are all holes.
  void sparseDefaultDocs(const std::string& domain, off_t size) {
    defaultDocs(domain, "");
    ASSERT_EQ(::truncate((site(domain) + "/conf/default_docs").c_str(), size), 0);
  }

  void webLines(const std::string& domainId, const std::string& domain, int n) {
    std::string out = kWebHeader;
    for (int i = 0; i < n; ++i) {
      const int64_t sc = rng() % 100000, cs = rng() % 2000;
      char line[512];
      snprintf(line, sizeof line, "2026-11-01 10:%02d:07 10.0.0.1 GET /p%d.html - 80 - 203.0.113.9 Mozilla/5.0 200 0 0 %lld %lld 15\r\n", i % 60, i,
               static_cast<long long>(sc), static_cast<long long>(cs));
      out += line;
      auto& v = expected[{domainId, "2026-11-01", "http"}];
      v.first += cs;
      v.second += sc;
    }
    testkit::writeFile(site(domain) + "/logs/ex261101.log", out);
  }

  testkit::ProgramResult run(std::vector<std::string> args, const std::string& results) {
    auto env = install.environment();
    env["TMPDIR"] = tmp.path();
    args.push_back("--config=" + configPath());
    args.push_back("--save-results-to=" + results);
    args.insert(args.begin(), {"-s", "KILL", "120", testkit::programPath("statistics")});
    return testkit::runProgram("/usr/bin/timeout", args, env);
  }
};

}  // namespace

TEST_F(TenantAnswersTest, OneTenantsDefaultDocsAndOneOddFtpAnswerLeaveEveryDomainsTrafficCounted) {
  defaultDocs("a.example", std::string("index.html;\x01") + "x\xff\xfe.php\n");
  sparseDefaultDocs("b.example", 256 << 20);
  defaultDocs("c.example", "home.html\n");
  webLines("1", "a.example", 40);
  webLines("2", "b.example", 30);
  webLines("3", "c.example", 20);
  std::string ftp = kFtpHeader;
  ftp += "2026-11-01 12:00:00 203.0.113.5 carol 192.0.2.10 21 sent /f.bin 226 0 5000 40\r\n";
  expected[{"3", "2026-11-01", "ftp"}] = {40, 5000};
  testkit::writeFile(ftpDir() + "/u_ex261101.log", ftp);
  // One address gets 5,000 characters for an answer; the other the real one.
  const std::string ftphostctl = install.productRoot() + "/admin/bin/ftphostctl";
  fs::rename(ftphostctl, ftphostctl + ".real");
  testkit::writeFile(ftphostctl, "#!/bin/sh\ncase \"$2\" in\n  *=192.0.2.66) head -c 5000 /dev/zero | tr '\\0' a ;;\n  *) exec \"$0.real\" \"$@\" ;;\nesac\n");
  fs::permissions(ftphostctl, fs::perms::owner_all);

  const std::string results = install.path("results.xml");
  const auto r = run({"--http-traffic", "--ftp-traffic"}, results);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string doc = testkit::readFile(results);
  ASSERT_TRUE(soak::complete(doc)) << doc;
  EXPECT_EQ(soak::parseTraffic(doc), expected) << doc;
  const std::string events = testkit::readFile(install.eventLogPath());
  EXPECT_EQ(events.find("Unable to get log directory"), std::string::npos) << events;
  for (const char* named : {"No default documents for domain 'a.example'", "No default documents for domain 'b.example'",
                            "reported for ip = '192.0.2.66' is not used"})
    EXPECT_NE(events.find(named), std::string::npos) << named << "\n" << events;
  EXPECT_EQ(events.find("for domain 'c.example'"), std::string::npos) << events;
}

// default_docs is one short line: a 256 MB file of holes costs the utility
// a bounded read, not its apparent size. The peak memory of the utility is
// measured in a child process of its own, whose only child it is.
TEST_F(TenantAnswersTest, AHugeSparseDefaultDocsKeepsTheWebHostUtilitySmall) {
  sparseDefaultDocs("a.example", 256 << 20);
  defaultDocs("b.example", "start.html;index.php\n");
  testkit::writeFile(install.path("request"), "a.example;b.example");
  const std::string answerPath = install.path("answer.xml");
  const std::string peakPath = install.path("peak");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto r = testkit::runProgram(install.productRoot() + "/admin/bin/webhostctl",
                                       {"--get-vhosts-statistics-info", "--config=" + install.path("request")}, install.environment());
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    testkit::writeFile(answerPath, r.output);
    testkit::writeFile(peakPath, std::to_string(r.exitCode) + " " + std::to_string(usage.ru_maxrss));
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int exitCode = -1;
  long peakKb = 0;
  ASSERT_EQ(std::sscanf(testkit::readFile(peakPath).c_str(), "%d %ld", &exitCode, &peakKb), 2);
  const std::string answer = testkit::readFile(answerPath);
  EXPECT_EQ(exitCode, 0) << answer;
  EXPECT_GT(peakKb, 0);
  EXPECT_LT(peakKb, 64 * 1024) << "peak resident size of webhostctl in KB";
  EXPECT_NE(answer.find("longer than 4096 bytes"), std::string::npos) << answer;
  EXPECT_NE(answer.find("defaultDocs=\"start.html;index.php\""), std::string::npos) << answer;
  for (unsigned char c : answer) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "the answer is plain ASCII: " << static_cast<int>(c);
}

// The disk usage of a site holding a chain 4,000 directories deep, with two
// sibling directories at every level, is what du finds in it (du counts the
// directories' own sizes too; find gives those).
TEST_F(TenantAnswersTest, TheDiskUsageOfADeepChainIsWhatDuFinds) {
  const std::string httpdocs = site("a.example") + "/httpdocs";
  fs::create_directories(httpdocs);
  const fs::path start = fs::current_path();
  fs::current_path(httpdocs);
  for (int i = 0; i < 4000; ++i) {
    for (const std::string& sibling : {"a" + std::to_string(i), "b" + std::to_string(i)}) {
      fs::create_directory(sibling);
      testkit::writeFile(sibling + "/f", std::string(static_cast<size_t>(rng() % 200), 'x'));
    }
    fs::create_directory("d");
    fs::current_path("d");
  }
  fs::current_path(start);
  const auto du = testkit::runProgram("/usr/bin/du", {"-s", "-b", "--apparent-size", httpdocs});
  const auto dirs = testkit::runProgram("/usr/bin/find", {httpdocs, "-type", "d", "-printf", "%s\\n"});
  ASSERT_EQ(du.exitCode, 0) << du.output;
  ASSERT_EQ(dirs.exitCode, 0) << dirs.output;
  int64_t directoriesOwn = 0, count = 0;
  for (size_t at = 0, end; (end = dirs.output.find('\n', at)) != std::string::npos; at = end + 1, ++count)
    directoriesOwn += std::stoll(dirs.output.substr(at, end - at));
  EXPECT_EQ(count, 4000 * 3 + 1);
  const int64_t reference = std::stoll(du.output) - directoriesOwn;

  const std::string results = install.path("results.xml");
  const auto r = run({"--disk-usage"}, results);
  const std::string doc = testkit::readFile(results);
  ASSERT_TRUE(soak::complete(doc)) << r.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(doc, m, std::regex(R"re(<du dom-id="1" httpdocs="(\d+)")re"))) << doc;
  EXPECT_EQ(std::stoll(m[1]), reference);
  vfs::removeTree(text::fromAnsi(httpdocs));
}
