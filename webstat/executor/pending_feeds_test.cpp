#include "webstat/executor/pending_feeds.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"
#include "tests/testkit.h"

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

TEST(PendingFeedsTest, MergedLinesAreSortedByTimeAndLoseTheWebalizerKey) {
  const testkit::Installation installation;
  MergedFeed merged(FeedFormat::WebalizerHttp);
  merged.addBytes("20161208010000 b - - [08/DEC/2016:01:00:00] x\r\n20161207100000 a - - [07/DEC/2016:10:00:00] x\r\n");
  merged.addBytes("garbage without a key\n20161207100000 c - - [07/DEC/2016:10:00:00] x\r\n20161130235959 d - - [30/NOV/2016:23:59:59] x");
  EXPECT_EQ(merged.lineCount(), 5u);
  EXPECT_EQ(merged.sortedInput(),
            "garbage without a key\n"
            "d - - [30/NOV/2016:23:59:59] x\n"
            "a - - [07/DEC/2016:10:00:00] x\r\n"
            "c - - [07/DEC/2016:10:00:00] x\r\n"
            "b - - [08/DEC/2016:01:00:00] x\r\n")
      << "equal times keep their feed order; a last line without a line end gets one";
  EXPECT_EQ(merged.months(), (std::set<int>{201611, 201612}));

  MergedFeed aw(FeedFormat::AWStats);
  aw.addBytes("2016-12-07 10:00:01 two\n2016-12-07 10:00:00 one\n");
  EXPECT_EQ(aw.sortedInput(), "2016-12-07 10:00:00 one\n2016-12-07 10:00:01 two\n") << "AWStats lines keep their time";
}

TEST(PendingFeedsTest, AddingRefusesALinkAndNamesTheFeed) {
  const testkit::Installation installation;
  testkit::TempDir temp;
  testkit::writeFile(temp.file("secret"), "20161207100000 secret\n");
  fs::create_symlink(temp.file("secret"), temp.file("web20161207000000000.log"));
  const vfs::Directory dir = vfs::Directory::open(temp.wpath());
  MergedFeed merged(FeedFormat::WebalizerHttp);
  try {
    merged.add(dir, L"web20161207000000000.log");
    FAIL() << "a link must not be read";
  } catch (const vexception& e) {
    EXPECT_NE(e.fullText().find(L"web20161207000000000.log"), std::wstring::npos) << text::toAnsi(e.fullText());
  }
  EXPECT_EQ(merged.lineCount(), 0u);
}
