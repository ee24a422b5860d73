#include "support/datetime.h"

#include <ctime>
#include <sys/time.h>

#include "support/exceptions.h"
#include "support/vaformat.h"

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

VDateTime fromTm(const struct tm& t, int millis) {
  VDateTime d;
  d.year = static_cast<uint16_t>(t.tm_year + 1900);
  d.month = static_cast<uint16_t>(t.tm_mon + 1);
  d.day = static_cast<uint16_t>(t.tm_mday);
  d.hour = static_cast<uint16_t>(t.tm_hour);
  d.minute = static_cast<uint16_t>(t.tm_min);
  d.second = static_cast<uint16_t>(t.tm_sec);
  d.dayOfWeek = static_cast<uint16_t>(t.tm_wday);
  d.millisecond = static_cast<uint16_t>(millis);
  return d;
}

}  // namespace

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

VDateTime VDateTime::nowUtc() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  gmtime_r(&tv.tv_sec, &t);
  return fromTm(t, static_cast<int>(tv.tv_usec / 1000));
}

VDateTime VDateTime::nowLocal() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  localtime_r(&tv.tv_sec, &t);
  return fromTm(t, static_cast<int>(tv.tv_usec / 1000));
}

void VDateTime::parse(std::wstring_view text, std::wstring_view pattern) {
  size_t pos = 0;
  for (wchar_t letter : pattern) {
    while (pos < text.size() && !(text[pos] >= L'0' && text[pos] <= L'9')) ++pos;
    if (pos >= text.size()) return;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') value = value * 10 + static_cast<unsigned>(text[pos++] - L'0');
    const uint16_t v = static_cast<uint16_t>(value);
    switch (letter) {
      case L'Y': year = v < 50 ? static_cast<uint16_t>(v + 2000) : v < 100 ? static_cast<uint16_t>(v + 1900) : v; break;
      case L'M': month = v; break;
      case L'D': day = v; break;
      case L'h': hour = v; break;
      case L'm': minute = v; break;
      case L's': second = v; break;
      default: throw vexception(L"Invalid datetime format", VLOC(L"", "VDateTime::parse"));
    }
  }
}

VDateTime VDateTime::parsed(std::wstring_view text, std::wstring_view pattern) {
  VDateTime d;
  d.parse(text, pattern);
  return d;
}

bool VDateTime::validFileTime() const {
  return year >= 1601 && year <= 30827 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month) && hour < 24 &&
         minute < 60 && second < 60 && millisecond < 1000;
}

int64_t VDateTime::toFileTime() const {
  if (!validFileTime()) raiseWindowsError(L"SystemTimeToFileTime", winerr::InvalidParameter, VLOC(L"", "VDateTime::operator -"));
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  const int64_t secs = static_cast<int64_t>(timegm(&t));
  return (secs + kEpochDelta) * kTicksPerSecond + static_cast<int64_t>(millisecond) * 10000;
}

VDateTime VDateTime::fromFileTime(int64_t ft) {
  int64_t secs = ft / kTicksPerSecond - kEpochDelta;
  int64_t rem = ft % kTicksPerSecond;
  if (rem < 0) {
    rem += kTicksPerSecond;
    --secs;
  }
  time_t tt = static_cast<time_t>(secs);
  struct tm t;
  gmtime_r(&tt, &t);
  return fromTm(t, static_cast<int>(rem / 10000));
}

bool VDateTime::normalize() {
  if (!validFileTime()) return false;
  *this = fromFileTime(toFileTime());
  return true;
}

VDateTime VDateTime::toLocalTime() const {
  if (!validFileTime()) raiseWindowsError(L"SystemTimeToFileTime", winerr::InvalidParameter, VLOC(L"", "VDateTime::toLocalTime"));
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  time_t secs = timegm(&t);
  struct tm local;
  localtime_r(&secs, &local);
  return fromTm(local, millisecond);
}

VDateTime VDateTime::addSeconds(int64_t seconds) const { return fromFileTime(toFileTime() + seconds * kTicksPerSecond); }

VDateTime VDateTime::datePart() const {
  VDateTime d;
  d.year = year;
  d.month = month;
  d.day = day;
  return d;
}

std::strong_ordering VDateTime::operator<=>(const VDateTime& o) const {
  if (auto c = year <=> o.year; c != 0) return c;
  if (auto c = month <=> o.month; c != 0) return c;
  if (auto c = day <=> o.day; c != 0) return c;
  if (auto c = hour <=> o.hour; c != 0) return c;
  if (auto c = minute <=> o.minute; c != 0) return c;
  if (auto c = second <=> o.second; c != 0) return c;
  return millisecond <=> o.millisecond;
}

std::wstring VDateTime::formatMarker() const {
  return vaformat(L"%04d/%02d/%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
}

std::wstring VDateTime::formatDate() const { return vaformat(L"%04d-%02d-%02d", year, month, day); }

std::wstring VDateTime::formatStamp17() const {
  return vaformat(L"%04d%02d%02d%02d%02d%02d%03d", year, month, day, hour, minute, second, millisecond);
}
