#include "config/log_locations.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/params.h"
#include "support/logging.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

namespace fs = std::filesystem;

// An installation whose admin/bin holds the panel utilities this project
// ships, and a console capture for the Errors they cause.
class LogLocationsTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  DomainModel model;
  testkit::LogCapture console{LogLevel::Error};

  void SetUp() override {
    for (const char* tool : {"webhostctl", "ftphostctl"})
      fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
  }
  std::string errors() { return console.text(); }
  DomainInfo& addDomain(const std::wstring& id, const std::wstring& name, bool hosting) {
    auto d = std::make_shared<DomainInfo>(id, name);
    d->hosting = hosting;
    d->guid = L"guid-" + id;
    d->webspaceName = name;
    model.domainsById[id] = d;
    model.domainIdsByName[name] = id;
    return *d;
  }
};

}  // namespace

TEST_F(LogLocationsTest, WebLogDirectoriesComeFromTheWebHostUtility) {
  DomainInfo& a = addDomain(L"1", L"a.example", true);
  addDomain(L"2", L"b.example", true);  // no site directory on this host
  addDomain(L"3", L"c.example", false);
  fs::create_directories(install.vhostsRoot() + "/a.example/logs");
  fs::create_directories(install.vhostsRoot() + "/a.example/logs/php_errors/a.example");
  fs::create_directories(install.vhostsRoot() + "/a.example/conf");
  testkit::writeFile(install.vhostsRoot() + "/a.example/conf/default_docs", "home.html;index.php\n");
  fs::create_directories(install.dataRoot() + "/ModSecurity/vhosts/guid-1/logs");
  fs::create_directories(install.vhostsRoot() + "/c.example/logs");

  LogDirectoryMap map;
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_EQ(errors(), "");
  const std::wstring logs = text::fromAnsi(install.vhostsRoot() + "/a.example/logs");
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->first, logs);
  EXPECT_EQ(map.begin()->second.kind, LogHttp);
  EXPECT_EQ(map.begin()->second.ownerName, L"a.example");
  EXPECT_EQ(map.begin()->second.domain, &a);
  // The IIS logs, the ModSecurity logs and the PHP error logs, in that order.
  ASSERT_EQ(a.logDirectories.size(), 3u);
  EXPECT_EQ(a.logDirectories[0], logs);
  EXPECT_EQ(a.logDirectories[1], text::fromAnsi(install.dataRoot() + "/ModSecurity/vhosts/guid-1/logs"));
  EXPECT_EQ(a.logDirectories[2], text::fromAnsi(install.vhostsRoot() + "/a.example/logs/php_errors/a.example"));
  EXPECT_EQ(model.defaultDocumentsByDomain.at(L"a.example"), L"home.html;index.php");
  EXPECT_EQ(model.webLogDirectories.at(L"b.example"), L"") << "a reported domain without logs is stored empty";
  EXPECT_EQ(model.webLogDirectories.count(L"c.example"), 0u) << "only hosting domains are asked";

  // FTP traffic alone: the web host utility still runs, but adds nothing to scan.
  DomainModel ftpOnly;
  ftpOnly.domainsById = model.domainsById;
  ftpOnly.domainIdsByName = model.domainIdsByName;
  LogDirectoryMap none;
  getWebDomainLogs(ftpOnly, FtpTraffic, none);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(ftpOnly.webLogDirectories.count(L"a.example"), 1u);
  EXPECT_TRUE(ftpOnly.defaultDocumentsByDomain.empty());
}

TEST_F(LogLocationsTest, AMissingOrFailingWebHostUtilityIsOneErrorAndTheRunGoesOn) {
  addDomain(L"1", L"a.example", true);
  fs::remove(install.productRoot() + "/admin/bin/webhostctl");
  LogDirectoryMap map;
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_TRUE(map.empty());
  std::string e = errors();
  EXPECT_NE(e.find("Unable to find path of 'webhostctl'"), std::string::npos) << e;
  EXPECT_NE(e.find("Unable to get log directory and default documents for domains"), std::string::npos) << e;

  testkit::writeFile(install.productRoot() + "/admin/bin/webhostctl", "#!/bin/sh\necho 'database is down' >&2\nexit 1\n");
  fs::permissions(install.productRoot() + "/admin/bin/webhostctl", fs::perms::owner_all);
  getWebDomainLogs(model, HttpTraffic, map);
  e = errors();
  EXPECT_NE(e.find("failed with error code 1: database is down"), std::string::npos) << e;
  EXPECT_NE(e.find("Execute webhostctl --get-vhosts-statistics-info \"--config="), std::string::npos) << e;
}

TEST_F(LogLocationsTest, FtpDirectoriesAreAskedOncePerAddress) {
  fs::create_directories(install.dataRoot() + "/ftp/logs/192.0.2.10");
  model.ftpServerAddresses = {L"192.0.2.10", L"192.0.2.10", L"192.0.2.99"};
  LogDirectoryMap map;
  getFtpLogDirectories(model, HttpTraffic, map);
  EXPECT_TRUE(map.empty()) << "only FTP traffic or FTP web statistics ask";
  getFtpLogDirectories(model, FtpTraffic, map);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->first, text::fromAnsi(install.dataRoot() + "/ftp/logs/192.0.2.10"));
  EXPECT_EQ(map.begin()->second.kind, LogFtp);
  EXPECT_EQ(map.begin()->second.ownerName, L"192.0.2.10");
  EXPECT_EQ(map.begin()->second.domain, nullptr);
  // The unknown address failed once; the cache keeps it from being asked again.
  const std::string e = errors();
  EXPECT_NE(e.find("getFtpLogDirectory for ip = 192.0.2.99"), std::string::npos) << e;
  EXPECT_EQ(e.find("getFtpLogDirectory for ip = 192.0.2.99"), e.rfind("getFtpLogDirectory for ip = 192.0.2.99"));
}
