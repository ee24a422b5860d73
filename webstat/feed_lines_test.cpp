#include "webstat/feed_lines.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/exceptions.h"
#include "tests/testkit.h"
#include "webstat/webstat_testing.h"

using namespace webstat_testing;

namespace {

std::wstring webalizerHttp(const W3CRecord& r) {
  std::wstring out;
  feed::FieldReader fields;
  feed::appendWebalizerHttpLine(out, entryTime(std::wstring(r(L"date")), std::wstring(r(L"time"))), r, fields);
  return out;
}

std::wstring webalizerFtp(const W3CRecord& r, int kind, bool isDownload) {
  std::wstring out;
  feed::FieldReader fields;
  feed::appendWebalizerFtpLine(out, entryTime(std::wstring(r(L"date")), std::wstring(r(L"time"))), kind, r, isDownload, fields);
  return out;
}

std::wstring awstatsFtp(const W3CRecord& r, const std::wstring& domain) {
  std::wstring out;
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  feed::appendAWStatsFtpLine(out, r, fields, clock, domain);
  return out;
}

std::wstring awstatsHttp(const W3CRecord& r) {
  std::wstring out;
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  feed::appendAWStatsHttpLine(out, r, fields, clock);
  return out;
}

// The AWStats date-times of entries logged on `date` at `times`, in turn
// through one clock as a writer keeps it, joined by "|"; "!" for an entry
// that raises.
std::wstring awstatsTimes(const std::wstring& date, const std::vector<std::wstring>& times) {
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  std::wstring out;
  for (const std::wstring& time : times) {
    if (!out.empty()) out += L'|';
    std::wstring line;
    try {
      feed::appendAWStatsHttpLine(line, record({L"date", L"time"}, date + L" " + time), fields, clock);
      out += line.substr(0, 19);
    } catch (const vexception&) {
      out += L'!';
    }
  }
  return out;
}

// Set by the parent test when it re-runs this binary in a fixed time zone.
bool inZoneChild() { return std::getenv("WEBSTAT_ZONE_CHILD") != nullptr; }

}  // namespace

TEST(FeedLinesTest, WebalizerHttpLineWritesDashesForMissingValues) {
  const testkit::Installation installation;
  const W3CRecord dashes = record({L"date", L"time", L"c-ip", L"cs-username", L"cs-method", L"cs-uri-stem", L"cs-version", L"sc-status",
                                   L"sc-bytes", L"cs(Referer)", L"cs(User-Agent)"},
                                  L"2016-12-07 14:05:09 - - GET /index.html HTTP/1.1 - - - -");
  EXPECT_EQ(webalizerHttp(dashes), L"20161207140509 - - - [07/DEC/2016:14:05:09] \"GET /index.html HTTP/1.1\" - - - - \r\n");

  // Fields the log does not have read as empty: the value rule gives "-",
  // the request is written as it is and an absent user agent as two quotes.
  const W3CRecord bare = record({L"date", L"time"}, L"2016-01-05 00:00:07");
  EXPECT_EQ(webalizerHttp(bare), L"20160105000007 - - - [05/JAN/2016:00:00:07] \"  \" - - - \"\" \r\n");
}

TEST(FeedLinesTest, WebalizerHttpLineQuotesTheUserAgentOnlyAndKeepsTheReferrerBare) {
  const testkit::Installation installation;
  const W3CRecord r = record(kAllFields,
                             L"2016-12-07 14:05:09 W3SVC1 WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 Mozilla/5.0+(Windows) - "
                             L"http://ref.example/page alpha.example 200 0 0 1234 321 15");
  EXPECT_EQ(webalizerHttp(r),
            L"20161207140509 1.2.3.4 bob - [07/DEC/2016:14:05:09] \"GET /a.html HTTP/1.1\" 200 1234 http://ref.example/page "
            L"\"Mozilla/5.0+(Windows)\" \r\n");
}

TEST(FeedLinesTest, WebalizerFtpLinesFollowTheXferlogLayout) {
  const testkit::Installation installation;
  const std::vector<std::wstring> ftpFields = {L"date",        L"time",     L"c-ip",     L"cs-username", L"cs-method",
                                               L"cs-uri-stem", L"sc-status", L"sc-bytes", L"cs-bytes",    L"time-taken"};
  // An anonymous download on Wednesday 7 December 2016.
  const W3CRecord download = record(ftpFields, L"2016-12-07 14:05:09 1.2.3.4 anonymous [3]sent /pub/file.zip 226 1048576 0 2500");
  EXPECT_EQ(webalizerFtp(download, 1, true), L"Wed DEC 07 14:05:09 2016 2 1.2.3.4 1048576 /pub/file.zip b _ o a anonymous ftp 1 * c\n");

  // An upload by a user where the log has no cs-bytes.
  const W3CRecord upload = record({L"date", L"time", L"c-ip", L"cs-username", L"cs-method", L"cs-uri-stem", L"sc-bytes", L"time-taken"},
                                  L"2016-12-08 09:00:00 5.6.7.8 bob [4]created /up/x.bin 0 -");
  EXPECT_EQ(webalizerFtp(upload, 2, false), L"Thu DEC 08 09:00:00 2016 0 5.6.7.8 0 /up/x.bin b _ i r bob ftp 1 * c\n");
}

TEST(FeedLinesTest, AWStatsLinesKeepLoggedTimeTextsWhenTheDateIsADash) {
  const testkit::Installation installation;
  const W3CRecord r = record(kAllFields,
                             L"- 14:05:09 MSFTPSVC1 FTP01 10.0.0.1 [3]created /pub/created/list.txt - 21 bob 1.2.3.4 - - - - - 226 0 0 "
                             L"0 5120 16");
  EXPECT_EQ(awstatsFtp(r, L"alpha.example"),
            L"- 14:05:09 MSFTPSVC1 FTP01 10.0.0.1 [3]sent /pub/created/list.txt - 21 bob 1.2.3.4 - - - - alpha.example 226 0 0 0 "
            L"5120 16")
      << "the method becomes [3]sent, the path keeps its 'created', cs-host '-' carries the domain";

  const W3CRecord noTime = record({L"date", L"cs-method"}, L"2016-12-07 GET");
  EXPECT_EQ(awstatsHttp(noTime), L"2016-12-07 - - - - GET - - - - - - - - - - - - - - - -") << "an absent time reads as '-'";
}

TEST(FeedLinesTest, AWStatsColumnsInARowAreCopiedOnlyWhereEachReadsAsItsValue) {
  const testkit::Installation installation;
  // The IIS field list: all twenty AWStats fields lie in the log one after
  // another. Lines whose values are parted by single blanks are copied as
  // they are; a tab, two blanks (an empty value) or a short line are read
  // value by value, and the feed has blanks and dashes there.
  const auto aw = [](const std::wstring& fields) { return awstatsHttp(record(kAllFields, L"- 10:00:00 " + fields)); };
  const std::wstring all = L"W3SVC1 WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15";
  EXPECT_EQ(aw(all), L"- 10:00:00 " + all);
  EXPECT_EQ(aw(L"W3SVC1\tWEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15"),
            L"- 10:00:00 " + all);
  EXPECT_EQ(aw(L"W3SVC1 WEB01 10.0.0.1 GET  q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15"),
            L"- 10:00:00 W3SVC1 WEB01 10.0.0.1 GET - q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15");
  EXPECT_EQ(aw(L" WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15"),
            L"- 10:00:00 - WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15");
  EXPECT_EQ(aw(L"W3SVC1 WEB01 10.0.0.1 GET /a.html"), L"- 10:00:00 W3SVC1 WEB01 10.0.0.1 GET /a.html - - - - - - - - - - - - - - -");

  // The log's own order (a Linux server's record): runs of one or two
  // columns between fields the log lacks; a value set on the line counts.
  const std::vector<std::wstring> own = {L"date",       L"time",        L"c-ip",        L"cs-username", L"cs-method",
                                         L"cs-uri-stem", L"cs-uri-query", L"cs-version", L"sc-status",   L"sc-bytes",
                                         L"cs-bytes",   L"cs(Referer)", L"cs(User-Agent)", L"cs-host",  L"time-taken"};
  W3CRecord linux = record(own, L"- 10:00:00 1.2.3.4 bob GET /a.html q=1 HTTP/1.1 200 1234 321 http://ref UA alpha.example 15");
  EXPECT_EQ(awstatsHttp(linux), L"- 10:00:00 - - - GET /a.html q=1 - bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 - - 1234 321 15");
  linux.set(L"sc-substatus", L"7");
  linux.set(L"cs-uri-stem", L"/b.html");
  EXPECT_EQ(awstatsHttp(linux), L"- 10:00:00 - - - GET /b.html q=1 - bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 7 - 1234 321 15");
}

TEST(FeedLinesTest, AWStatsDateThatIsNoCalendarTimeRaises) {
  const testkit::Installation installation;
  const W3CRecord r = record({L"date", L"time"}, L"2016-13-45 10:00:00");
  EXPECT_THROW(awstatsHttp(r), vexception);
  // A good entry after a bad one converts normally.
  const W3CRecord good = record({L"date", L"time"}, L"2016-12-07 10:00:00");
  EXPECT_NO_THROW(awstatsHttp(good));
}

TEST(FeedLinesTest, AWStatsLinesShowLocalTime) {
  const testkit::Installation installation;
  // Re-runs this binary with TZ=EST5 (UTC-5 all year) for the two tests below.
  const testkit::ProgramResult child =
      testkit::runProgram("/proc/self/exe", {"--gtest_filter=FeedLinesInZone.*"}, {{"TZ", "EST5"}, {"WEBSTAT_ZONE_CHILD", "1"}});
  EXPECT_EQ(child.exitCode, 0) << child.output;
  EXPECT_NE(child.output.find("[  PASSED  ] 3 tests"), std::string::npos) << child.output;
}

TEST(FeedLinesTest, AWStatsMinutesTakeOneConversionOnlyWhereTheZoneShiftsThemWhole) {
  const testkit::Installation installation;
  // A zone that changes its offset (the tests below), and one whose offset
  // is no whole minute.
  for (const auto& [zone, filter] : {std::pair{"CET-1CEST,M3.5.0,M10.5.0/3", "FeedLinesInSummerTimeZone.*"},
                                     std::pair{"ODD-0:00:30", "FeedLinesInOddZone.*"}}) {
    const testkit::ProgramResult child = testkit::runProgram("/proc/self/exe", {std::string("--gtest_filter=") + filter},
                                                             {{"TZ", zone}, {"WEBSTAT_ZONE_CHILD", "1"}});
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
  }
}

TEST(FeedLinesInZone, HttpLineMovesToThePreviousLocalDay) {
  if (!inZoneChild()) GTEST_SKIP() << "runs in the child of FeedLinesTest.AWStatsLinesShowLocalTime";
  const W3CRecord r = record(kAllFields,
                             L"2016-12-07 03:04:05 W3SVC1 WEB01 10.0.0.1 GET /index.html - 80 - 1.2.3.4 HTTP/1.1 Mozilla/5.0+(X11) - - "
                             L"alpha.example 304 0 0 0 400 15");
  EXPECT_EQ(awstatsHttp(r),
            L"2016-12-06 22:04:05 W3SVC1 WEB01 10.0.0.1 GET /index.html - 80 - 1.2.3.4 HTTP/1.1 Mozilla/5.0+(X11) - - alpha.example 304 "
            L"0 0 0 400 15");
}

TEST(FeedLinesInZone, FtpLineWithCreatedMethod) {
  if (!inZoneChild()) GTEST_SKIP() << "runs in the child of FeedLinesTest.AWStatsLinesShowLocalTime";
  const W3CRecord r = record(kAllFields,
                             L"16-12-07 14:05:09 MSFTPSVC1 FTP01 10.0.0.1 [3]created /created.txt - 21 - 1.2.3.4 - - - - - 226 0 0 0 "
                             L"77 16");
  EXPECT_EQ(awstatsFtp(r, L"beta.example"),
            L"2016-12-07 09:05:09 MSFTPSVC1 FTP01 10.0.0.1 [3]sent /created.txt - 21 - 1.2.3.4 - - - - beta.example 226 0 0 0 77 16");
}

TEST(FeedLinesInZone, EntriesOfOneMinuteAndTheNext) {
  if (!inZoneChild()) GTEST_SKIP() << "runs in the child of FeedLinesTest.AWStatsLinesShowLocalTime";
  // EST5: UTC-5. Entries of one minute, one that is no calendar time among
  // them, then the next minute and the next day's.
  EXPECT_EQ(awstatsTimes(L"2016-12-07", {L"03:04:05", L"03:04:06", L"03:04:59", L"03:04:75", L"03:04:00", L"03:05:00", L"3:5:1"}),
            L"2016-12-06 22:04:05|2016-12-06 22:04:06|2016-12-06 22:04:59|!|2016-12-06 22:04:00|2016-12-06 22:05:00|2016-12-06 22:05:01");
}

TEST(FeedLinesInSummerTimeZone, SummerTimeBeginsAndEndsBetweenMinutes) {
  if (!inZoneChild()) GTEST_SKIP() << "runs in the child of FeedLinesTest.AWStatsMinutesTakeOneConversionOnlyWhereTheZoneShiftsThemWhole";
  // Central European time: summer time from 01:00 UTC on 27 March 2016 to
  // 01:00 UTC on 30 October 2016; several entries in each minute.
  EXPECT_EQ(awstatsTimes(L"2016-03-27", {L"00:59:30", L"00:59:31", L"00:59:59", L"01:00:00", L"01:00:01", L"01:00:59"}),
            L"2016-03-27 01:59:30|2016-03-27 01:59:31|2016-03-27 01:59:59|2016-03-27 03:00:00|2016-03-27 03:00:01|2016-03-27 03:00:59");
  EXPECT_EQ(awstatsTimes(L"2016-10-30", {L"00:59:30", L"00:59:31", L"00:59:59", L"01:00:00", L"01:00:01", L"01:00:59"}),
            L"2016-10-30 02:59:30|2016-10-30 02:59:31|2016-10-30 02:59:59|2016-10-30 02:00:00|2016-10-30 02:00:01|2016-10-30 02:00:59");
}

TEST(FeedLinesInOddZone, OddOffsetMovesPartOfEachMinuteIntoTheNext) {
  if (!inZoneChild()) GTEST_SKIP() << "runs in the child of FeedLinesTest.AWStatsMinutesTakeOneConversionOnlyWhereTheZoneShiftsThemWhole";
  // UTC+00:00:30: a minute's seconds from 30 on show in the next local minute.
  EXPECT_EQ(awstatsTimes(L"2016-12-07", {L"14:05:09", L"14:05:10", L"14:05:40", L"14:05:29", L"14:05:59", L"14:05:30"}),
            L"2016-12-07 14:05:39|2016-12-07 14:05:40|2016-12-07 14:06:10|2016-12-07 14:05:59|2016-12-07 14:06:29|2016-12-07 14:06:00");
}

TEST(FeedLinesTest, OneReaderFollowsEveryFieldListAndTheValuesSetOnALine) {
  const testkit::Installation installation;
  // One reader for every line, as a writer keeps it: its columns hold for one
  // field list only, and a value set on a line is seen even for a field the
  // list lacks.
  feed::FieldReader fields;
  const VDateTime t = entryTime(L"2016-12-07", L"14:05:09");
  const auto line = [&](const W3CRecord& r) {
    std::wstring out;
    feed::appendWebalizerHttpLine(out, t, r, fields);
    return out;
  };
  const std::wstring fullText =
      L"2016-12-07 14:05:09 W3SVC1 WEB01 10.0.0.1 GET /a.html q=1 80 bob 1.2.3.4 HTTP/1.1 UA - http://ref alpha.example 200 0 0 1234 321 15";
  const std::wstring fullLine = L"20161207140509 1.2.3.4 bob - [07/DEC/2016:14:05:09] \"GET /a.html HTTP/1.1\" 200 1234 http://ref \"UA\" \r\n";
  EXPECT_EQ(line(record(kAllFields, fullText)), fullLine);
  // Another block: fewer fields, in another order.
  const W3CRecord other = record({L"sc-bytes", L"cs-uri-stem", L"c-ip", L"cs-username"}, L"77 /b.html 5.6.7.8 carol");
  EXPECT_EQ(line(other), L"20161207140509 5.6.7.8 carol - [07/DEC/2016:14:05:09] \" /b.html \" - 77 - \"\" \r\n");
  EXPECT_EQ(line(record(kAllFields, fullText)), fullLine) << "the first layout again, in a block of its own";

  W3CRecord set = record({L"cs-method", L"cs-uri-stem", L"sc-status"}, L"GET /c.html 404");
  set.set(L"cs-method", L"POST");
  set.set(L"cs-username", L"dave");
  EXPECT_EQ(line(set), L"20161207140509 - dave - [07/DEC/2016:14:05:09] \"POST /c.html \" 404 - - \"\" \r\n");
  set.assignLine("HEAD /d.html 200");
  EXPECT_EQ(line(set), L"20161207140509 - - - [07/DEC/2016:14:05:09] \"HEAD /d.html \" 200 - - \"\" \r\n")
      << "values set on a line are gone with it";
}
