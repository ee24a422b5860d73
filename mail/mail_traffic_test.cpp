#include "mail/mail_traffic.h"

#include <gtest/gtest.h>

#include "mail/testing/mail_test_support.h"
#include "support/process.h"
#include "support/testing/testenv.h"

using mailtest::addDomain;
using mailtest::LogCapture;
using mailtest::occurrences;

namespace {

VDateTime day(int y, int m, int d) {
  VDateTime t;
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  return t;
}

std::wstring marker() {
  std::wstring value;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, value);
  return value;
}

// One traffic call of the test provider, as it recorded it.
struct Call {
  std::string start, end, names;
};

class MailTrafficTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  testenv::ScopedEnv trace{"HALVEX_TEST_MAIL_TRACE", install.path("trace.txt")};
  DomainModel model;
  halvex::logging::LogStorage storage;
  CommitActions commit;
  MailMessagesSent messages;

  void SetUp() override { mailtest::useTestProvider("good"); }

  void process(const std::wstring& fromDate = L"") {
    processMailTraffic(model.domainsById, model.domainIdsByName, fromDate, messages, storage, commit);
  }

  std::vector<Call> calls() {
    std::vector<Call> out;
    std::istringstream lines(testkit::fileExists(install.path("trace.txt")) ? testkit::readFile(install.path("trace.txt")) : "");
    for (std::string line; std::getline(lines, line);) {
      const size_t a = line.find('|'), b = line.find('|', a + 1);
      out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return out;
  }
};

}  // namespace

TEST_F(MailTrafficTest, TheSixCountersLandInTheirKindsAndDirections) {
  DomainInfo& a = addDomain(model, L"1", L"a.example");
  DomainInfo& b = addDomain(model, L"2", L"b.example", false);
  a.traffic[LogSmtpIn][day(2024, 3, 1)] = DayTraffic{1, 2};  // counted before: added to
  process();
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].names, "a.example") << "only domains that count mail are asked for";

  const DayTraffic smtpOut = a.traffic[LogSmtpOut].at(day(2024, 3, 1));
  const DayTraffic smtpIn = a.traffic[LogSmtpIn].at(day(2024, 3, 1));
  const DayTraffic pop = a.traffic[LogPop].at(day(2024, 3, 1));
  EXPECT_EQ(smtpOut.sent, 10);
  EXPECT_EQ(smtpOut.received, 20);
  EXPECT_EQ(smtpIn.sent, 31);
  EXPECT_EQ(smtpIn.received, 42);
  EXPECT_EQ(pop.sent, 50);
  EXPECT_EQ(pop.received, 60);
  for (int kind = 0; kind < 3; ++kind) EXPECT_TRUE(a.traffic[kind].empty());
  for (int kind = 0; kind < kLogKinds; ++kind) EXPECT_TRUE(b.traffic[kind].empty());

  // The end's date: (1..6) times the name's length.
  const VDateTime today = VDateTime::parsed(text::fromAnsi(calls()[0].end), L"YMDhms").datePart();
  EXPECT_EQ(a.traffic[LogSmtpOut].at(today).sent, 9);
  EXPECT_EQ(a.traffic[LogSmtpOut].at(today).received, 18);
  EXPECT_EQ(a.traffic[LogSmtpIn].at(today).sent, 27);
  EXPECT_EQ(a.traffic[LogSmtpIn].at(today).received, 36);
  EXPECT_EQ(a.traffic[LogPop].at(today).sent, 45);
  EXPECT_EQ(a.traffic[LogPop].at(today).received, 54);
  EXPECT_EQ(messages.at(today), 7u);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(MailTrafficTest, TheStepWritesKindsThreeToFiveAndTheMessagesSent) {
  addDomain(model, L"1", L"a.example");
  addDomain(model, L"2", L"b.example", false);
  mailtest::ResultsFile results(install.path("results.xml"));
  runMailTrafficStep(results.writer, model, L"", storage, commit);
  commit.commit();
  const std::string doc = results.finish();
  EXPECT_NE(doc.find("<traffic dom-id=\"1\" date=\"2024-03-01\" type=\"smtpin\" in=\"40\" out=\"30\"/>"), std::string::npos) << doc;
  EXPECT_NE(doc.find("<traffic dom-id=\"1\" date=\"2024-03-01\" type=\"smtpout\" in=\"20\" out=\"10\"/>"), std::string::npos) << doc;
  EXPECT_NE(doc.find("<traffic dom-id=\"1\" date=\"2024-03-01\" type=\"pop3imap\" in=\"60\" out=\"50\"/>"), std::string::npos) << doc;
  EXPECT_EQ(occurrences(doc, "<traffic "), 6u) << "two days of three kinds; the unknown name is ignored:\n" << doc;
  EXPECT_EQ(doc.find("dom-id=\"2\""), std::string::npos);
  const std::string today = text::toUtf8(VDateTime::parsed(text::fromAnsi(calls()[0].end), L"YMDhms").formatDate());
  EXPECT_NE(doc.find("<mailmessages date=\"" + today + "\" value=\"7\"/>"), std::string::npos) << doc;
  EXPECT_LT(doc.find("<traffic "), doc.find("<mailmessages "));
}

TEST_F(MailTrafficTest, TheWindowStartsWhereTheLastOneEndedOnceCommitted) {
  addDomain(model, L"1", L"a.example");
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, L"2024/03/01 12:34:56");
  process();
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].start, "2024/03/01 12:34:56");
  EXPECT_EQ(marker(), L"2024/03/01 12:34:56") << "the marker waits for the commit";
  ASSERT_EQ(commit.size(), 1u);
  commit.commit();
  EXPECT_EQ(text::toUtf8(marker()), calls()[0].end);

  process();
  commit.commit();
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].start, calls()[0].end) << "the next window starts exactly at the last end";

  // A run that is not committed records nothing.
  process();
  commit.discard();
  EXPECT_EQ(text::toUtf8(marker()), calls()[1].end);
}

TEST_F(MailTrafficTest, TheStartFallsBackFromTheFromDateToTheRunMarkers) {
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, L"2024/03/01 12:34:56");
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun", L"2023/01/02 03:04:05");
  process(L"2007/04/06 18:02:32");
  commit.commit();
  EXPECT_EQ(calls().back().start, "2007/04/06 18:02:32");
  EXPECT_EQ(text::toUtf8(marker()), calls().back().end) << "a from-date still moves the marker";
  EXPECT_EQ(calls().back().names, "") << "no domain counts mail: the provider is asked all the same";

  registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue);
  process();
  EXPECT_EQ(calls().back().start, "2023/01/02 03:04:05");
  registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun");
  process();
  EXPECT_EQ(calls().back().start, "0000/00/00 00:00:00");
}

TEST_F(MailTrafficTest, ConsumedFilesAreRetiredOnlyAfterTheMarkerIsWritten) {
  const std::string first = install.path("mail.log.1"), second = install.path("mail.log.2.gz");
  testenv::ScopedEnv consumed("HALVEX_TEST_MAIL_CONSUMED", first + ":" + second + ":" + first);
  process();
  EXPECT_EQ(storage.size(), 0u);
  commit.commit();
  EXPECT_EQ(storage.size(), 2u) << "each path once, the empty one ignored";
  EXPECT_TRUE(storage.contains(text::fromAnsi(first)));
  EXPECT_TRUE(storage.contains(text::fromAnsi(second)));

  halvex::logging::LogStorage untouched;
  processMailTraffic(model.domainsById, model.domainIdsByName, L"", messages, untouched, commit);
  commit.discard();
  EXPECT_EQ(untouched.size(), 0u) << "an uncommitted window retires nothing";
}

TEST_F(MailTrafficTest, AProviderThatFailsIsAnErrorAndRecordsNothing) {
  DomainInfo& a = addDomain(model, L"1", L"a.example");
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, L"2024/03/01 12:34:56");
  mailtest::useTestProvider("throwing");
  {
    LogCapture log({LogLevel::Error});
    process();
    EXPECT_NE(log.text().find("the test provider cannot read its mail log\n   at Calculate mail traffic(statistics::processMailTraffic line "),
              std::string::npos)
        << log.text();
  }
  EXPECT_EQ(commit.size(), 0u);
  EXPECT_TRUE(a.traffic[LogSmtpIn].empty());

  const std::string missing = install.path("missing/libprovider.so");
  mailtest::useProvider(missing);
  mailtest::ResultsFile results(install.path("results.xml"));
  {
    LogCapture log({LogLevel::Error});
    runMailTrafficStep(results.writer, model, L"", storage, commit);
    const std::string text = log.text();
    EXPECT_NE(text.find("Unable to load library " + missing), std::string::npos) << text;
    EXPECT_NE(text.find("   at Load mail provider("), std::string::npos) << text;
    EXPECT_NE(text.find("   at Calculate mail traffic(statistics::processMailTraffic line "), std::string::npos) << text;
  }
  commit.commit();
  EXPECT_EQ(marker(), L"2024/03/01 12:34:56");
  EXPECT_EQ(occurrences(results.finish(), "<traffic "), 0u);
}

TEST_F(MailTrafficTest, AStartThatIsNoDateOrLiesAheadIsAnErrorAndRecordsNothing) {
  addDomain(model, L"1", L"a.example");
  for (const std::wstring stored : {L"garbage", L"2024/13/45 10:00:00", L"2999/01/01 00:00:00"}) {
    registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, stored);
    LogCapture log({LogLevel::Error});
    process();
    EXPECT_NE(log.text().find("\n   at Calculate mail traffic(statistics::processMailTraffic line "), std::string::npos) << log.text();
    EXPECT_EQ(commit.size(), 0u);
    EXPECT_TRUE(calls().empty()) << "the provider is not asked";
    EXPECT_EQ(marker(), stored);
  }
  LogCapture log({LogLevel::Error});
  process(L"not a date");
  EXPECT_NE(log.text().find("Invalid start of the mail traffic window 'not a date'"), std::string::npos) << log.text();
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, kLastMailTrafficValue, L"2999/01/01 00:00:00");
  process();
  EXPECT_NE(log.text().find("The mail traffic window starts at 2999/01/01 00:00:00, after its end "), std::string::npos) << log.text();
}

TEST_F(MailTrafficTest, TheStepHoldsItsLockUntilTheWindowIsRecorded) {
  addDomain(model, L"1", L"a.example");
  mailtest::ResultsFile results(install.path("results.xml"));
  runMailTrafficStep(results.writer, model, L"", storage, commit);
  uint32_t owner = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"MailTrafficLockStatus", owner, RegView32);
  EXPECT_EQ(owner, process::currentId());
  commit.commit();
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"MailTrafficLockStatus", owner, RegView32);
  EXPECT_EQ(owner, 0u);
  EXPECT_FALSE(marker().empty());
}

TEST_F(MailTrafficTest, TheStepIsSkippedSilentlyWhileAnotherInstanceHoldsTheLock) {
  addDomain(model, L"1", L"a.example");
  // A live process of its own: a shell that prints its id, then waits.
  testenv::Child holder("/bin/sh", {"-c", "echo $$; exec cat"});
  const uint32_t holderPid = static_cast<uint32_t>(std::stoul(holder.readLine()));
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"MailTrafficLockStatus", holderPid, RegView32);

  mailtest::ResultsFile results(install.path("results.xml"));
  LogCapture log({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  runMailTrafficStep(results.writer, model, L"", storage, commit);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(calls().empty()) << "the provider is not asked";
  EXPECT_EQ(commit.size(), 0u);
  commit.commit();
  EXPECT_TRUE(marker().empty());
  EXPECT_EQ(occurrences(results.finish(), "<traffic "), 0u);
  uint32_t owner = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"MailTrafficLockStatus", owner, RegView32);
  EXPECT_EQ(owner, holderPid);

  // Once the holder has ended, its lock is taken over.
  holder.kill(SIGKILL);
  holder.wait();
  mailtest::ResultsFile later(install.path("later.xml"));
  runMailTrafficStep(later.writer, model, L"", storage, commit);
  EXPECT_EQ(calls().size(), 1u);
}

TEST(MailTrafficRecordTest, EveryKindOfAReportedDayGetsItsEntry) {
  testkit::Installation install;
  DomainInfo domain(L"1", L"a.example");
  addMailTraffic(domain, day(2024, 3, 1), mailhostctl::MailTrafficRecord{0, 0, 5, 0, 0, 0});
  addMailTraffic(domain, day(2024, 3, 1), mailhostctl::MailTrafficRecord{0, 0, 0, 7, 0, 0});
  ASSERT_EQ(domain.traffic[LogSmtpIn].size(), 1u);
  EXPECT_EQ(domain.traffic[LogSmtpIn].at(day(2024, 3, 1)).sent, 5);
  EXPECT_EQ(domain.traffic[LogSmtpIn].at(day(2024, 3, 1)).received, 7);
  // The day's other kinds are written too, at 0.
  for (int kind : {LogSmtpOut, LogPop}) {
    ASSERT_EQ(domain.traffic[kind].count(day(2024, 3, 1)), 1u) << kind;
    EXPECT_EQ(domain.traffic[kind].at(day(2024, 3, 1)).sent, 0);
    EXPECT_EQ(domain.traffic[kind].at(day(2024, 3, 1)).received, 0);
  }
  EXPECT_EQ(domain.traffic[LogPop].count(day(2024, 3, 2)), 0u) << "a day not reported gets nothing";
}
