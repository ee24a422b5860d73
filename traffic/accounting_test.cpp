#include "traffic/accounting.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/business_lock.h"
#include "support/registry.h"
#include "support/vaformat.h"
#include "tests/testkit.h"
#include "traffic/traffic_test_support.h"
#include "traffic/w3c.h"

namespace {

using traffictest::addDomain;
using traffictest::at;
using traffictest::LogCapture;
using traffictest::setWindow;

const std::vector<std::wstring> kWebFields = {L"date", L"time", L"cs-method", L"cs-uri-stem", L"sc-status", L"sc-bytes", L"cs-bytes"};
const std::vector<std::wstring> kFtpFields = {L"date", L"time", L"c-ip", L"cs-username", L"cs-method", L"sc-bytes", L"cs-bytes"};

W3CRecord webRecord(const std::wstring& date, const std::wstring& time, const std::wstring& sent, const std::wstring& received) {
  return W3CRecord(kWebFields, date + L" " + time + L" GET /index.html 200 " + sent + L" " + received);
}

W3CRecord ftpRecord(const std::wstring& method, const std::wstring& sent, const std::wstring& received) {
  return W3CRecord(kFtpFields, L"2016-12-07 10:00:00 192.168.1.9 alice " + method + L" " + sent + L" " + received);
}

class TrafficAccountingTest : public ::testing::Test {
 protected:
  TrafficAccountingTest() : domain(addDomain(model, L"1", L"a.com")), accounting(model, nullptr) {}

  testkit::Installation install;
  DomainModel model;
  DomainInfo& domain;
  const SitesHits& sitesHits = domain.pageHits;
  TrafficAccounting accounting;
  const std::wstring logPath = L"/logs/a.com/ex161207.log";
};

}  // namespace

TEST(IsValidLogDateTest, AcceptsCalendarDatesAndRejectsOthersWithAWarning) {
  LogCapture log;
  EXPECT_TRUE(isValidLogDate(at(2000, 2, 29)));  // divisible by 400: a leap year
  EXPECT_TRUE(isValidLogDate(at(2016, 2, 29)));
  EXPECT_TRUE(isValidLogDate(at(2016, 4, 30)));
  EXPECT_TRUE(isValidLogDate(at(2016, 12, 31)));
  EXPECT_EQ(log.text(), L"");

  EXPECT_FALSE(isValidLogDate(at(2100, 2, 29)));  // divisible by 100 only: no leap year
  EXPECT_TRUE(log.contains(L"Invalid datetime 2100/02/29 skipped"));
  EXPECT_FALSE(isValidLogDate(at(2015, 2, 29)));
  EXPECT_FALSE(isValidLogDate(at(2016, 4, 31)));
  EXPECT_FALSE(isValidLogDate(at(2016, 13, 1)));
  EXPECT_FALSE(isValidLogDate(at(2016, 0, 10)));
  EXPECT_TRUE(log.contains(L"Invalid datetime 2016/00/10 skipped"));
  // No calendar has a day 0: such a line would be counted on a date that
  // does not exist.
  EXPECT_FALSE(isValidLogDate(at(2016, 1, 0)));
  EXPECT_TRUE(log.contains(L"Invalid datetime 2016/01/00 skipped"));
  // A line without any date.
  EXPECT_FALSE(isValidLogDate(VDateTime{}));
}

TEST(AcceptFtpMethodTest, AcceptsSentAndCreatedOnlyAndSaysWhatItSees) {
  LogCapture log;
  bool download = false;
  EXPECT_TRUE(acceptFtpMethod(ftpRecord(L"sent", L"1", L"2"), download));
  EXPECT_TRUE(download);
  EXPECT_TRUE(log.contains(L"FTP csMethod='sent'"));
  EXPECT_TRUE(acceptFtpMethod(ftpRecord(L"CREATED", L"1", L"2"), download));
  EXPECT_FALSE(download);
  EXPECT_TRUE(acceptFtpMethod(ftpRecord(L"SeNt", L"1", L"2"), download));
  EXPECT_TRUE(download);

  // A bracketed prefix is dropped up to the last "]".
  EXPECT_TRUE(acceptFtpMethod(ftpRecord(L"[12]x]created", L"1", L"2"), download));
  EXPECT_FALSE(download);
  EXPECT_TRUE(log.contains(L"FTP csMethod='[12]x]created'"));
  EXPECT_TRUE(log.contains(L"truncate FTP csMethod='created'"));

  for (const wchar_t* method : {L"RETR", L"retr", L"STOR", L"sentx", L"-", L"[1]"}) {
    EXPECT_FALSE(acceptFtpMethod(ftpRecord(method, L"1", L"2"), download)) << text::toUtf8(method);
  }
  EXPECT_TRUE(log.contains(L"csMethod != 'sent' and csMethod != 'created' - skip"));
  // A record without the field at all.
  EXPECT_FALSE(acceptFtpMethod(W3CRecord({L"date"}, L"2016-12-07"), download));
}

TEST_F(TrafficAccountingTest, CountsBytesAndHitsOfTheLinesInsideTheWindow) {
  setWindow(domain.httpLogWindow, at(2016, 12, 7, 10, 0, 0), at(2016, 12, 8, 10, 0, 0));
  struct Line {
    VDateTime time;
    std::wstring date, clock, sent, received;
    bool inWindow;
  };
  const std::vector<Line> lines = {
      {at(2016, 12, 7, 9, 59, 59), L"2016-12-07", L"09:59:59", L"1000", L"1", false},
      {at(2016, 12, 7, 10, 0, 0), L"2016-12-07", L"10:00:00", L"2000", L"20", true},  // the start: counted
      {at(2016, 12, 7, 23, 59, 59), L"2016-12-07", L"23:59:59", L"4000", L"40", true},
      {at(2016, 12, 8, 0, 0, 0), L"2016-12-08", L"00:00:00", L"8000", L"80", true},
      {at(2016, 12, 8, 9, 0, 0), L"2016-12-08", L"09:00:00", L"-", L"160", true},  // no byte figure: a hit all the same
      {at(2016, 12, 8, 9, 59, 59), L"2016-12-08", L"09:59:59", L"16000", L"-5", true},
      {at(2016, 12, 8, 10, 0, 0), L"2016-12-08", L"10:00:00", L"32000", L"320", false},  // the end: not counted
  };
  std::map<VDateTime, DayTraffic> expected;
  std::map<VDateTime, int64_t> expectedHits;
  for (const Line& l : lines) {
    accounting.processLogLine(l.time, LogHttp, webRecord(l.date, l.clock, l.sent, l.received), L"a.com", logPath);
    if (!l.inWindow) continue;
    // A byte figure that is no positive number counts nothing.
    DayTraffic& day = expected[l.time.datePart()];
    day.sent += std::max(0LL, std::wcstoll(l.sent.c_str(), nullptr, 10));
    day.received += std::max(0LL, std::wcstoll(l.received.c_str(), nullptr, 10));
    ++expectedHits[l.time.datePart()];
  }
  ASSERT_EQ(domain.traffic[LogHttp].size(), expected.size());
  for (const auto& [day, figures] : expected) {
    ASSERT_TRUE(domain.traffic[LogHttp].count(day)) << text::toUtf8(day.formatDate());
    EXPECT_EQ(domain.traffic[LogHttp].at(day).sent, figures.sent) << text::toUtf8(day.formatDate());
    EXPECT_EQ(domain.traffic[LogHttp].at(day).received, figures.received) << text::toUtf8(day.formatDate());
  }
  EXPECT_EQ(sitesHits, expectedHits);
  EXPECT_TRUE(domain.businessLock.held());
  for (int kind = 1; kind < kLogKinds; ++kind) EXPECT_TRUE(domain.traffic[static_cast<size_t>(kind)].empty()) << kind;
}

TEST_F(TrafficAccountingTest, IgnoresUnknownDomainsAndUnexpectedKinds) {
  setWindow(domain.httpLogWindow, at(2016, 1, 1), at(2017, 1, 1));
  LogCapture log;
  accounting.processLogLine(at(2016, 12, 7, 10), LogHttp, webRecord(L"2016-12-07", L"10:00:00", L"5", L"6"), L"b.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 10), LogHttp, webRecord(L"2016-12-07", L"10:00:00", L"5", L"6"), L"", logPath);
  // Domain names are case-sensitive.
  accounting.processLogLine(at(2016, 12, 7, 10), LogHttp, webRecord(L"2016-12-07", L"10:00:00", L"5", L"6"), L"A.com", logPath);
  EXPECT_EQ(log.text(), L"");
  accounting.processLogLine(at(2016, 12, 7, 10), LogSmtpIn, webRecord(L"2016-12-07", L"10:00:00", L"5", L"6"), L"a.com", logPath);
  EXPECT_TRUE(log.contains(L"Skipped log type 3"));
  for (const DailyTraffic& table : domain.traffic) EXPECT_TRUE(table.empty());
  EXPECT_TRUE(sitesHits.empty());
}

TEST_F(TrafficAccountingTest, CountsFtpLinesByKindWithoutPageHits) {
  setWindow(domain.ftpLogWindow, at(2016, 1, 1), at(2017, 1, 1));
  LogCapture log;
  accounting.processLogLine(at(2016, 12, 7, 10), LogFtp, ftpRecord(L"sent", L"700", L"7"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 11), LogFtp, ftpRecord(L"[3]created", L"11", L"900"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 12), LogFtp, ftpRecord(L"RETR", L"5000", L"5000"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 8, 1), LogAnonFtp, ftpRecord(L"sent", L"30", L"3"), L"a.com", logPath);
  const VDateTime day7 = at(2016, 12, 7), day8 = at(2016, 12, 8);
  ASSERT_EQ(domain.traffic[LogFtp].size(), 1u);
  EXPECT_EQ(domain.traffic[LogFtp].at(day7).sent, 700 + 11);
  EXPECT_EQ(domain.traffic[LogFtp].at(day7).received, 7 + 900);
  ASSERT_EQ(domain.traffic[LogAnonFtp].size(), 1u);
  EXPECT_EQ(domain.traffic[LogAnonFtp].at(day8).sent, 30);
  EXPECT_EQ(domain.traffic[LogAnonFtp].at(day8).received, 3);
  EXPECT_TRUE(domain.traffic[LogHttp].empty());
  EXPECT_TRUE(sitesHits.empty());
  EXPECT_TRUE(log.contains(L"FTP host='a.com'"));
}

TEST_F(TrafficAccountingTest, LoadsTheWindowFromTheMarkerOnFirstUse) {
  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"LastHttpStatisticsRun", L"2016/12/07 12:00:00");
  accounting.processLogLine(at(2016, 12, 7, 11, 59, 59), LogHttp, webRecord(L"2016-12-07", L"11:59:59", L"1", L"1"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 12), LogHttp, webRecord(L"2016-12-07", L"12:00:00", L"40", L"4"), L"a.com", logPath);
  EXPECT_FALSE(domain.httpLogWindow.notLoaded);
  EXPECT_TRUE(domain.ftpLogWindow.notLoaded);
  EXPECT_EQ(domain.httpLogWindow.start, at(2016, 12, 7, 12));
  ASSERT_EQ(domain.traffic[LogHttp].size(), 1u);
  EXPECT_EQ(domain.traffic[LogHttp].begin()->second.sent, 40);
  EXPECT_EQ(domain.traffic[LogHttp].begin()->second.received, 4);
}

TEST_F(TrafficAccountingTest, IgnoresTheLinesOfADomainLockedByAnotherProcess) {
  setWindow(domain.httpLogWindow, at(2016, 1, 1), at(2017, 1, 1));
  setWindow(domain.ftpLogWindow, at(2016, 1, 1), at(2017, 1, 1));
  traffictest::LiveProcess other;
  ASSERT_NE(other.id(), 0u);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"OfflineLockStatus", other.id(), RegView32);
  LogCapture log;
  accounting.processLogLine(at(2016, 12, 7, 10), LogHttp, webRecord(L"2016-12-07", L"10:00:00", L"5", L"6"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 10), LogFtp, ftpRecord(L"sent", L"5", L"6"), L"a.com", logPath);
  for (const DailyTraffic& table : domain.traffic) EXPECT_TRUE(table.empty());
  EXPECT_TRUE(sitesHits.empty());
  EXPECT_FALSE(domain.businessLock.held());
  EXPECT_EQ(log.text(), L"");
}

TEST_F(TrafficAccountingTest, TotalsStopAtTheLargestFigure) {
  setWindow(domain.httpLogWindow, at(2016, 1, 1), at(2017, 1, 1));
  const std::wstring big = std::to_wstring(INT64_MAX - 10);
  accounting.processLogLine(at(2016, 12, 7, 10), LogHttp, webRecord(L"2016-12-07", L"10:00:00", big, L"1"), L"a.com", logPath);
  accounting.processLogLine(at(2016, 12, 7, 11), LogHttp, webRecord(L"2016-12-07", L"11:00:00", L"100", L"1"), L"a.com", logPath);
  EXPECT_EQ(domain.traffic[LogHttp].at(at(2016, 12, 7)).sent, INT64_MAX);
  EXPECT_EQ(domain.traffic[LogHttp].at(at(2016, 12, 7)).received, 2);
}
