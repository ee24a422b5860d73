#include "logrotate/rotation_entry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/datetime.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000LL;

vfs::FileTime at(int year, int month, int day, int hour = 12) {
  VDateTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.hour = static_cast<uint16_t>(hour);
  return t.toFileTime();
}

LogRotationSettings period(const std::wstring& text) {
  LogRotationSettings s;
  s.period = text;
  return s;
}

}  // namespace

TEST(RotationEntryTest, SortsArchivesFirstThenRotatedThenLogsEachByTime) {
  std::vector<RotationEntry> entries = {
      {L"/d/new.log", 50, 0}, {L"/d/old.log", 10, 0}, {L"/d/a.log.ROTATED", 99, 0}, {L"/d/b.log.rotated", 5, 0}, {L"/d/a.log.Zip", 70, 0},
      {L"/d/noext", 30, 0},
  };
  std::sort(entries.begin(), entries.end());
  std::vector<std::wstring> order;
  for (const auto& e : entries) order.push_back(e.path);
  EXPECT_EQ(order, (std::vector<std::wstring>{L"/d/a.log.Zip", L"/d/b.log.rotated", L"/d/a.log.ROTATED", L"/d/old.log", L"/d/noext", L"/d/new.log"}));
  EXPECT_EQ(rotationClass(L"/d.zip/log"), 2) << "the extension is the file name's, not the directory's";
}

TEST(RotationEntryTest, LeavesAnalyserFeedsAlone) {
  EXPECT_TRUE(isAnalyserFeed(L"web20240101.log"));
  EXPECT_TRUE(isAnalyserFeed(L"ftp.log"));
  EXPECT_TRUE(isAnalyserFeed(L"anon.log"));
  EXPECT_FALSE(isAnalyserFeed(L"Web.log")) << "case-sensitive";
  EXPECT_FALSE(isAnalyserFeed(L"access_log"));
}

TEST(RotationEntryTest, KeepsTheNewestLogOnlyWhileItsPeriodLasts) {
  const vfs::FileTime now = nowFileTime();
  const RotationEntry threeHoursOld{L"/d/access_log", now - 3 * 3600 * kTicksPerSecond, 10};
  const RotationEntry twoDaysOld{L"/d/access_log", now - 48 * 3600 * kTicksPerSecond, 10};
  EXPECT_TRUE(isCurrentLog(period(L"daily"), threeHoursOld, now));
  EXPECT_FALSE(isCurrentLog(period(L"daily"), twoDaysOld, now));
  EXPECT_FALSE(isCurrentLog(period(L"Daily"), threeHoursOld, now)) << "periods are compared exactly";
  EXPECT_FALSE(isCurrentLog(period(L""), threeHoursOld, now));

  // 2024-03-03 was a Sunday, 2024-03-01 the first of a month.
  const vfs::FileTime sunday = at(2024, 3, 3), monday = at(2024, 3, 4), first = at(2024, 3, 1);
  const int64_t hour = 3600 * kTicksPerSecond;
  EXPECT_TRUE(isCurrentLog(period(L"weekly"), {L"l", sunday, 1}, sunday + hour));
  EXPECT_FALSE(isCurrentLog(period(L"weekly"), {L"l", monday, 1}, monday + hour)) << "not written on a Sunday";
  EXPECT_FALSE(isCurrentLog(period(L"weekly"), {L"l", sunday, 1}, sunday + 25 * hour)) << "more than a day ago";
  EXPECT_TRUE(isCurrentLog(period(L"monthly"), {L"l", first, 1}, first + 24 * hour)) << "exactly a day ago still counts";
  EXPECT_FALSE(isCurrentLog(period(L"monthly"), {L"l", monday, 1}, monday + hour));
}

TEST(RotationEntryTest, KeepsTheNewestLogUntilItOutgrowsTheSizeLimit) {
  LogRotationSettings s = period(L"1048576");
  s.rotateBySize = true;
  const vfs::FileTime old = at(2001, 1, 1);
  EXPECT_TRUE(isCurrentLog(s, {L"l", old, 1048576}, nowFileTime())) << "age does not matter by size";
  EXPECT_FALSE(isCurrentLog(s, {L"l", old, 1048577}, nowFileTime()));
  s.period = L"  +2048 bytes";
  EXPECT_TRUE(isCurrentLog(s, {L"l", old, 2048}, nowFileTime()));
  s.period = L"-5";
  EXPECT_FALSE(isCurrentLog(s, {L"l", old, 0}, nowFileTime())) << "a negative limit keeps nothing";
  s.period = L"none";
  EXPECT_TRUE(isCurrentLog(s, {L"l", old, 0}, nowFileTime())) << "no digits read as 0, which an empty log does not exceed";
}
