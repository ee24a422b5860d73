#include "mail/provider/log_stamp.h"

#include <cctype>
#include <chrono>
#include <ctime>

#include "support/exceptions.h"

namespace mailprovider {

namespace {

constexpr UnixTime kDay = 86400;
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool validDate(int year, int month, int day) {
  return std::chrono::year_month_day(std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)).ok();
}

// Reads exactly `width` digits.
bool digits(std::string_view s, size_t at, size_t width, int& out) {
  if (s.size() < at + width) return false;
  out = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

bool validTime(int hour, int minute, int second) { return hour < 24 && minute < 60 && second < 61; }

// The local time as UTC seconds; mktime applies the rules of TZ, summer time
// included (tm_isdst -1: let the rules decide).
UnixTime localToUtc(int year, int month, int day, int hour) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_isdst = -1;
  return static_cast<UnixTime>(std::mktime(&t));
}

int localYearOf(UnixTime t) {
  const std::time_t secs = static_cast<std::time_t>(t);
  std::tm local{};
  if (!localtime_r(&secs, &local)) return 1970;
  return local.tm_year + 1900;
}

}  // namespace

UnixTime unixTime(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_days days{year_month_day(std::chrono::year(year), std::chrono::month(month), std::chrono::day(day))};
  return static_cast<UnixTime>(days.time_since_epoch().count()) * kDay + hour * 3600 + minute * 60 + second;
}

mailhostctl::MailDateTime mailDateTime(UnixTime t) {
  const mailhostctl::MailDate d = dateOf(t);
  const UnixTime s = t - unixTime(d.year, d.month, d.day, 0, 0, 0);
  return {d.year, d.month, d.day, static_cast<uint16_t>(s / 3600), static_cast<uint16_t>(s / 60 % 60), static_cast<uint16_t>(s % 60)};
}

UnixTime unixTime(const mailhostctl::MailDateTime& t) {
  if (t == mailhostctl::MailDateTime{}) return kBeginningOfTime;
  if (!validDate(t.year, t.month, t.day) || !validTime(t.hour, t.minute, t.second))
    throw vexception(L"Invalid window time", VLOC(L"", "mailprovider::unixTime"));
  return unixTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

mailhostctl::MailDate dateOf(UnixTime t) {
  using namespace std::chrono;
  UnixTime days = t / kDay;
  if (t % kDay < 0) --days;
  const year_month_day ymd{sys_days{std::chrono::days{days}}};
  return {static_cast<uint16_t>(static_cast<int>(ymd.year())), static_cast<uint16_t>(static_cast<unsigned>(ymd.month())),
          static_cast<uint16_t>(static_cast<unsigned>(ymd.day()))};
}

StampReader::StampReader(UnixTime windowEnd) : windowEnd_(windowEnd), endLocalYear_(localYearOf(windowEnd)) {}

bool StampReader::read(std::string_view& line, UnixTime& time) {
  if (line.empty()) return false;
  if (line[0] == '@') return readTai64n(line, time);
  if (line[0] >= '0' && line[0] <= '9') return line.size() > 10 && line[10] == ' ' ? readLocalIso(line, time) : readRfc3339(line, time);
  return readClassic(line, time);
}

// Dovecot's "log_timestamp = %Y-%m-%d %H:%M:%S ": local time, no zone.
bool StampReader::readLocalIso(std::string_view& line, UnixTime& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (line.size() < 20 || line[4] != '-' || line[7] != '-' || line[13] != ':' || line[16] != ':' || line[19] != ' ') return false;
  if (!digits(line, 0, 4, year) || !digits(line, 5, 2, month) || !digits(line, 8, 2, day) || !digits(line, 11, 2, hour) ||
      !digits(line, 14, 2, minute) || !digits(line, 17, 2, second))
    return false;
  if (!validDate(year, month, day) || !validTime(hour, minute, second)) return false;
  time = localToUtc(year, month, day, hour) + minute * 60 + second;
  line.remove_prefix(20);
  return true;
}

// multilog's "@4000000065e1a2b30a1b2c3d ": TAI64N, 2^62 + 10 + UTC seconds
// as the daemontools clock writes it (leap seconds not applied), then
// nanoseconds.
bool StampReader::readTai64n(std::string_view& line, UnixTime& time) {
  if (line.size() < 26 || line[25] != ' ') return false;
  uint64_t label = 0;
  for (size_t i = 1; i < 17; ++i) {
    const char c = line[i];
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) return false;
    label = label << 4 | static_cast<uint64_t>(v);
  }
  for (size_t i = 17; i < 25; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(line[i]))) return false;
  constexpr uint64_t kEpoch = (uint64_t{1} << 62) + 10;
  if (label < kEpoch || label - kEpoch > static_cast<uint64_t>(1) << 40) return false;
  time = static_cast<UnixTime>(label - kEpoch);
  line.remove_prefix(26);
  return true;
}

bool StampReader::localHourStart(int month, int day, int hour, UnixTime& out) {
  if (month == cachedMonth_ && day == cachedDay_ && hour == cachedHour_) {
    out = cachedStart_;
    return true;
  }
  int year = endLocalYear_;
  UnixTime start = 0;
  const bool thisYear = validDate(year, month, day);
  if (thisYear) start = localToUtc(year, month, day, hour);
  if (!thisYear || start > windowEnd_ + kDay) {
    --year;
    if (!validDate(year, month, day)) return false;
    start = localToUtc(year, month, day, hour);
  }
  cachedMonth_ = month;
  cachedDay_ = day;
  cachedHour_ = hour;
  cachedStart_ = start;
  out = start;
  return true;
}

// "Mmm dd hh:mm:ss " with the day padded by a blank or a zero.
bool StampReader::readClassic(std::string_view& line, UnixTime& time) {
  // "Mar 7 10:00:01": the day unpadded; read as its padded form.
  if (line.size() >= 15 && line[3] == ' ' && line[4] >= '1' && line[4] <= '9' && line[5] == ' ' && line[8] == ':') {
    std::string padded(line.substr(0, 4));
    padded += ' ';
    padded += line.substr(4, 10);
    padded += ' ';
    std::string_view view(padded);
    if (line.size() > 14 && line[14] == ' ' && readClassic(view, time)) {
      line.remove_prefix(15);
      return true;
    }
    return false;
  }
  if (line.size() < 16 || line[3] != ' ' || line[6] != ' ' || line[9] != ':' || line[12] != ':' || line[15] != ' ') return false;
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (line.substr(0, 3) == kMonths[i]) month = i + 1;
  int day = 0, hour = 0, minute = 0, second = 0;
  const bool dayOk = line[4] == ' ' ? digits(line, 5, 1, day) : digits(line, 4, 2, day);
  if (!month || !dayOk || !digits(line, 7, 2, hour) || !digits(line, 10, 2, minute) || !digits(line, 13, 2, second)) return false;
  if (!validTime(hour, minute, second)) return false;
  UnixTime hourStart = 0;
  if (!localHourStart(month, day, hour, hourStart)) return false;
  time = hourStart + minute * 60 + second;
  line.remove_prefix(16);
  return true;
}

// "YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm) ".
bool StampReader::readRfc3339(std::string_view& line, UnixTime& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (line.size() < 20 || line[4] != '-' || line[7] != '-' || (line[10] != 'T' && line[10] != 't') || line[13] != ':' || line[16] != ':')
    return false;
  if (!digits(line, 0, 4, year) || !digits(line, 5, 2, month) || !digits(line, 8, 2, day) || !digits(line, 11, 2, hour) ||
      !digits(line, 14, 2, minute) || !digits(line, 17, 2, second))
    return false;
  if (!validDate(year, month, day) || !validTime(hour, minute, second)) return false;
  size_t at = 19;
  if (at < line.size() && line[at] == '.') {
    ++at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
  }
  int offset = 0;
  if (at < line.size() && (line[at] == 'Z' || line[at] == 'z')) {
    ++at;
  } else if (at < line.size() && (line[at] == '+' || line[at] == '-')) {
    int oh = 0, om = 0;
    if (!digits(line, at + 1, 2, oh) || at + 3 >= line.size() || line[at + 3] != ':' || !digits(line, at + 4, 2, om)) return false;
    offset = (oh * 3600 + om * 60) * (line[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return false;
  }
  if (at >= line.size() || line[at] != ' ') return false;
  time = unixTime(year, month, day, hour, minute, second) - offset;
  line.remove_prefix(at + 1);
  return true;
}

}  // namespace mailprovider
