#include "support/datetime.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"

TEST(VDateTimeTest, ParsesByLetterPatternSkippingNonDigits) {
  VDateTime d = VDateTime::parsed(L"2007/04/06 18:02:32", L"YMDhms");
  EXPECT_EQ(d.year, 2007);
  EXPECT_EQ(d.month, 4);
  EXPECT_EQ(d.day, 6);
  EXPECT_EQ(d.hour, 18);
  EXPECT_EQ(d.minute, 2);
  EXPECT_EQ(d.second, 32);

  EXPECT_EQ(VDateTime::parsed(L"07-1-1", L"YMD").year, 2007);
  EXPECT_EQ(VDateTime::parsed(L"98-1-1", L"YMD").year, 1998);
  EXPECT_EQ(VDateTime::parsed(L"16-01-05", L"YMD").day, 5);

  // Fields that get no number keep their value; the text may end early.
  VDateTime partial;
  partial.hour = 9;
  partial.parse(L"2016-03", L"YMDhms");
  EXPECT_EQ(partial.month, 3);
  EXPECT_EQ(partial.day, 0);
  EXPECT_EQ(partial.hour, 9);
  VDateTime dash;
  dash.parse(L"-", L"YMD");
  EXPECT_EQ(dash.year, 0);

  EXPECT_THROW(VDateTime::parsed(L"1 2", L"YX"), vexception);
}

TEST(VDateTimeTest, ComparesFieldByFieldIgnoringDayOfWeek) {
  VDateTime a = VDateTime::parsed(L"2016-03-01 10:00:00", L"YMDhms");
  VDateTime b = a;
  b.dayOfWeek = 5;
  EXPECT_EQ(a, b);
  b.millisecond = 1;
  EXPECT_LT(a, b);
  EXPECT_LT(VDateTime{}, a) << "the zero date-time is earlier than any log date";
}

TEST(VDateTimeTest, NormalisesAndComputesOnTheFileTimeScale) {
  VDateTime d = VDateTime::parsed(L"2016-12-07 14:05:09", L"YMDhms");
  ASSERT_TRUE(d.normalize());
  EXPECT_EQ(d.dayOfWeek, 3) << "7 December 2016 is a Wednesday";

  VDateTime bad = VDateTime::parsed(L"2100-02-29", L"YMD");
  EXPECT_FALSE(bad.normalize()) << "2100 is no leap year";
  EXPECT_EQ(bad.day, 29) << "a failed normalisation leaves the value";

  const VDateTime later = d.addSeconds(86400 * 30);
  EXPECT_EQ(later.formatMarker(), L"2017/01/06 14:05:09");
  EXPECT_EQ(VDateTime::fromFileTime(d.toFileTime()), d);
  EXPECT_THROW(VDateTime{}.toFileTime(), vosexception);
}

TEST(VDateTimeTest, FormatsTheFormsTheRunWrites) {
  VDateTime d = VDateTime::parsed(L"2016-03-07 03:15:00", L"YMDhms");
  d.millisecond = 123;
  EXPECT_EQ(d.formatDate(), L"2016-03-07");
  EXPECT_EQ(d.formatStamp17(), L"20160307031500123");
  VDateTime old;
  old.year = 7;
  old.month = 1;
  old.day = 2;
  EXPECT_EQ(old.formatDate(), L"0007-01-02");
  EXPECT_TRUE(isLeapYear(2000));
  EXPECT_FALSE(isLeapYear(2100));
  EXPECT_EQ(daysInMonth(2016, 2), 29);
}
