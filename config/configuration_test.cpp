#include "config/configuration.h"

#include <gtest/gtest.h>

#include "config/xml.h"
#include "support/logging.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class ConfigurationTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  DomainModel model;

  void load(const std::string& xml) {
    const std::string path = install.path("config.xml");
    testkit::writeFile(path, xml);
    loadConfiguration(model, text::fromAnsi(path));
  }
};

}  // namespace

TEST_F(ConfigurationTest, ReadsDomainsWithTheirSettingsAndLookups) {
  load(R"(<?xml version="1.0"?>
<config>
  <domain id="10" name="b.example" guid="G-10" hosting="true" calculateMail="TRUE" wwwRoot="/srv/b" webspaceName="ws" webStatType="awstats" tomcatService="truex">
    <alias name="www.b.example"/><alias name="b2.example"/>
    <logRotation enabled="True x" maxNumberOfFiles="12abc" rotateBySize="false" period="daily" email="ops@b.example"/>
  </domain>
  <domain id="2" name="a.example" hosting="1"/>
  <ftp>
    <user login="bob" domainId="10"/>
    <ip address="10.0.0.1"/><ip address="10.0.0.1"/>
    <anon-ip address="10.0.0.9" domainId="2"/>
  </ftp>
  <database-server id="1" type="MySQL" host="db1" login="root" password="pw" port="3306">
    <db name="shop" domainId="10"/>
  </database-server>
  <database-server id="1" type="mysql" host="db-other">
    <db name="blog" domainId="10"/>
  </database-server>
  <database-server id="3" type="MsSql" host="sql">
    <db name="crm" domainId="2"/>
  </database-server>
  <database-server id="4" type="oracle" host="ora"><db name="x" domainId="2"/></database-server>
  <mail><box name="info" domainId="10"/><box name="sales" domainId="10"/></mail>
  <antivirus LastAntivirusStatisticLog="2016-01-01" LastSpamStatisticLog="2016-01-02"/>
  <param name="LastSpamStatisticLog" value="2016-02-02"/>
  <param name="include_logs" value="true"/>
</config>)");

  ASSERT_EQ(model.domainsById.size(), 2u);
  // Ordered by the id text: "10" before "2".
  EXPECT_EQ(model.domainsById.begin()->first, L"10");
  DomainInfo* b = model.findDomainByName(L"b.example");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->guid, L"G-10");
  EXPECT_TRUE(b->hosting);
  EXPECT_TRUE(b->calculateMail);
  EXPECT_TRUE(b->tomcatService);
  EXPECT_EQ(b->webStatType, L"awstats");
  EXPECT_EQ(b->aliases, (std::vector<std::wstring>{L"www.b.example", L"b2.example"}));
  EXPECT_TRUE(b->logRotation.enabled);
  EXPECT_EQ(b->logRotation.maxNumberOfFiles, 12);
  EXPECT_EQ(b->logRotation.period, L"daily");
  // A present element without "compress" means no compression.
  EXPECT_FALSE(b->logRotation.compress);
  EXPECT_EQ(b->mailNames, (std::vector<std::wstring>{L"info", L"sales"}));

  DomainInfo* a = model.findDomainById(L"2");
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->hosting) << "\"1\" is not true";
  EXPECT_TRUE(a->logRotation.compress) << "an absent element keeps compression on";
  EXPECT_FALSE(a->logRotation.enabled);

  EXPECT_EQ(model.findDomainByName(L"B.example"), nullptr) << "names are case-sensitive";
  EXPECT_EQ(model.ftpLoginDomains.at(L"bob"), L"b.example");
  EXPECT_EQ(model.ftpServerAddresses.size(), 2u);
  EXPECT_EQ(model.anonFtpDomains.at(L"10.0.0.9"), L"a.example");

  // Two servers of one id share one entry, keeping the first element's fields.
  ASSERT_EQ(b->mysqlDatabases.size(), 1u);
  EXPECT_EQ(b->mysqlDatabases.begin()->first.host, L"db1");
  EXPECT_EQ(b->mysqlDatabases.begin()->second, (std::vector<std::wstring>{L"shop", L"blog"}));
  ASSERT_EQ(a->mssqlDatabases.size(), 1u);
  EXPECT_TRUE(a->mysqlDatabases.empty()) << "an unknown type is ignored";

  EXPECT_EQ(model.params.at(L"LastAntivirusStatisticLog"), L"2016-01-01");
  EXPECT_EQ(model.params.at(L"LastSpamStatisticLog"), L"2016-02-02") << "a param overrides the antivirus attribute";
  EXPECT_EQ(model.param(L"include_logs"), L"true");
  EXPECT_EQ(model.param(L"missing"), L"");
}

TEST_F(ConfigurationTest, UnresolvedReferencesWarnAndLoadingGoesOn) {
  testkit::LogCapture console{LogLevel::Warning};
  load(R"(<c>
  <domain id="1" name="one"/>
  <ftp><user login="ghost" domainId="9"/><user login="real" domainId="1"/><anon-ip address="1.2.3.4" domainId="8"/></ftp>
  <database-server id="1" type="mysql" host="h"><db name="d" domainId="7"/></database-server>
  <mail><box name="m" domainId="6"/></mail>
</c>)");
  const std::string out = console.text();

  EXPECT_EQ(model.ftpLoginDomains.count(L"real"), 1u) << "loading goes on after a bad reference";
  EXPECT_EQ(model.ftpLoginDomains.count(L"ghost"), 0u);
  EXPECT_NE(out.find("Unable to find domain for FTP login ghost on domain id = 9"), std::string::npos) << out;
  EXPECT_NE(out.find("Unable to find domain for anonymous FTP address 1.2.3.4, domain id = 8"), std::string::npos) << out;
  EXPECT_NE(out.find("Unable to find domain for database d on server h (mysql)"), std::string::npos) << out;
  EXPECT_NE(out.find("Unable to find domain for mailname m on domain id = 6"), std::string::npos) << out;
}

TEST_F(ConfigurationTest, DuplicateIdsKeepTheLaterRecordUnderBothNames) {
  load(R"(<c><domain id="1" name="first"/><domain id="1" name="second" hosting="true"/></c>)");
  ASSERT_EQ(model.domainsById.size(), 1u);
  EXPECT_EQ(model.findDomainByName(L"first")->name, L"second");
  EXPECT_EQ(model.findDomainByName(L"second")->name, L"second");
}

TEST_F(ConfigurationTest, OnlyParametersGiveNoDomains) {
  load(R"(<c><param name="a" value="1"/><param name="a" value="2"/></c>)");
  EXPECT_TRUE(model.domainsById.empty());
  EXPECT_EQ(model.param(L"a"), L"2");
}

TEST_F(ConfigurationTest, MalformedOrMissingDocumentsNameThePathAndTheReason) {
  const std::string path = install.path("bad.xml");
  testkit::writeFile(path, "<c>\n<domain id=\"1\">\n</c>\n");
  try {
    loadConfiguration(model, text::fromAnsi(path));
    FAIL() << "no error";
  } catch (const vexception& e) {
    const std::string msg = text::toUtf8(e.message());
    EXPECT_NE(msg.find(" at load " + path), std::string::npos) << msg;
    EXPECT_NE(msg.find("line 3"), std::string::npos) << msg;
  }
  try {
    loadConfiguration(model, text::fromAnsi(install.path("missing.xml")));
    FAIL() << "no error";
  } catch (const vexception& e) {
    EXPECT_NE(text::toUtf8(e.message()).find(" at load " + install.path("missing.xml")), std::string::npos);
  }
  EXPECT_TRUE(model.domainsById.empty());
}

TEST(XmlTest, LoadXmlReportsReasonTextAndLine) {
  try {
    vxmlLoadXML(L"<a>\n<b></a>");
    FAIL();
  } catch (const vexception& e) {
    const std::wstring m = e.message();
    EXPECT_NE(m.find(L" at load xml <a>\n<b></a> in line 2"), std::wstring::npos) << text::toUtf8(m);
  }
}

TEST(XmlTest, EntitiesAreNeitherReadFromFilesNorExpanded) {
  // An external entity naming a local file must not pull its content in.
  XmlDocument doc = vxmlLoadXML(L"<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a v=\"1\">&x;</a>");
  EXPECT_EQ(getAttribute(doc.root(), "v"), L"1");
  EXPECT_EQ(getAttribute(doc.root(), "missing", L"dflt"), L"dflt");
  // A billion-laughs document is refused or left unexpanded, never blown up.
  std::wstring bomb = L"<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
  wchar_t prev = L'a';
  for (wchar_t c = L'b'; c <= L'k'; ++c) {
    bomb += L"<!ENTITY ";
    bomb += c;
    bomb += L" \"";
    for (int i = 0; i < 10; ++i) {
      bomb += L'&';
      bomb += prev;
      bomb += L';';
    }
    bomb += L"\">";
    prev = c;
  }
  bomb += L"]><l v=\"&k;\"/>";
  try {
    XmlDocument big = vxmlLoadXML(bomb);
    EXPECT_LT(getAttribute(big.root(), "v").size(), 1000000u);
  } catch (const vexception&) {
    SUCCEED();
  }
}

TEST(ConfigurationValuesTest, BooleansAndIntegersReadLeniently) {
  EXPECT_TRUE(readBoolean(L"TRUE"));
  EXPECT_TRUE(readBoolean(L"True x"));
  EXPECT_TRUE(readBoolean(L"truex"));
  EXPECT_FALSE(readBoolean(L"1"));
  EXPECT_FALSE(readBoolean(L"yes"));
  EXPECT_FALSE(readBoolean(L""));
  EXPECT_FALSE(readBoolean(L"tru"));
  EXPECT_EQ(readInteger(L"12abc"), 12);
  EXPECT_EQ(readInteger(L"abc"), 0);
  EXPECT_EQ(readInteger(L"  -7"), -7);
  EXPECT_EQ(readInteger(L"+3"), 3);
}
