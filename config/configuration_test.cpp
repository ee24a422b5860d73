#include "config/configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The document is read element by element: references may come before the
// domains they name, and what each reference finds is still decided by the
// whole document, its warnings after every domain's line.
TEST_F(ConfigurationTest, ReferencesBeforeTheirDomainsResolveAgainstTheWholeDocument) {
  testkit::LogCapture console{LogLevel::Info, LogLevel::Warning};
  load(R"(<c>
  <mail><box name="early" domainId="5"/><box name="nobody" domainId="404"/></mail>
  <database-server id="1" type="mysql" host="h"><db name="d1" domainId="5"/><db name="lost" domainId="405"/></database-server>
  <ftp><anon-ip address="1.1.1.1" domainId="406"/><user login="u" domainId="5"/><user login="ghost" domainId="407"/></ftp>
  <domain id="5" name="first-name"/>
  <param name="LastSpamStatisticLog" value="from-param"/>
  <domain id="5" name="final-name"><alias name="www.final"/></domain>
  <antivirus LastAntivirusStatisticLog="av" LastSpamStatisticLog="from-antivirus"/>
  <mail><box name="second-mail-element" domainId="5"/></mail>
</c>)");
  DomainInfo* d = model.findDomainById(L"5");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->name, L"final-name");
  EXPECT_EQ(d->aliases, std::vector<std::wstring>{L"www.final"});
  EXPECT_EQ(d->mailNames, std::vector<std::wstring>{L"early"}) << "only the first mail element counts";
  ASSERT_EQ(d->mysqlDatabases.size(), 1u);
  EXPECT_EQ(d->mysqlDatabases.begin()->second, std::vector<std::wstring>{L"d1"});
  EXPECT_EQ(model.ftpLoginDomains.at(L"u"), L"final-name") << "the reference takes the record that stands at the end";
  EXPECT_EQ(model.param(L"LastSpamStatisticLog"), L"from-param") << "a param wins over the antivirus element wherever it stands";
  EXPECT_EQ(model.param(L"LastAntivirusStatisticLog"), L"av");

  // Every domain's line first, then the warnings kind by kind: FTP logins,
  // anonymous FTP addresses, databases, mailboxes.
  const std::string out = console.text();
  std::vector<size_t> at;
  for (const char* line : {"Domain first-name ordered to process", "Domain final-name ordered to process", "FTP login ghost",
                           "anonymous FTP address 1.1.1.1", "database lost", "mailname nobody"}) {
    at.push_back(out.find(line));
    ASSERT_NE(at.back(), std::string::npos) << line << " in\n" << out;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << out;
  EXPECT_EQ(testkit::occurrences(out, "ordered to process"), 2u) << out;
}

// A document broken after some domains were read gives no model at all, no
// domain's line, and names its fault as a parse of the whole text does (the
// reader's own pieces would call a truncated document "extra content").
TEST_F(ConfigurationTest, ADocumentBrokenHalfwayLeavesTheModelAsItWasAndNamesItsFault) {
  std::string good = "<?xml version=\"1.0\"?>\n<config>\n";
  for (int i = 0; i < 2000; ++i) good += "  <domain id=\"" + std::to_string(i) + "\" name=\"site" + std::to_string(i) + ".example\"/>\n";
  good += "  <mail><box name=\"info\" domainId=\"7\"/></mail>\n  <param name=\"p\" value=\"1\"/>\n</config>\n";
  const std::string broken[] = {
      good.substr(0, good.size() - 2),
      good.substr(0, good.find("<mail>") + 9),
      good.substr(0, good.size() / 2) + "<bad attr>" + good.substr(good.size() / 2),
      good.substr(0, good.size() / 2) + "&undeclared;" + good.substr(good.size() / 2),
      good.substr(0, good.size() - 12) + "</nope></config>\n",
      "",
      "no markup",
      "<config/>\n<second/>",
  };
  const std::string path = install.path("broken.xml");
  for (const bool preloaded : {false, true}) {
    DomainModel target;
    if (preloaded) {
      testkit::writeFile(path, "<c><domain id=\"1\" name=\"kept\"/><param name=\"p\" value=\"old\"/></c>");
      loadConfiguration(target, text::fromUtf8(path));
    }
    for (const std::string& doc : broken) {
      testkit::writeFile(path, doc);
      std::wstring expected;
      try {
        vxmlLoad(text::fromUtf8(path));
      } catch (const vexception& e) {
        expected = e.message();
      }
      ASSERT_FALSE(expected.empty()) << doc.substr(doc.size() > 80 ? doc.size() - 80 : 0);
      testkit::LogCapture console{LogLevel::Info, LogLevel::Warning};
      try {
        loadConfiguration(target, text::fromUtf8(path));
        ADD_FAILURE() << "no error for " << doc.substr(doc.size() > 80 ? doc.size() - 80 : 0);
      } catch (const vexception& e) {
        EXPECT_EQ(text::toUtf8(e.message()), text::toUtf8(expected));
        EXPECT_NE(text::toUtf8(e.message()).find(" at load " + path), std::string::npos);
      }
      EXPECT_EQ(console.text(), "");
      EXPECT_EQ(target.domainsById.size(), preloaded ? 1u : 0u);
      EXPECT_EQ(target.domainIdsByName.size(), preloaded ? 1u : 0u);
      EXPECT_EQ(target.param(L"p"), preloaded ? L"old" : L"");
    }
  }
}

// What the reader hands over for each element is what the tree gave: an
// entity is never read from a file nor expanded into a bomb.
TEST_F(ConfigurationTest, EntitiesInTheDocumentAreNeitherReadFromFilesNorExpanded) {
  const std::string secret = install.path("secret.txt");
  testkit::writeFile(secret, "SECRET-CONTENT");
  std::string dtd = "<!ENTITY x SYSTEM \"file://" + secret + "\"><!ENTITY e0 \"0123456789\">";
  for (int level = 1; level <= 10; ++level) {
    dtd += "<!ENTITY e" + std::to_string(level) + " \"";
    for (int i = 0; i < 10; ++i) dtd += "&e" + std::to_string(level - 1) + ";";
    dtd += "\">";
  }
  const std::string documents[] = {
      "<!DOCTYPE c [" + dtd + "]><c><domain id=\"1\" name=\"&x;\" wwwRoot=\"&e10;\">&x;&e10;<alias name=\"&e10;\"/></domain></c>",
      "<!DOCTYPE c [" + dtd + "]><c><domain id=\"1\" name=\"n\"/><param name=\"p\" value=\"&x;&e10;\"/><mail><box name=\"&x;\" domainId=\"1\"/></mail></c>",
  };
  for (const std::string& xml : documents) {
    DomainModel loaded;
    testkit::writeFile(install.path("entities.xml"), xml);
    try {
      loadConfiguration(loaded, text::fromUtf8(install.path("entities.xml")));
    } catch (const vexception&) {
      continue;  // refusing the document is as safe
    }
    size_t shown = 0;
    for (const auto& [id, d] : loaded.domainsById) {
      std::wstring all = d->name + d->wwwRoot;
      for (const auto& a : d->aliases) all += a;
      for (const auto& m : d->mailNames) all += m;
      EXPECT_EQ(text::toUtf8(all).find("SECRET"), std::string::npos);
      shown += all.size();
    }
    for (const auto& [name, value] : loaded.params) {
      EXPECT_EQ(text::toUtf8(value).find("SECRET"), std::string::npos);
      shown += value.size();
    }
    EXPECT_LT(shown, 100000u);
  }
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
