#include "diskusage/disk_usage.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "app/results_writer.h"
#include "diskusage/du_test_support.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace fs = std::filesystem;
using dutest::makeFile;

namespace {

class DiskUsageTest : public ::testing::Test {
 protected:
  // A repository library that reports no dumps keeps the dump step quiet.
  void SetUp() override { fs::copy_file(DU_NULL_FACTORY_SO, install_.productRoot() + "/admin/bin/qmxrepository.so"); }
  std::string domainDir(const std::string& name = "example.com") const { return install_.vhostsRoot() + "/" + name; }
  std::wstring wDomainDir(const std::string& name = "example.com") const { return text::fromAnsi(domainDir(name)); }

  testkit::Installation install_;
  DomainModel model_;
};

DomainDiskUsage distinctRecord() {
  DomainDiskUsage r;
  r.httpdocs = 1;
  r.anonftp = 2;
  r.logs = 4;
  r.mysql_dbases = 8;
  r.mssql_dbases = 16;
  r.mailboxes = 32;
  r.webapps = 64;
  r.webusers = 128;
  r.domaindumps = 256;
  r.www_root = 512;
  return r;
}

// Scans a domain directory as a user whom permissions stop (root is not:
// as root the scan runs in a child that has given up root). Returns whether
// the directory categories stayed zero.
bool scanWithoutRoot(const std::wstring& path) {
  auto scan = [&] {
    DomainDiskUsage r;
    scanDomainDirectory(path, r);
    return r.httpdocs + r.anonftp + r.logs + r.webusers == 0;
  };
  if (::geteuid() != 0) return scan();
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0;
    ::_exit(!dropped ? 3 : scan() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_F(DiskUsageTest, ClassifiesTopLevelEntriesByNameIgnoringCase) {
  makeFile(domainDir() + "/httpdocs/index.html", 100);
  makeFile(domainDir() + "/httpdocs/logs/old.log", 10);  // only top-level names count
  makeFile(domainDir() + "/cgi-bin/run.cgi", 20);
  makeFile(domainDir() + "/ANON_FTP/pub/file", 30);
  makeFile(domainDir() + "/LOGS/access_log", 40);
  makeFile(domainDir() + "/Web_Users/joe/page.html", 50);
  makeFile(domainDir() + "/stray.txt", 5);

  DomainDiskUsage r;
  scanDomainDirectory(wDomainDir(), r);
  EXPECT_EQ(r.httpdocs, 135u);
  EXPECT_EQ(r.anonftp, 30u);
  EXPECT_EQ(r.logs, 40u);
  EXPECT_EQ(r.webusers, 50u);
  EXPECT_EQ(r.mysql_dbases + r.mssql_dbases + r.mailboxes + r.webapps + r.domaindumps + r.www_root, 0u);

  // A top-level "logs" that is a plain file still counts as logs.
  fs::remove_all(domainDir() + "/LOGS");
  makeFile(domainDir() + "/logs", 7);
  DomainDiskUsage again;
  scanDomainDirectory(wDomainDir(), again);
  EXPECT_EQ(again.logs, 7u);
}

TEST_F(DiskUsageTest, AMissingDomainDirectoryGivesZerosWithoutAMessage) {
  dutest::LogCapture capture({LogLevel::Warning, LogLevel::Error});
  DomainDiskUsage r;
  scanDomainDirectory(wDomainDir("missing.example"), r);
  scanDomainDirectory(text::fromAnsi(install_.path("no/such/vhosts/missing.example")), r);
  EXPECT_EQ(r.httpdocs + r.anonftp + r.logs + r.webusers, 0u);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(DiskUsageTest, ADomainDirectoryThatCannotBeListedGivesOneWarningAndZeros) {
  makeFile(install_.path("elsewhere/httpdocs/big"), 5000);
  fs::create_directory_symlink(install_.path("elsewhere"), domainDir("linked.example"));
  makeFile(domainDir("file.example"), 9);

  for (const std::string name : {"linked.example", "file.example"}) {
    dutest::LogCapture capture({LogLevel::Warning, LogLevel::Error});
    DomainDiskUsage r;
    scanDomainDirectory(wDomainDir(name), r);
    EXPECT_EQ(r.httpdocs + r.anonftp + r.logs + r.webusers, 0u) << name;
    EXPECT_EQ(capture.count("Unable to scan directory " + domainDir(name) + "/*.* : "), 1u) << capture.text();
    EXPECT_EQ(dutest::occurrences(capture.text(), "Unable to scan"), 1u);
  }

  // The other categories of such a domain are still measured.
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"linked.example");
  domain.wwwRoot = text::fromAnsi(install_.path("elsewhere/httpdocs"));
  domain.mailboxUsage = {{L"info", 300}};
  DiskUsageCalculator calculator(model_);
  const DomainDiskUsage r = calculator.calculateDiskSpace(domain);
  EXPECT_EQ(r.httpdocs, 0u);
  EXPECT_EQ(r.www_root, 5000u);
  EXPECT_EQ(r.mailboxes, 300u);
}

TEST_F(DiskUsageTest, ADomainDirectoryWithoutPermissionIsWarnedAbout) {
  makeFile(domainDir() + "/httpdocs/index.html", 10);
  fs::permissions(domainDir(), fs::perms::none);
  dutest::LogCapture capture({LogLevel::Warning});
  EXPECT_TRUE(scanWithoutRoot(wDomainDir()));
  fs::permissions(domainDir(), fs::perms::owner_all);
  EXPECT_EQ(capture.count("Unable to scan directory " + domainDir() + "/*.* : Access is denied."), 1u) << capture.text();
}

TEST_F(DiskUsageTest, TotalsTheCategoriesWhoseParameterIsExactlyTrue) {
  const DomainDiskUsage r = distinctRecord();
  EXPECT_EQ(totalDiskSpace(model_, r), 1u + 2 + 128);

  const std::pair<const wchar_t*, uint64_t> includes[] = {{L"include_mysql_databases", 8},  {L"include_mssql_databases", 16},
                                                          {L"include_logs", 4},             {L"include_mailboxes", 32},
                                                          {L"include_webapps", 64},         {L"include_domaindumps", 256}};
  for (const auto& [name, field] : includes) {
    DomainModel single;
    single.params[name] = L"true";
    EXPECT_EQ(totalDiskSpace(single, r), 131u + field) << text::toUtf8(name);
    single.params[name] = L"TRUE";
    EXPECT_EQ(totalDiskSpace(single, r), 131u) << text::toUtf8(name);
    single.params[name] = L"true ";
    EXPECT_EQ(totalDiskSpace(single, r), 131u) << text::toUtf8(name);
  }
  for (const auto& [name, field] : includes) model_.params[name] = L"true";
  // Everything but the document root, which lies inside httpdocs anyway.
  EXPECT_EQ(totalDiskSpace(model_, r), 511u);

  DomainDiskUsage huge;
  huge.httpdocs = UINT64_MAX - 1;
  huge.anonftp = 1;
  EXPECT_EQ(totalDiskSpace(DomainModel{}, huge), UINT64_MAX);
}

TEST_F(DiskUsageTest, CalculatesEveryCategoryOfADomain) {
  makeFile(domainDir() + "/httpdocs/index.html", 100);
  makeFile(domainDir() + "/logs/access_log", 40);
  makeFile(domainDir() + "/anon_ftp/f", 3);
  makeFile(install_.dataRoot() + "/ModSecurity/vhosts/guid-1/logs/audit.log", 60);
  makeFile(install_.dataRoot() + "/ModSecurity/vhosts/logs/not-ours.log", 1000);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"guid-1";
  domain.wwwRoot = wDomainDir() + L"/httpdocs";
  domain.mailboxUsage = {{L"info", 1000}, {L"sales", 234}};

  DiskUsageCalculator calculator(model_);
  DomainDiskUsage r = calculator.calculateDiskSpace(domain);
  EXPECT_EQ(r.httpdocs, 100u);
  EXPECT_EQ(r.anonftp, 3u);
  EXPECT_EQ(r.logs, 100u);
  EXPECT_EQ(r.www_root, 100u);
  EXPECT_EQ(r.mailboxes, 1234u);
  EXPECT_EQ(r.mysql_dbases + r.mssql_dbases + r.webapps + r.domaindumps, 0u);

  // Mail disk usage is skipped by a value that begins with "true" in any case.
  model_.params[L"not_count_mail_disk_usage"] = L"TRUE";
  EXPECT_EQ(calculator.calculateDiskSpace(domain).mailboxes, 0u);
  model_.params[L"not_count_mail_disk_usage"] = L"false";
  EXPECT_EQ(calculator.calculateDiskSpace(domain).mailboxes, 1234u);

  // Without a document root or GUID those figures are 0.
  domain.wwwRoot.clear();
  domain.guid.clear();
  r = calculator.calculateDiskSpace(domain);
  EXPECT_EQ(r.www_root, 0u);
  EXPECT_EQ(r.logs, 40u);
}

TEST_F(DiskUsageTest, ADomainFailureCarriesTheDomainContext) {
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"HTTPD_VHOSTS_D");
  DiskUsageCalculator calculator(model_);
  try {
    calculator.calculateDiskSpace(domain);
    FAIL() << "measured without the virtual hosts directory";
  } catch (const vexception& e) {
    const ExceptionLocation& outer = e.trace().back();
    EXPECT_EQ(outer.context, L"calculateDiskSpace domainName=example.com");
    EXPECT_EQ(outer.function, "statistics::calculateDiskSpace");
  }
}

TEST_F(DiskUsageTest, SavesTheRecordAndItsTotalAsADuElement) {
  DomainInfo& domain = dutest::addDomain(model_, L"17", L"example.com");
  model_.params[L"include_logs"] = L"true";
  dutest::LogCapture capture({LogLevel::Info});
  const std::string document =
      dutest::writeResults(install_.path("results.xml"), [&](ResultsWriter& results) { saveDiskSpace(results, model_, domain, distinctRecord()); });

  const auto du = dutest::duAttributes(document, "17");
  ASSERT_FALSE(du.empty()) << document;
  EXPECT_EQ(du.at("httpdocs"), 1u);
  EXPECT_EQ(du.at("anonftp"), 2u);
  EXPECT_EQ(du.at("logs"), 4u);
  EXPECT_EQ(du.at("mysqlDbases"), 8u);
  EXPECT_EQ(du.at("mssqlDbases"), 16u);
  EXPECT_EQ(du.at("mailboxes"), 32u);
  EXPECT_EQ(du.at("webapps"), 64u);
  EXPECT_EQ(du.at("webusers"), 128u);
  EXPECT_EQ(du.at("dumpSize"), 256u);
  EXPECT_EQ(du.at("wwwRoot"), 512u);
  EXPECT_EQ(du.at("totalSpace"), 135u);

  EXPECT_EQ(capture.count("Results calculateDiskSpace for domain example.com: httpdocs=1, anonftp=2, logs=4, mysql_dbases=8, mssql_dbases=16, "
                          "mailboxes=32, webapps=64, webusers=128, www_root=512"),
            1u)
      << capture.text();
  EXPECT_EQ(capture.count("Save disk_usage results..."), 1u);
}
