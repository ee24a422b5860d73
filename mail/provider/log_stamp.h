// Time stamps of mail log lines, turned into seconds since 1970 UTC: the
// classic syslog stamp ("Mar  1 10:00:01", "Mar 01", "Mar 1"; local time, no
// year), RFC 3339 ("2024-03-01T10:00:01.123456+01:00"), Dovecot's own
// "2024-03-01 10:00:01" (local time) and multilog's TAI64N ("@4000...").
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "mail/mail_provider.h"

namespace mailprovider {

// Seconds since 1970-01-01 00:00:00 UTC.
using UnixTime = int64_t;
inline constexpr UnixTime kBeginningOfTime = std::numeric_limits<UnixTime>::min();

// The moment as UTC seconds; the all-zero value is kBeginningOfTime. Raises
// for a value that is no calendar time.
UnixTime unixTime(const mailhostctl::MailDateTime& t);
mailhostctl::MailDate dateOf(UnixTime t);
// The moment as a window's date and time (UTC), the inverse of unixTime.
mailhostctl::MailDateTime mailDateTime(UnixTime t);
UnixTime unixTime(int year, int month, int day, int hour, int minute, int second);

// Reads the stamp at the start of a line. A classic stamp is the host's local
// time (TZ) without a year: it gets the year of the window's end, or the
// year before when that would put it more than a day after the end (a line
// of December read in January). A line a little after the end keeps the
// current year: it was written while the run was reading.
class StampReader {
 public:
  explicit StampReader(UnixTime windowEnd);

  // On success sets `time` and removes the stamp and the blank after it
  // from `line`; false when the line does not start with a valid stamp.
  bool read(std::string_view& line, UnixTime& time);

 private:
  bool readClassic(std::string_view& line, UnixTime& time);
  bool readRfc3339(std::string_view& line, UnixTime& time);
  bool readLocalIso(std::string_view& line, UnixTime& time);
  bool readTai64n(std::string_view& line, UnixTime& time);
  // UTC of the start of that local hour, the year inferred.
  bool localHourStart(int month, int day, int hour, UnixTime& out);

  UnixTime windowEnd_;
  int endLocalYear_;
  // The last hour converted: lines come in order, so most share it.
  int cachedMonth_ = 0, cachedDay_ = 0, cachedHour_ = -1;
  UnixTime cachedStart_ = 0;
};

}  // namespace mailprovider
