#include "webstat/executor/pending_feeds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"
#include "support/vaformat.h"
#include "tests/testkit.h"
#include "webstat/feed_lines.h"
#include "webstat/webstat_testing.h"

namespace fs = std::filesystem;

TEST(PendingFeedsTest, FeedNamesAreThePrefixSeventeenDigitsAndLog) {
  const testkit::Installation installation;
  EXPECT_TRUE(isFeedName(L"web20161207105614123.log", FeedGroup::Web));
  EXPECT_TRUE(isFeedName(L"ano20161207105614123.log", FeedGroup::Ftp));
  EXPECT_TRUE(isFeedName(L"ftp20161207105614123.log", FeedGroup::Ftp));
  EXPECT_FALSE(isFeedName(L"ftp20161207105614123.log", FeedGroup::Web));
  EXPECT_FALSE(isFeedName(L"web2016120710561412.log", FeedGroup::Web));
  EXPECT_FALSE(isFeedName(L"web2016120710561412x.log", FeedGroup::Web));
  EXPECT_FALSE(isFeedName(L".web20161207105614123.log.1a2b3c4d.tmp", FeedGroup::Web)) << "a copy still being made";
  EXPECT_FALSE(isFeedName(L"web20161207105614123.log.rotated", FeedGroup::Web));
}

TEST(PendingFeedsTest, ListingTakesRegularFilesOldestFirstAndNamesTheRest) {
  const testkit::Installation installation;
  testkit::TempDir temp;
  for (const char* name : {"ftp20161208000000000.log", "ano20161207000000000.log", "web20161207000000000.log", "access_log"})
    testkit::writeFile(temp.file(name), "x\n");
  fs::create_symlink("/etc/passwd", temp.file("web20161209000000000.log"));
  fs::create_directory(temp.file("ano20161209000000000.log"));

  const vfs::Directory dir = vfs::Directory::open(temp.wpath());
  const FeedListing ftp = listPendingFeeds(dir, FeedGroup::Ftp);
  EXPECT_EQ(ftp.feeds, (std::vector<std::wstring>{L"ano20161207000000000.log", L"ftp20161208000000000.log"}));
  EXPECT_EQ(ftp.ignored, (std::vector<std::wstring>{L"ano20161209000000000.log"}));
  const FeedListing web = listPendingFeeds(dir, FeedGroup::Web);
  EXPECT_EQ(web.feeds, (std::vector<std::wstring>{L"web20161207000000000.log"}));
  EXPECT_EQ(web.ignored, (std::vector<std::wstring>{L"web20161209000000000.log"}));
}

TEST(PendingFeedsTest, TimeKeysOfEachFormat) {
  const testkit::Installation installation;
  const std::string http = "20161207140509 1.2.3.4 - - [07/DEC/2016:14:05:09] \"GET / HTTP/1.1\" 200 1 - \"-\" \r\n";
  EXPECT_EQ(lineTimeKey(http.data(), http.size(), FeedFormat::WebalizerHttp), 20161207140509ULL);
  const std::string ftp = "Wed DEC 07 14:05:09 2016 0 1.2.3.4 1 /a b _ o a anonymous ftp 1 * c\n";
  EXPECT_EQ(lineTimeKey(ftp.data(), ftp.size(), FeedFormat::WebalizerFtp), 20161207140509ULL);
  const std::string aw = "2016-12-07 14:05:09 W3SVC1 -\n";
  EXPECT_EQ(lineTimeKey(aw.data(), aw.size(), FeedFormat::AWStats), 20161207140509ULL);
  const std::string dash = "- 14:05:09 W3SVC1 -\n";
  EXPECT_EQ(lineTimeKey(dash.data(), dash.size(), FeedFormat::AWStats), 0u);
  EXPECT_EQ(lineTimeKey(http.data(), 10, FeedFormat::WebalizerHttp), 0u) << "a short line has no key";
  EXPECT_EQ(lineTimeKey(ftp.data(), ftp.size(), FeedFormat::AWStats), 0u);
}

namespace {

using webstat_testing::entryTime;
using webstat_testing::kAllFields;
using webstat_testing::record;

// A full IIS entry; FTP when `ftp` (the method "[7]sent" or "[7]created").
W3CRecord entry(const std::wstring& date, const std::wstring& time, const std::wstring& user, const std::wstring& uri,
                const std::wstring& method = L"GET", const std::wstring& bytes = L"1200 300") {
  return record(kAllFields, date + L" " + time + L" W3SVC1 WEB01 10.0.0.1 " + method + L" " + uri + L" q=1 80 " + user +
                                L" 192.0.2.7 HTTP/1.1 Mozilla/5.0+(X11) - http://ref.example/a.html ftp01.example 200 0 0 " + bytes + L" 15");
}

VDateTime timeOf(const W3CRecord& r) { return entryTime(std::wstring(r(L"date")), std::wstring(r(L"time"))); }

// The lines the run's writers give for an entry.
std::string webalizerHttp(const W3CRecord& r) {
  std::wstring out;
  feed::FieldReader fields;
  feed::appendWebalizerHttpLine(out, timeOf(r), r, fields);
  return text::toAnsi(out);
}
std::string webalizerFtp(const W3CRecord& r, bool download) {
  std::wstring out;
  feed::FieldReader fields;
  feed::appendWebalizerFtpLine(out, timeOf(r), 2, r, download, fields);
  return text::toAnsi(out);
}
std::string awstats(const W3CRecord& r, bool ftp) {
  std::wstring out;
  feed::FieldReader fields;
  feed::AWStatsClock clock;
  if (ftp)
    feed::appendAWStatsFtpLine(out, r, fields, clock, L"site.example");
  else
    feed::appendAWStatsHttpLine(out, r, fields, clock);
  return text::toAnsi(out) + "\n";
}

std::vector<std::string> tokens(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

}  // namespace

TEST(PendingFeedsTest, MergedLinesAreSortedUnusableOnesLeftOutAndUsersMoved) {
  const testkit::Installation installation;
  const W3CRecord late = entry(L"2016-12-08", L"01:00:00", L"carol", L"/b.html");
  const W3CRecord early = entry(L"2016-12-07", L"10:00:00", L"alice", L"/a.html");
  const W3CRecord same = entry(L"2016-12-07", L"10:00:00", L"-", L"/c.html");
  const W3CRecord november = entry(L"2016-11-30", L"23:59:59", L"dave", L"/d.html");
  MergedFeed merged(FeedFormat::WebalizerHttp, FeedGroup::Web);
  const FeedLineCounts first = merged.addBytes(webalizerHttp(late) + webalizerHttp(early));
  EXPECT_EQ(first.usable, 2u);
  const std::string garbage = "garbage without a key\n20161207100000 cut short\n" + std::string(kMaxFeedLine + 10, 'x') + "\n";
  std::string last = webalizerHttp(november);
  last.resize(last.size() - 2);  // no line end
  const FeedLineCounts second = merged.addBytes(garbage + webalizerHttp(same) + last);
  EXPECT_EQ(second.usable, 2u);
  EXPECT_EQ(second.unusable, 3u) << "no time, a broken layout, an overlong line";
  EXPECT_EQ(merged.lineCount(), 4u);

  const std::string sorted = merged.sortedInput();
  std::vector<std::string> lines;
  std::istringstream in(sorted);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << sorted;
  EXPECT_EQ(sorted.back(), '\n');
  // Each line is the writer's common-log line behind its key, with the user
  // in the authenticated-user column, in time order (equal times as fed).
  const std::vector<std::pair<const W3CRecord*, std::string>> order = {{&november, "dave"}, {&early, "alice"}, {&same, "-"}, {&late, "carol"}};
  for (size_t i = 0; i < order.size(); ++i) {
    std::vector<std::string> want = tokens(webalizerHttp(*order[i].first).substr(15));
    std::swap(want[1], want[2]);
    EXPECT_EQ(tokens(lines[i]), want) << lines[i];
    EXPECT_EQ(tokens(lines[i])[2], order[i].second);
  }
  EXPECT_EQ(merged.months(), (std::set<int>{201611, 201612}));
}

TEST(PendingFeedsTest, LinesOfTheOtherAnalyserAreConvertedWithTheirFields) {
  const testkit::Installation installation;
  const W3CRecord web = entry(L"2016-12-07", L"22:30:05", L"alice", L"/a.html");
  const W3CRecord upload = entry(L"2016-12-07", L"22:31:00", L"bob", L"/pub/up.bin", L"[7]created", L"40 7000");

  // Webalizer feeds for a domain switched to AWStats: the converted line
  // carries what the AWStats writer would have written for the fields the
  // Webalizer line has, at the same (local) time.
  MergedFeed toAWStats(FeedFormat::AWStats, FeedGroup::Web);
  EXPECT_EQ(toAWStats.addBytes(webalizerHttp(web)).converted, 1u);
  const std::vector<std::string> converted = tokens(toAWStats.sortedInput());
  const std::vector<std::string> native = tokens(awstats(web, false));
  ASSERT_EQ(converted.size(), native.size());
  for (int f : {feed::Date, feed::Time, feed::Method, feed::UriStem, feed::UserName, feed::ClientIp, feed::Version, feed::UserAgent,
                feed::Referer, feed::Status, feed::ScBytes})
    EXPECT_EQ(converted[f], native[f]) << text::toAnsi(feed::kFieldNames[f]);

  MergedFeed ftpToAWStats(FeedFormat::AWStats, FeedGroup::Ftp, L"site.example");
  EXPECT_EQ(ftpToAWStats.addBytes(webalizerFtp(upload, false)).converted, 1u);
  const std::vector<std::string> ftp = tokens(ftpToAWStats.sortedInput());
  const std::vector<std::string> ftpNative = tokens(awstats(upload, true));
  for (int f : {feed::Date, feed::Time, feed::UriStem, feed::UserName, feed::ClientIp}) EXPECT_EQ(ftp[f], ftpNative[f]);
  EXPECT_EQ(ftp[feed::ScBytes], "7040") << "both directions' bytes, which the xferlog line carries";
  EXPECT_EQ(ftp[feed::Host], "site.example");

  // And back: AWStats feeds for a domain switched to Webalizer, at the time
  // as logged again; the FTP line carries both directions' bytes.
  MergedFeed toWebalizer(FeedFormat::WebalizerHttp, FeedGroup::Web);
  EXPECT_EQ(toWebalizer.addBytes(awstats(web, false)).converted, 1u);
  std::vector<std::string> want = tokens(webalizerHttp(web).substr(15));
  std::swap(want[1], want[2]);
  EXPECT_EQ(tokens(toWebalizer.sortedInput()), want);
  MergedFeed ftpToWebalizer(FeedFormat::WebalizerFtp, FeedGroup::Ftp);
  EXPECT_EQ(ftpToWebalizer.addBytes(awstats(upload, true)).converted, 1u);
  const std::vector<std::string> xfer = tokens(ftpToWebalizer.sortedInput());
  const std::vector<std::string> xferNative = tokens(webalizerFtp(upload, false));
  ASSERT_EQ(xfer.size(), xferNative.size());
  for (size_t i : {0u, 1u, 2u, 3u, 4u, 6u, 8u, 11u, 13u}) EXPECT_EQ(xfer[i], xferNative[i]) << i;
  EXPECT_EQ(xfer[7], "7040");

  // A line of neither format is left out, not converted.
  MergedFeed neither(FeedFormat::AWStats, FeedGroup::Web);
  EXPECT_EQ(neither.addBytes(webalizerFtp(upload, false)).unusable, 1u);
  EXPECT_EQ(neither.lineCount(), 0u);
}

TEST(PendingFeedsTest, SpilledMergeGivesTheSameInputAsOneHeldInMemory) {
  const testkit::Installation installation;
  testkit::TempDir scratch;
  std::string feedA, feedB;
  for (int i = 0; i < 400; ++i) {
    const int second = (i * 7919) % 86400;  // out of order
    const std::wstring time = vaformat(L"%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
    (i % 2 ? feedA : feedB) += awstats(entry(L"2016-12-0" + std::to_wstring(1 + i % 3), time, L"u" + std::to_wstring(i), L"/p.html"), false);
  }
  MergedFeed held(FeedFormat::AWStats, FeedGroup::Web);
  MergedFeed spilled(FeedFormat::AWStats, FeedGroup::Web, L"", scratch.wpath(), 4096);
  for (MergedFeed* m : {&held, &spilled}) {
    m->addBytes(feedA);
    m->addBytes(feedB);
  }
  EXPECT_GT(spilled.spilledRuns(), 5u);
  EXPECT_EQ(held.spilledRuns(), 0u);
  const std::string a = held.sortedInput();
  EXPECT_EQ(spilled.sortedInput(), a);
  EXPECT_EQ(a.size(), feedA.size() + feedB.size());
  std::vector<std::string> times;
  std::istringstream in(a);
  for (std::string line; std::getline(in, line);) times.push_back(line.substr(0, 19));
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
}

TEST(PendingFeedsTest, AddingRefusesALinkAndNamesTheFeed) {
  const testkit::Installation installation;
  testkit::TempDir temp;
  const std::string secret = webalizerHttp(entry(L"2016-12-07", L"10:00:00", L"secret", L"/s.html"));
  testkit::writeFile(temp.file("secret"), secret);
  fs::create_symlink(temp.file("secret"), temp.file("web20161207000000000.log"));
  // A hard link is the same file under a second name: refused on the
  // opened descriptor, whatever the name looked like before.
  fs::create_hard_link(temp.file("secret"), temp.file("web20161208000000000.log"));
  const vfs::Directory dir = vfs::Directory::open(temp.wpath());
  MergedFeed merged(FeedFormat::WebalizerHttp, FeedGroup::Web);
  for (const wchar_t* name : {L"web20161207000000000.log", L"web20161208000000000.log"}) {
    try {
      merged.add(dir, name);
      ADD_FAILURE() << "a link must not be read";
    } catch (const vexception& e) {
      EXPECT_NE(e.fullText().find(name), std::wstring::npos) << text::toAnsi(e.fullText());
    }
  }
  EXPECT_EQ(merged.lineCount(), 0u);
  fs::remove(temp.file("web20161208000000000.log"));
  EXPECT_EQ(merged.add(dir, L"secret").usable, 1u) << "the file itself, with one link, is read";
}
