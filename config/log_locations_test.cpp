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
  DomainInfo& b = addDomain(L"2", L"b.example", true);  // no site directory on this host
  DomainInfo& c = addDomain(L"3", L"c.example", false);
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
  const std::vector<std::wstring> rotated = a.rotatedLogDirectories();
  ASSERT_EQ(rotated.size(), 3u);
  EXPECT_EQ(rotated[0], logs);
  EXPECT_EQ(rotated[1], text::fromAnsi(install.dataRoot() + "/ModSecurity/vhosts/guid-1/logs"));
  EXPECT_EQ(rotated[2], text::fromAnsi(install.vhostsRoot() + "/a.example/logs/php_errors/a.example"));
  EXPECT_EQ(a.webLogsDirectory, logs);
  EXPECT_EQ(a.reportedDefaultDocuments, L"home.html;index.php");
  EXPECT_EQ(b.webLogsDirectory, L"") << "reported without logs";
  EXPECT_EQ(b.reportedDefaultDocuments, L"");
  EXPECT_FALSE(c.reportedDefaultDocuments) << "only hosting domains are asked";
  EXPECT_TRUE(c.rotatedLogDirectories().empty());

  // FTP traffic alone: the web host utility still runs (the feeds need the
  // logs directory), but adds nothing to scan.
  a.webLogsDirectory.clear();
  a.reportedDefaultDocuments.reset();
  a.logDirectories.clear();
  a.rotateWebLogs = false;
  LogDirectoryMap none;
  getWebDomainLogs(model, FtpTraffic, none);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(a.webLogsDirectory, logs);
  EXPECT_FALSE(a.reportedDefaultDocuments);
  EXPECT_TRUE(a.rotatedLogDirectories().empty());
}

TEST_F(LogLocationsTest, ADomainWithoutAGuidOrWebspaceRotatesNoDirectoryAboveOtherDomains) {
  // The directories a domain without a GUID or webspace would otherwise
  // name: the one above every domain's ModSecurity logs, and a PHP error
  // directory under a domain called "logs".
  DomainInfo& a = addDomain(L"1", L"a.example", true);
  a.guid.clear();
  a.webspaceName.clear();
  DomainInfo& b = addDomain(L"2", L"b.example", true);
  b.guid = L"..";
  b.webspaceName = L"..";
  for (const char* name : {"a.example", "b.example"}) fs::create_directories(install.vhostsRoot() + "/" + name + "/logs");
  fs::create_directories(install.dataRoot() + "/ModSecurity/vhosts/logs");
  fs::create_directories(install.dataRoot() + "/ModSecurity/logs");
  fs::create_directories(install.vhostsRoot() + "/logs/php_errors/a.example");
  fs::create_directories(install.vhostsRoot() + "/../logs/php_errors/b.example");

  LogDirectoryMap map;
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_EQ(errors(), "");
  EXPECT_EQ(map.size(), 2u);
  for (DomainInfo* d : {&a, &b}) {
    const std::vector<std::wstring> rotated = d->rotatedLogDirectories();
    ASSERT_EQ(rotated.size(), 1u) << text::toUtf8(d->name);
    EXPECT_EQ(rotated[0], d->webLogsDirectory);
  }
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

  // An answer that breaks after a good domain element is read element by
  // element, yet costs every domain alike: nothing of it is used, and the
  // Error names the parser's fault and its line.
  fs::create_directories(install.vhostsRoot() + "/a.example/logs");
  testkit::writeFile(install.path("broken.xml"), "<?xml version=\"1.0\"?>\n<domains>\n<domain name=\"a.example\" logsDir=\"" +
                                                     install.vhostsRoot() + "/a.example/logs\"/>\n<domain name=\"b.example\"\n");
  testkit::writeFile(install.productRoot() + "/admin/bin/webhostctl", "#!/bin/sh\ncat '" + install.path("broken.xml") + "'\n");
  const size_t before = errors().size();
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(model.findDomainById(L"1")->webLogsDirectory, L"");
  EXPECT_TRUE(model.findDomainById(L"1")->rotatedLogDirectories().empty());
  e = errors().substr(before);
  EXPECT_NE(e.find("Unable to get log directory and default documents for domains"), std::string::npos) << e;
  EXPECT_NE(e.find(" at load xml <?xml"), std::string::npos) << e;
  EXPECT_NE(e.find(" in line 5"), std::string::npos) << e;
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

// Tenants write their sites' conf/default_docs; whatever they put there, the
// shipped utility's answer parses, each bad value costs only its own domain
// (with a Warning naming it), and every other domain keeps its log directory.
TEST_F(LogLocationsTest, ATenantsDefaultDocumentsCostOnlyThatDomain) {
  testkit::LogCapture warnings{LogLevel::Warning};
  testkit::TempDir elsewhere;
  testkit::writeFile(elsewhere.file("secret"), "root-only-line\n");
  const std::map<std::string, std::string> contents = {
      {"control.example", "index.html;\x01" "evil.php\n"},
      {"bytes.example", "index.html;caf\xe9\xff.php\n"},
      {"long.example", std::string(5000, 'x')},
      {"tab.example", "index.html\tmore\n"},
      {"good.example", "start.html;index.php\r\nsecond line\n"},
      {"unicode.example", "d\xc3\xa9marrage.html;\xe2\x82\xac.php\n"},
  };
  int id = 0;
  for (const auto& [name, content] : contents) {
    addDomain(std::to_wstring(++id), text::fromAnsi(name), true);
    fs::create_directories(install.vhostsRoot() + "/" + name + "/logs");
    fs::create_directories(install.vhostsRoot() + "/" + name + "/conf");
    testkit::writeFile(install.vhostsRoot() + "/" + name + "/conf/default_docs", content);
  }
  // A link to a root file, and a second name of one.
  for (const char* name : {"link.example", "hardlink.example"}) {
    addDomain(std::to_wstring(++id), text::fromAnsi(name), true);
    fs::create_directories(install.vhostsRoot() + "/" + name + "/logs");
    fs::create_directories(install.vhostsRoot() + "/" + name + "/conf");
  }
  fs::create_symlink(elsewhere.file("secret"), install.vhostsRoot() + "/link.example/conf/default_docs");
  fs::create_hard_link(elsewhere.file("secret"), install.vhostsRoot() + "/hardlink.example/conf/default_docs");

  LogDirectoryMap map;
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_EQ(errors(), "") << "the answer parses";
  EXPECT_EQ(map.size(), contents.size() + 2) << "every domain keeps its log directory";
  for (const auto& [dir, entry] : map) EXPECT_EQ(text::toUtf8(dir), install.vhostsRoot() + "/" + text::toUtf8(entry.ownerName) + "/logs");

  EXPECT_EQ(model.findDomainByName(L"good.example")->reportedDefaultDocuments, L"start.html;index.php");
  EXPECT_EQ(model.findDomainByName(L"unicode.example")->reportedDefaultDocuments, L"d\u00e9marrage.html;\u20ac.php");
  const std::string w = warnings.text();
  for (const char* bad : {"control.example", "bytes.example", "long.example", "tab.example", "link.example", "hardlink.example"}) {
    EXPECT_FALSE(model.findDomainByName(text::fromAnsi(bad))->reportedDefaultDocuments) << bad;
    EXPECT_NE(w.find(std::string("No default documents for domain '") + bad + "'"), std::string::npos) << bad << "\n" << w;
  }
  EXPECT_EQ(w.find("root-only-line"), std::string::npos) << "a linked file is never read";
  EXPECT_EQ(testkit::occurrences(w, "No default documents for domain"), 6u) << w;
  EXPECT_NE(w.find("U+0001"), std::string::npos) << w;
  EXPECT_NE(w.find("0xE9"), std::string::npos) << w;
  EXPECT_NE(w.find("longer than 4096 bytes"), std::string::npos) << w;
  EXPECT_NE(w.find("2 names (hard links)"), std::string::npos) << w;
}

// Another web host utility may report what this project's never does: each
// unusable directory costs only its domain, with a Warning naming it, and no
// such text reaches the log as a line of its own.
TEST_F(LogLocationsTest, AnUnusableReportedDirectoryCostsOnlyItsDomain) {
  testkit::LogCapture warnings{LogLevel::Warning};
  const std::string good = install.vhostsRoot() + "/good.example/logs";
  fs::create_directories(good);
  fs::create_directories(install.vhostsRoot() + "/rel.example/logs");
  const std::map<std::string, std::string> reported = {
      {"relative.example", "vhosts/rel.example/logs"},
      {"long.example", "/" + std::string(5000, 'a')},
      {"name.example", install.vhostsRoot() + "/" + std::string(300, 'n') + "/logs"},
      {"break.example", good + "&#10;Forged: line"},
      {"good.example", good},
  };
  std::string answer = "<?xml version=\"1.0\"?><domains>";
  int id = 0;
  for (const auto& [name, dir] : reported) {
    addDomain(std::to_wstring(++id), text::fromAnsi(name), true);
    answer += "<domain name=\"" + name + "\" logsDir=\"" + dir + "\" defaultDocs=\"a&#9;b\"/>";
  }
  answer += "</domains>";
  testkit::writeFile(install.path("answer.xml"), answer);
  testkit::writeFile(install.productRoot() + "/admin/bin/webhostctl", "#!/bin/sh\ncat '" + install.path("answer.xml") + "'\n");
  fs::permissions(install.productRoot() + "/admin/bin/webhostctl", fs::perms::owner_all);
  fs::current_path(install.root());  // where the relative path would lie

  LogDirectoryMap map;
  getWebDomainLogs(model, HttpTraffic, map);
  EXPECT_EQ(errors(), "");
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(text::toUtf8(map.begin()->first), good);
  const std::string w = warnings.text();
  for (const char* bad : {"relative.example", "long.example", "name.example", "break.example"}) {
    EXPECT_NE(w.find(std::string("of domain '") + bad + "' is not used"), std::string::npos) << bad << "\n" << w;
    EXPECT_EQ(model.findDomainByName(text::fromAnsi(bad))->webLogsDirectory, L"") << "nothing is ever written into " << bad << "'s";
  }
  EXPECT_EQ(w.find("\nForged: line"), std::string::npos) << w;
  EXPECT_NE(w.find("\\u000AForged: line"), std::string::npos) << w;
  EXPECT_EQ(model.findDomainByName(L"good.example")->webLogsDirectory, text::fromAnsi(good));
  for (const auto& [id, domain] : model.domainsById) EXPECT_FALSE(domain->reportedDefaultDocuments) << "a tab is no list of names";
  EXPECT_EQ(testkit::occurrences(w, "The default documents 'a\\u0009b' of domain"), reported.size()) << w;
}

// An FTP utility's answer that is not the exact path of an existing
// directory adds nothing for its address, with a Warning naming the address;
// the other addresses keep theirs.
TEST_F(LogLocationsTest, AnFtpAnswerThatIsNoDirectoryCostsOnlyItsAddress) {
  testkit::LogCapture warnings{LogLevel::Warning};
  // Addresses of their own: the answers are kept for the whole process.
  const std::string good = install.dataRoot() + "/ftp/logs/192.0.2.20";
  fs::create_directories(good);
  fs::create_directories(install.root() + "/relative");
  testkit::writeFile(install.productRoot() + "/admin/bin/ftphostctl",
                     "#!/bin/sh\ncase \"$2\" in\n"
                     "  *=192.0.2.1) head -c 5000 /dev/zero | tr '\\0' a ;;\n"
                     "  *=192.0.2.2) printf '/%0300d' 0 ;;\n"
                     "  *=192.0.2.3) printf '" + good + "\\n' ;;\n"
                     "  *=192.0.2.4) printf 'relative' ;;\n"
                     "  *=192.0.2.5) printf '/no/such/directory' ;;\n"
                     "  *) printf '" + good + "' ;;\nesac\n");
  fs::permissions(install.productRoot() + "/admin/bin/ftphostctl", fs::perms::owner_all);
  fs::current_path(install.root());
  model.ftpServerAddresses = {L"192.0.2.1", L"192.0.2.2", L"192.0.2.3", L"192.0.2.4", L"192.0.2.5", L"192.0.2.20"};
  LogDirectoryMap map;
  getFtpLogDirectories(model, FtpTraffic, map);
  EXPECT_EQ(errors(), "");
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(text::toUtf8(map.begin()->first), good);
  EXPECT_EQ(map.begin()->second.ownerName, L"192.0.2.20");
  const std::string w = warnings.text();
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"})
    EXPECT_NE(w.find(std::string("reported for ip = '") + address + "' is not used"), std::string::npos) << address << "\n" << w;
  EXPECT_NE(w.find("... (5000 characters)"), std::string::npos) << w;
}

TEST(LogDirectoryMapTest, EntriesKeepTheirPathsWhenADomainIsReportedAgainElsewhere) {
  DomainInfo a(L"1", L"a.example");
  a.webLogsDirectory = L"/v/a/logs";
  LogDirectoryMap map;
  map.set(a.webLogsDirectory, LogHttp, L"a.example", &a);
  map.set(L"/ftp/logs", LogFtp, L"192.0.2.1", nullptr);
  // A second report of the domain moves its directory: the first entry
  // still names the first directory, in path order.
  map.detach(a);
  a.webLogsDirectory = L"/v/a2/logs";
  map.set(a.webLogsDirectory, LogHttp, L"a.example", &a);
  std::vector<std::pair<std::wstring, std::wstring>> seen;
  for (const auto& [path, entry] : map) seen.emplace_back(path, entry.ownerName);
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"/ftp/logs", L"192.0.2.1"}, {L"/v/a/logs", L"a.example"}, {L"/v/a2/logs", L"a.example"}};
  EXPECT_EQ(seen, expected);
  // The domain's current directory and name are held once, by the domain.
  const auto current = std::prev(map.end());
  EXPECT_EQ(current->first.data(), a.webLogsDirectory.data());
  EXPECT_EQ(current->second.ownerName.data(), a.name.data());
}
