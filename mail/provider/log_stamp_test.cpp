#include "mail/provider/log_stamp.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/exceptions.h"
#include "support/testing/testenv.h"

using mailprovider::StampReader;
using mailprovider::UnixTime;
using mailprovider::unixTime;

namespace {

// Sets TZ for the test and lets the C library see it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz) : env_("TZ", tz) { tzset(); }
  ~ScopedTimeZone() { tzset(); }

 private:
  testenv::ScopedEnv env_;
};

// The time read from the stamp at the start of `line`; -1 when unreadable.
// Checks that the stamp and its blank were removed.
UnixTime readStamp(StampReader& reader, std::string line) {
  std::string_view rest = line;
  UnixTime t = 0;
  if (!reader.read(rest, t)) return -1;
  EXPECT_EQ(rest, "host tag: text") << line;
  return t;
}

}  // namespace

TEST(LogStampTest, ReadsClassicStampsAsLocalTimeOfTheInferredYear) {
  ScopedTimeZone utc("UTC");
  StampReader reader(unixTime(2024, 3, 2, 6, 0, 0));
  EXPECT_EQ(readStamp(reader, "Mar  1 10:00:01 host tag: text"), unixTime(2024, 3, 1, 10, 0, 1));
  EXPECT_EQ(readStamp(reader, "Mar 01 10:00:01 host tag: text"), unixTime(2024, 3, 1, 10, 0, 1));
  EXPECT_EQ(readStamp(reader, "Feb 29 23:59:59 host tag: text"), unixTime(2024, 2, 29, 23, 59, 59));

  // Read on New Year's morning: December is last year, a line written just
  // after the window's end stays in this year.
  StampReader newYear(unixTime(2024, 1, 1, 0, 0, 5));
  EXPECT_EQ(readStamp(newYear, "Dec 31 23:59:59 host tag: text"), unixTime(2023, 12, 31, 23, 59, 59));
  EXPECT_EQ(readStamp(newYear, "Jan  1 00:00:07 host tag: text"), unixTime(2024, 1, 1, 0, 0, 7));
  EXPECT_EQ(readStamp(newYear, "Jan  3 00:00:00 host tag: text"), unixTime(2023, 1, 3, 0, 0, 0));

  // 29 February only exists in leap years.
  StampReader afterLeapYear(unixTime(2025, 6, 1, 0, 0, 0));
  EXPECT_EQ(readStamp(afterLeapYear, "Feb 29 12:00:00 host tag: text"), unixTime(2024, 2, 29, 12, 0, 0));
  StampReader twoYearsLater(unixTime(2026, 6, 1, 0, 0, 0));
  EXPECT_EQ(readStamp(twoYearsLater, "Feb 29 12:00:00 host tag: text"), -1);
}

TEST(LogStampTest, ClassicStampsFollowTheTimeZoneAndItsSummerTime) {
  ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
  StampReader reader(unixTime(2024, 12, 1, 0, 0, 0));
  EXPECT_EQ(readStamp(reader, "Mar  1 10:00:01 host tag: text"), unixTime(2024, 3, 1, 9, 0, 1));
  EXPECT_EQ(readStamp(reader, "Jul  1 10:00:01 host tag: text"), unixTime(2024, 7, 1, 8, 0, 1));
  EXPECT_EQ(readStamp(reader, "Jul  1 10:59:59 host tag: text"), unixTime(2024, 7, 1, 8, 59, 59));
}

TEST(LogStampTest, ReadsRfc3339StampsWithTheirOffset) {
  ScopedTimeZone utc("UTC");
  StampReader reader(unixTime(2024, 3, 2, 0, 0, 0));
  EXPECT_EQ(readStamp(reader, "2024-03-01T10:00:01.123456+01:00 host tag: text"), unixTime(2024, 3, 1, 9, 0, 1));
  EXPECT_EQ(readStamp(reader, "2024-03-01T10:00:01Z host tag: text"), unixTime(2024, 3, 1, 10, 0, 1));
  EXPECT_EQ(readStamp(reader, "2024-03-01T10:00:01-05:30 host tag: text"), unixTime(2024, 3, 1, 15, 30, 1));
  // RFC 3339 stamps carry their year: no inference.
  EXPECT_EQ(readStamp(reader, "2019-12-31T23:00:00Z host tag: text"), unixTime(2019, 12, 31, 23, 0, 0));
}

TEST(LogStampTest, RefusesWhatIsNoStamp) {
  ScopedTimeZone utc("UTC");
  StampReader reader(unixTime(2024, 3, 2, 0, 0, 0));
  for (const char* line : {"Foo  1 10:00:01 host tag: text", "Feb 30 10:00:01 host tag: text", "Mar  1 25:00:01 host tag: text",
                           "Mar  1 10:00:01", "Mar  1 10:0:01 host tag: text", "2024-13-01T10:00:01Z host tag: text",
                           "2024-03-01T10:00:01 host tag: text", "2024-03-01T10:00:01+0100 host tag: text", "", "garbage"}) {
    EXPECT_EQ(readStamp(reader, line), -1) << line;
  }
}

TEST(LogStampTest, ConvertsWindowTimesAndDates) {
  EXPECT_EQ(mailprovider::unixTime(mailhostctl::MailDateTime{}), mailprovider::kBeginningOfTime);
  EXPECT_EQ(mailprovider::unixTime(mailhostctl::MailDateTime{1970, 1, 2, 0, 0, 1}), 86401);
  EXPECT_THROW(mailprovider::unixTime(mailhostctl::MailDateTime{2024, 2, 30, 0, 0, 0}), vexception);
  EXPECT_EQ(mailprovider::dateOf(unixTime(2024, 2, 29, 23, 59, 59)), (mailhostctl::MailDate{2024, 2, 29}));
  EXPECT_EQ(mailprovider::dateOf(-1), (mailhostctl::MailDate{1969, 12, 31}));
}
