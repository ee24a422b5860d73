#include "webstat/feed_lines.h"

#include <algorithm>

#include "support/text.h"
#include "traffic/w3c.h"

namespace feed {

namespace {

constexpr std::array<std::wstring_view, 13> kMonths = {L"???", L"JAN", L"FEB", L"MAR", L"APR", L"MAY", L"JUN",
                                                       L"JUL", L"AUG", L"SEP", L"OCT", L"NOV", L"DEC"};
constexpr std::array<std::wstring_view, 7> kDays = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

// A number zero-padded to `width` digits (wider numbers keep all digits), as
// "%0Nd" prints it; done by hand because it runs several times per line.
void appendNumber(std::wstring& out, unsigned value, int width) {
  wchar_t digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) out += L'0';
  while (n > 0) out += digits[--n];
}

void appendUnsigned64(std::wstring& out, unsigned long long value) {
  wchar_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

// The fields from s-sitename to time-taken, each behind a blank; the FTP
// line passes the two fields it rewrites.
template <class Rewrite>
void appendAWStatsFields(std::wstring& out, const W3CRecord& entry, FieldReader& fields, Rewrite&& rewrite) {
  for (int f = kFirstAWStatsField; f <= kLastAWStatsField; ++f) {
    out += L' ';
    const std::wstring_view value = valueOr(fields(entry, static_cast<Field>(f)), L"-");
    if (!rewrite(out, static_cast<Field>(f), value)) out += value;
  }
}

}  // namespace

const std::array<std::wstring_view, FieldCount> kFieldNames = {
    L"date",          L"time",           L"s-sitename", L"s-computername", L"s-ip",         L"cs-method",
    L"cs-uri-stem",   L"cs-uri-query",   L"s-port",     L"cs-username",    L"c-ip",         L"cs-version",
    L"cs(User-Agent)", L"cs(Cookie)",    L"cs(Referer)", L"cs-host",       L"sc-status",    L"sc-substatus",
    L"sc-win32-status", L"sc-bytes",     L"cs-bytes",   L"time-taken"};

std::wstring_view monthName(int month) { return month >= 1 && month <= 12 ? kMonths[month] : kMonths[0]; }

std::wstring_view dayName(int dayOfWeek) { return dayOfWeek >= 0 && dayOfWeek <= 6 ? kDays[dayOfWeek] : kMonths[0]; }

std::wstring_view FieldReader::operator()(const W3CRecord& record, Field field) {
  if (!bound_ || record.generation() != generation_) bind(record);
  const int column = columns_[field];
  if (column >= 0) return record.value(column);
  return record(kFieldNames[field]);
}

void FieldReader::bind(const W3CRecord& record) {
  for (int f = 0; f < FieldCount; ++f) columns_[f] = record.column(kFieldNames[f]);
  generation_ = record.generation();
  bound_ = true;
}

void appendWebalizerHttpLine(std::wstring& out, const VDateTime& t, const W3CRecord& entry, FieldReader& fields) {
  appendNumber(out, t.year, 4);
  appendNumber(out, t.month, 2);
  appendNumber(out, t.day, 2);
  appendNumber(out, t.hour, 2);
  appendNumber(out, t.minute, 2);
  appendNumber(out, t.second, 2);
  out += L' ';
  out += valueOr(fields(entry, ClientIp), L"-");
  out += L' ';
  out += valueOr(fields(entry, UserName), L"-");
  out += L" - [";
  appendNumber(out, t.day, 2);
  out += L'/';
  out += monthName(t.month);
  out += L'/';
  appendNumber(out, t.year, 4);
  out += L':';
  appendNumber(out, t.hour, 2);
  out += L':';
  appendNumber(out, t.minute, 2);
  out += L':';
  appendNumber(out, t.second, 2);
  out += L"] \"";
  out += fields(entry, Method);
  out += L' ';
  out += fields(entry, UriStem);
  out += L' ';
  out += fields(entry, Version);
  out += L"\" ";
  out += valueOr(fields(entry, Status), L"-");
  out += L' ';
  out += valueOr(fields(entry, ScBytes), L"-");
  out += L' ';
  out += valueOr(fields(entry, Referer), L"-");
  out += L' ';
  const std::wstring_view agent = fields(entry, UserAgent);
  if (agent == L"-") {
    out += L'-';
  } else {
    out += L'"';
    out += agent;
    out += L'"';
  }
  out += L" \r\n";
}

void appendWebalizerFtpLine(std::wstring& out, const VDateTime& t, int kind, const W3CRecord& entry, bool isDownload,
                            FieldReader& fields) {
  out += dayName(t.dayOfWeek);
  out += L' ';
  out += monthName(t.month);
  out += L' ';
  appendNumber(out, t.day, 2);
  out += L' ';
  appendNumber(out, t.hour, 2);
  out += L':';
  appendNumber(out, t.minute, 2);
  out += L':';
  appendNumber(out, t.second, 2);
  out += L' ';
  appendNumber(out, t.year, 4);
  out += L' ';
  const long long milliseconds = text::parseLeadingInt64(fields(entry, TimeTaken));
  appendUnsigned64(out, milliseconds > 0 ? static_cast<unsigned long long>(milliseconds) / 1000 : 0);
  out += L' ';
  out += valueOr(fields(entry, ClientIp), L"-");
  out += L' ';
  // The bytes the line moved both ways, as the results count them: a
  // transfer logs its data in one direction and its commands in the other,
  // and the analyser's bandwidth must equal the results' in + out.
  const long long sent = std::max(0LL, text::parseLeadingInt64(fields(entry, ScBytes)));
  const long long received = std::max(0LL, text::parseLeadingInt64(fields(entry, CsBytes)));
  appendUnsigned64(out, static_cast<unsigned long long>(sent) + static_cast<unsigned long long>(received));
  out += L' ';
  out += valueOr(fields(entry, UriStem), L"-");
  out += L" b _ ";
  out += isDownload ? L'o' : L'i';
  out += L' ';
  out += kind == 1 ? L'a' : L'r';
  out += L' ';
  out += valueOr(fields(entry, UserName), L"-");
  out += L' ';
  out += valueOr(fields(entry, Version), L"ftp");
  out += L" 1 * c\n";
}

void AWStatsClock::append(std::wstring& out, std::wstring_view date, std::wstring_view time) {
  date = valueOr(date, L"-");
  time = valueOr(time, L"-");
  if (date == L"-" || time == L"-") {
    out += date;
    out += L' ';
    out += time;
    return;
  }
  if (!valid_ || date != date_ || time != time_) {
    VDateTime utc;
    utc.parse(date, L"YMD");
    utc.parse(time, L"hms");
    const VDateTime local = utc.toLocalTime();
    // Only a successful conversion is remembered: a bad entry raises every time.
    text_.clear();
    appendNumber(text_, local.year, 4);
    text_ += L'-';
    appendNumber(text_, local.month, 2);
    text_ += L'-';
    appendNumber(text_, local.day, 2);
    text_ += L' ';
    appendNumber(text_, local.hour, 2);
    text_ += L':';
    appendNumber(text_, local.minute, 2);
    text_ += L':';
    appendNumber(text_, local.second, 2);
    date_.assign(date);
    time_.assign(time);
    valid_ = true;
  }
  out += text_;
}

void appendAWStatsHttpLine(std::wstring& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock) {
  clock.append(out, fields(entry, Date), fields(entry, Time));
  appendAWStatsFields(out, entry, fields, [](std::wstring&, Field, std::wstring_view) { return false; });
}

void appendAWStatsFtpLine(std::wstring& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock,
                          std::wstring_view domainName) {
  clock.append(out, fields(entry, Date), fields(entry, Time));
  appendAWStatsFields(out, entry, fields, [domainName](std::wstring& line, Field field, std::wstring_view value) {
    if (field == Host && value == L"-") {
      line += domainName;
      return true;
    }
    if (field != Method) return false;
    const size_t at = value.find(L"created");
    if (at == std::wstring_view::npos) return false;
    line += value.substr(0, at);
    line += L"sent";
    line += value.substr(at + 7);
    return true;
  });
}

}  // namespace feed
