// Calendar date and time of day, as the Windows SYSTEMTIME record: compared
// field by field from year to milliseconds (day of week ignored), arithmetic
// on the 100-nanosecond file-time scale.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

struct VDateTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;

  // The current time, UTC / local.
  static VDateTime nowUtc();
  static VDateTime nowLocal();

  // Walks the text: skips non-digits, reads the next decimal number into the
  // field of the next pattern letter ("Y" year, below 50 + 2000, 50-99 + 1900;
  // "M", "D", "h", "m", "s"). Another letter raises "Invalid datetime format".
  // Stops when the pattern or the text is exhausted; fields that get no number
  // keep their value.
  void parse(std::wstring_view text, std::wstring_view pattern);
  static VDateTime parsed(std::wstring_view text, std::wstring_view pattern);

  // Fills the day of week through the calendar conversion; returns false (and
  // leaves the value) when the fields are no valid calendar time.
  bool normalize();

  // 100-nanosecond intervals since 1601-01-01; raises "SystemTimeToFileTime"
  // (function "VDateTime::operator -") when the fields are not a valid time.
  int64_t toFileTime() const;
  static VDateTime fromFileTime(int64_t fileTime);
  bool validFileTime() const;

  // This UTC value as local time (raises as toFileTime).
  VDateTime toLocalTime() const;

  VDateTime addSeconds(int64_t seconds) const;
  // The date part: time of day and day of week zero.
  VDateTime datePart() const;

  // Field-by-field comparison, day of week ignored.
  std::strong_ordering operator<=>(const VDateTime& o) const;
  bool operator==(const VDateTime& o) const { return (*this <=> o) == 0; }

  // "%04d/%02d/%02d %02d:%02d:%02d", the form of the run markers.
  std::wstring formatMarker() const;
  // "%04d-%02d-%02d", the form of dates in the results document.
  std::wstring formatDate() const;
  // "%04d%02d%02d%02d%02d%02d%03d", the 17-digit stamp.
  std::wstring formatStamp17() const;
};

bool isLeapYear(int year);
int daysInMonth(int year, int month);
