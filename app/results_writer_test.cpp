#include "app/results_writer.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "app/results_data.h"
#include "config/domain.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

VDateTime day(const wchar_t* text) { return VDateTime::parsed(text, L"YMD"); }

}  // namespace

TEST(ResultsWriterTest, WritesEveryElementKindWithAttributesInOrder) {
  testkit::Installation install;
  const std::string path = install.path("results.xml");
  DomainInfo d(L"42", L"example.com");
  {
    ResultsWriter w;
    w.setOutputFile(text::fromAnsi(path));
    w.beginDocument();
    w.writeTraffic(d, day(L"2016-03-01"), L"http", 5, 0);
    w.writeSitePages(day(L"2016-03-07"), 3);
    w.writeMailMessages(day(L"2016-03-07"), 4);
    w.writeMailbox(d, L"info<&>\"", 1024);
    w.writeDiskUsage(d, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
    w.writeAntivirus(L"summary", L"2016-03-07", L"infected", 2);
    w.endDocument();
  }
  const std::string doc = testkit::readFile(path);
  EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << doc;
  EXPECT_NE(doc.find("<traffic dom-id=\"42\" date=\"2016-03-01\" type=\"http\" in=\"5\" out=\"0\"/>"), std::string::npos) << doc;
  EXPECT_NE(doc.find("<sitepages date=\"2016-03-07\" value=\"3\"/>"), std::string::npos);
  EXPECT_NE(doc.find("<mailmessages date=\"2016-03-07\" value=\"4\"/>"), std::string::npos);
  EXPECT_NE(doc.find("<mail dom-id=\"42\" name=\"info&lt;&amp;&gt;&quot;\" value=\"1024\"/>"), std::string::npos) << doc;
  // "webusers" comes before "dumpSize" although the dumps are passed first.
  EXPECT_NE(doc.find("<du dom-id=\"42\" httpdocs=\"1\" anonftp=\"2\" logs=\"3\" mysqlDbases=\"4\" mssqlDbases=\"5\" mailboxes=\"6\" "
                     "webapps=\"7\" webusers=\"9\" dumpSize=\"8\" wwwRoot=\"10\" totalSpace=\"11\"/>"),
            std::string::npos)
      << doc;
  EXPECT_NE(doc.find("<av type=\"summary\" date=\"2016-03-07\" name=\"infected\" value=\"2\"/>"), std::string::npos);
  EXPECT_NE(doc.find("</data>"), std::string::npos);
}

TEST(ResultsWriterTest, SavesTablesOldestFirstAndOnlyLockedDomainsWhenAsked) {
  testkit::Installation install;
  const std::string path = install.path("results.xml");
  DomainsById domains;
  auto locked = std::make_shared<DomainInfo>(L"1", L"locked.example");
  auto other = std::make_shared<DomainInfo>(L"2", L"other.example");
  locked->traffic[LogHttp][day(L"2016-03-02")] = DayTraffic{10, 20};
  locked->traffic[LogHttp][day(L"2016-03-01")] = DayTraffic{1, 2};
  locked->traffic[LogFtp][day(L"2016-03-01")] = DayTraffic{7, 0};
  locked->traffic[LogSmtpIn][day(L"2016-03-01")] = DayTraffic{100, 200};
  other->traffic[LogHttp][day(L"2016-03-01")] = DayTraffic{3, 4};
  domains[L"1"] = locked;
  domains[L"2"] = other;
  locked->businessLock.lock();
  SitesHits hits{{day(L"2016-03-02"), 9}, {day(L"2016-03-01"), 8}};
  {
    ResultsWriter w;
    w.setOutputFile(text::fromAnsi(path));
    w.beginDocument();
    saveTrafficData(w, domains, 0, 2, true);
    saveSitesHitsData(w, hits);
    saveTrafficData(w, domains, 3, 5, false);
    w.endDocument();
  }
  const std::string doc = testkit::readFile(path);
  const size_t first = doc.find("dom-id=\"1\" date=\"2016-03-01\" type=\"http\" in=\"2\" out=\"1\"");
  const size_t second = doc.find("dom-id=\"1\" date=\"2016-03-02\" type=\"http\" in=\"20\" out=\"10\"");
  const size_t ftp = doc.find("dom-id=\"1\" date=\"2016-03-01\" type=\"ftp\" in=\"0\" out=\"7\"");
  ASSERT_NE(first, std::string::npos) << doc;
  ASSERT_NE(second, std::string::npos);
  ASSERT_NE(ftp, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(second, ftp);
  EXPECT_EQ(doc.find("dom-id=\"2\" date=\"2016-03-01\" type=\"http\""), std::string::npos) << "an unlocked domain is skipped";
  EXPECT_LT(doc.find("<sitepages date=\"2016-03-01\" value=\"8\"/>"), doc.find("<sitepages date=\"2016-03-02\" value=\"9\"/>"));
  EXPECT_NE(doc.find("type=\"smtpin\" in=\"200\" out=\"100\""), std::string::npos);
  locked->businessLock.unlock();
}

TEST(ResultsWriterTest, UnwritableTargetsFailLoudly) {
  testkit::Installation install;
  ResultsWriter missingDir;
  EXPECT_THROW(missingDir.setOutputFile(text::fromAnsi(install.path("no/such/dir/r.xml"))), vosexception);

  // A full disk surfaces when the document is ended, never as success, and
  // the document is not taken as complete.
  ResultsWriter full;
  full.setOutputFile(L"/dev/full");
  full.beginDocument();
  DomainInfo d(L"1", L"a");
  bool completed = false;
  EXPECT_THROW(
      {
        for (int i = 0; i < 1000; ++i) full.writeAntivirus(L"summary", L"2016-01-01", L"x", 1);
        full.endDocument([&] { completed = true; });
      },
      vexception);
  EXPECT_FALSE(completed);

  // Every byte is written, but the file cannot be brought to disk (fsync of
  // a device fails): still not complete, and the error names the file.
  ResultsWriter unsynced;
  unsynced.setOutputFile(L"/dev/null");
  unsynced.beginDocument();
  unsynced.writeAntivirus(L"summary", L"2016-01-01", L"x", 1);
  try {
    unsynced.endDocument([&] { completed = true; });
    ADD_FAILURE() << "endDocument succeeded without bringing the file to disk";
  } catch (const vexception& e) {
    EXPECT_NE(text::toUtf8(e.fullText()).find("/dev/null"), std::string::npos) << text::toUtf8(e.fullText());
  }
  EXPECT_FALSE(completed);
}

// Tab, LF and CR are XML characters: they come back from a parser as they
// were, not normalised to blanks. A value beyond Unicode gets the long form.
TEST(ResultsWriterTest, KeepsWhiteSpaceAndEscapesValuesBeyondUnicode) {
  testkit::Installation install;
  const std::string path = install.path("results.xml");
  {
    ResultsWriter w;
    w.setOutputFile(text::fromAnsi(path));
    w.beginDocument();
    w.writeAntivirus(L"recipients", L"2016-01-01", L"a\tb\nc\rd", 1);
    w.writeAntivirus(L"viruses", L"2016-01-01", std::wstring(L"x") + static_cast<wchar_t>(0x110000) + L"y", 1);
    w.endDocument();
  }
  const std::string doc = testkit::readFile(path);
  xmlDocPtr parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "results.xml", nullptr, XML_PARSE_NONET);
  ASSERT_NE(parsed, nullptr) << doc;
  std::vector<std::string> names;
  for (xmlNodePtr n = xmlDocGetRootElement(parsed)->children; n; n = n->next) {
    xmlChar* name = xmlGetProp(n, reinterpret_cast<const xmlChar*>("name"));
    names.emplace_back(reinterpret_cast<const char*>(name));
    xmlFree(name);
  }
  xmlFreeDoc(parsed);
  EXPECT_EQ(names, (std::vector<std::string>{"a\tb\nc\rd", "x\\U00110000y"}));
}

// Elements held while the slow steps run land, byte for byte, where the
// document stands when they are written: set aside in an unnamed file of
// the temporary directory, or in memory where none can be made there. Many
// of them (more than one read's worth) keep their order and none is lost.
TEST(ResultsWriterTest, HeldElementsLandWhereTheyAreWrittenWhetherSetAsideOnDiskOrInMemory) {
  testkit::Installation install;
  DomainInfo d(L"7", L"held.example");
  const auto document = [&](const std::string& name) {
    const std::string path = install.path(name);
    ResultsWriter w;
    w.setOutputFile(text::fromAnsi(path));
    w.beginDocument();
    w.writeTraffic(d, day(L"2016-03-01"), L"http", 1, 2);
    w.holdElements();
    for (int i = 0; i < 3000; ++i) w.writeMailbox(d, L"box" + std::to_wstring(i), i);
    w.writeDiskUsage(d, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
    w.releaseElements();
    w.writeMailMessages(day(L"2016-03-07"), 4);
    w.writeHeldElements();
    w.writeAntivirus(L"summary", L"2016-03-07", L"infected", 2);
    w.endDocument();
    return testkit::readFile(path);
  };
  const std::string onDisk = document("disk.xml");
  const std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", install.path("no-such-directory").c_str(), 1);
  const std::string inMemory = document("memory.xml");
  ::setenv("TMPDIR", oldTmp.c_str(), 1);
  if (oldTmp.empty()) ::unsetenv("TMPDIR");

  EXPECT_EQ(onDisk, inMemory);
  const size_t traffic = onDisk.find("<traffic "), messages = onDisk.find("<mailmessages "), first = onDisk.find("name=\"box0\""),
               last = onDisk.find("name=\"box2999\""), du = onDisk.find("<du "), av = onDisk.find("<av ");
  ASSERT_NE(last, std::string::npos) << onDisk.substr(onDisk.size() > 2000 ? onDisk.size() - 2000 : 0);
  EXPECT_LT(traffic, messages);
  EXPECT_LT(messages, first) << "held: written after what followed them";
  EXPECT_LT(first, last);
  EXPECT_LT(last, du);
  EXPECT_LT(du, av);
  EXPECT_EQ(testkit::occurrences(onDisk, "<mail "), 3000u);
  EXPECT_NE(onDisk.find("</data>"), std::string::npos);
}
