#include "traffic/linux_logs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"

namespace linuxlog {
namespace {

constexpr size_t kBufferSize = 256 * 1024;
// How much of a file the form is judged from.
constexpr size_t kSniffBytes = 64 * 1024;
constexpr int kSniffLines = 100;
// The first read of the judging: the first line decides most files (a W3C
// log opens with its directives), so its rest is read only when needed.
constexpr size_t kSniffFirstRead = 4 * 1024;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isDigit(c)) return false;
  return true;
}
// The W3C reader's column separators: a value holding one is written with
// "+" in its place, as IIS writes blanks.
bool isSeparator(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isSeparator(s.back())) s.remove_suffix(1);
  return s;
}

// Seconds since 1970 of a civil UTC time (the calendar arithmetic of <chrono>).
int64_t civilSeconds(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_days days{std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} / std::chrono::day{static_cast<unsigned>(day)}};
  return static_cast<int64_t>(days.time_since_epoch().count()) * 86400 + hour * 3600 + minute * 60 + second;
}

bool validCivil(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  if (year < 1601 || year > 9999 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 60) return false;
  return std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                     std::chrono::day{static_cast<unsigned>(day)}}
      .ok();
}

// Reads n digits at s[i..]; false unless all are digits.
bool digits(std::string_view s, size_t i, size_t n, int& out) {
  if (i + n > s.size()) return false;
  int v = 0;
  for (size_t k = i; k < i + n; ++k) {
    if (!isDigit(s[k])) return false;
    v = v * 10 + (s[k] - '0');
  }
  out = v;
  return true;
}

int monthNumber(std::string_view s) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (s.size() != 3) return 0;
  for (int m = 0; m < 12; ++m)
    if (s[0] == kMonths[m][0] && s[1] == kMonths[m][1] && s[2] == kMonths[m][2]) return m + 1;
  return 0;
}

// "10/Oct/2000:13:55:36 -0700" -> seconds since 1970 in UTC.
bool parseCommonLogTime(std::string_view s, int64_t& out) {
  int day, year, hour, minute, second, oh, om;
  if (s.size() != 26 || s[2] != '/' || s[6] != '/' || s[11] != ':' || s[14] != ':' || s[17] != ':' || s[20] != ' ') return false;
  const int month = monthNumber(s.substr(3, 3));
  if (!month || !digits(s, 0, 2, day) || !digits(s, 7, 4, year) || !digits(s, 12, 2, hour) || !digits(s, 15, 2, minute) ||
      !digits(s, 18, 2, second) || (s[21] != '+' && s[21] != '-') || !digits(s, 22, 2, oh) || !digits(s, 24, 2, om) || om > 59)
    return false;
  if (!validCivil(year, month, day, hour, minute, second)) return false;
  const int64_t offset = (oh * 3600 + om * 60) * (s[21] == '-' ? -1 : 1);
  out = civilSeconds(year, month, day, hour, minute, second) - offset;
  return true;
}

// "2000-10-10T13:55:36-07:00" (or "+00:00") -> seconds since 1970 in UTC.
bool parseIsoTime(std::string_view s, int64_t& out) {
  int year, month, day, hour, minute, second, oh = 0, om = 0;
  if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':') return false;
  if (!digits(s, 0, 4, year) || !digits(s, 5, 2, month) || !digits(s, 8, 2, day) || !digits(s, 11, 2, hour) || !digits(s, 14, 2, minute) ||
      !digits(s, 17, 2, second))
    return false;
  int sign = 1;
  if (s.size() == 20 && s[19] == 'Z') {
  } else if (s.size() == 25 && (s[19] == '+' || s[19] == '-') && s[22] == ':' && digits(s, 20, 2, oh) && digits(s, 23, 2, om) && om < 60) {
    sign = s[19] == '-' ? -1 : 1;
  } else {
    return false;
  }
  if (!validCivil(year, month, day, hour, minute, second)) return false;
  out = civilSeconds(year, month, day, hour, minute, second) - sign * (oh * 3600 + om * 60);
  return true;
}

std::wstring widen(std::string_view s) { return text::fromAnsi(s); }

[[noreturn]] void badFormat(const std::string& format, const std::string& what) {
  throw vexception(widen(what) + L" in the access log format \"" + widen(format) + L"\"", VLOC(L"", "linuxlog::AccessLogFormat::parse"));
}

Item apacheItem(char letter, const std::string& arg, const std::string& format) {
  switch (letter) {
    case 'a':
    case 'h':
      return arg.empty() || arg == "c" ? Item::ClientIp : Item::Other;
    case 'b':
    case 'B':
      return Item::BodyBytes;
    case 'O':
      return Item::SentBytes;
    case 'I':
      return Item::ReceivedBytes;
    case 'D':
      return Item::Microseconds;
    case 'T':
      return arg.empty() || arg == "s" ? Item::Seconds : Item::Other;
    case 'H':
      return Item::Protocol;
    case 'm':
      return Item::Method;
    case 'U':
      return Item::UriPath;
    case 'q':
      return Item::Query;
    case 'r':
      return Item::Request;
    case 's':
      return Item::Status;
    case 'u':
      return Item::User;
    case 'v':
    case 'V':
      return Item::VirtualHost;
    case 'p':
      return arg.empty() || arg == "canonical" || arg == "local" ? Item::Port : Item::Other;
    case 't':
      if (!arg.empty()) badFormat(format, "%{" + arg + "}t: only the default time of %t can be read");
      return Item::TimeBracketed;
    case 'i': {
      const std::wstring name = text::lowerAscii(widen(arg));
      if (name == L"referer") return Item::Referer;
      if (name == L"user-agent") return Item::UserAgent;
      if (name == L"host") return Item::HostHeader;
      if (arg.empty()) badFormat(format, "%i without a header name");
      return Item::Other;
    }
    case 'A': case 'C': case 'e': case 'f': case 'k': case 'l': case 'L': case 'n': case 'o': case 'P': case 'R': case 'S': case 'X':
      return Item::Other;
    default:
      badFormat(format, std::string("Unknown directive %") + letter);
  }
}

Item nginxItem(const std::string& name, const std::string& format) {
  struct Known {
    const char* name;
    Item item;
  };
  static constexpr Known kKnown[] = {
      {"remote_addr", Item::ClientIp},        {"realip_remote_addr", Item::ClientIp}, {"remote_user", Item::User},
      {"time_local", Item::TimeLocal},        {"time_iso8601", Item::TimeIso8601},    {"request", Item::Request},
      {"request_method", Item::Method},       {"uri", Item::UriPath},                 {"document_uri", Item::UriPath},
      {"args", Item::Query},                  {"query_string", Item::Query},          {"request_uri", Item::RequestUri},
      {"server_protocol", Item::Protocol},    {"status", Item::Status},               {"body_bytes_sent", Item::BodyBytes},
      {"bytes_sent", Item::SentBytes},        {"request_length", Item::ReceivedBytes}, {"http_referer", Item::Referer},
      {"http_user_agent", Item::UserAgent},   {"http_host", Item::HostHeader},        {"host", Item::HostHeader},
      {"server_name", Item::VirtualHost},     {"server_port", Item::Port},            {"request_time", Item::SecondsMillis},
  };
  for (const Known& k : kKnown)
    if (name == k.name) return k.item;
  static constexpr const char* kOther[] = {"msec", "connection", "connection_requests", "pipe", "scheme", "server_addr", "remote_port",
                                           "gzip_ratio", "pid", "hostname", "request_id", "https", "request_completion", "nginx_version",
                                           "proxy_protocol_addr", "proxy_protocol_port", "proxy_add_x_forwarded_for", "content_type",
                                           "content_length", "limit_rate", "binary_remote_addr", "request_body", "is_args", "realpath_root",
                                           "document_root", "request_filename", "status_text"};
  for (const char* o : kOther)
    if (name == o) return Item::Other;
  static constexpr const char* kPrefixes[] = {"http_", "sent_http_", "sent_trailer_", "cookie_", "arg_", "upstream_", "ssl_", "geoip_",
                                              "tcpinfo_", "proxy_protocol_", "jwt_", "limit_"};
  for (const char* p : kPrefixes)
    if (name.starts_with(p) && name.size() > std::strlen(p)) return Item::Other;
  badFormat(format, "Unknown variable $" + name);
}

// Whether a quoted value ends at `p` (a quote followed by the rest of the
// format's literal).
// Literals are a few bytes ("] \"", " "): compared in place rather than
// through a library call.
bool literalAt(std::string_view line, size_t p, std::string_view literal) {
  if (p > line.size() || line.size() - p < literal.size()) return false;
  const char* at = line.data() + p;
  for (size_t i = 0; i < literal.size(); ++i)
    if (at[i] != literal[i]) return false;
  return true;
}

bool isNumberOrDash(std::string_view v) { return v == "-" || allDigits(v); }

}  // namespace

// ---- formats ----------------------------------------------------------

AccessLogFormat AccessLogFormat::parse(std::string_view given) {
  std::string format(given);
  // Copied from a configuration file, the string may keep its quotes.
  if (format.size() >= 2 && format.front() == '"' && format.back() == '"') format = format.substr(1, format.size() - 2);
  AccessLogFormat f;
  f.text_ = format;
  const bool nginx = [&] {
    for (size_t i = 0; i + 1 < format.size(); ++i)
      if (format[i] == '$' && (format[i + 1] == '{' || format[i + 1] == '_' || std::isalpha(static_cast<unsigned char>(format[i + 1]))))
        return true;
    return false;
  }();
  std::string literal;
  auto addItem = [&](Item item) {
    if (!literal.empty()) {
      f.parts_.push_back(Part{Item::Literal, literal});
      literal.clear();
    } else if (!f.parts_.empty()) {
      badFormat(format, "Two fields with nothing between them");
    }
    f.parts_.push_back(Part{item, {}});
  };
  for (size_t i = 0; i < format.size();) {
    const char c = format[i];
    if (c == '\\' && i + 1 < format.size()) {
      const char n = format[i + 1];
      literal += n == 't' ? '\t' : n;
      i += 2;
      continue;
    }
    if (nginx && c == '$') {
      std::string name;
      if (i + 1 < format.size() && format[i + 1] == '{') {
        const size_t close = format.find('}', i + 2);
        if (close == std::string::npos) badFormat(format, "Unclosed ${");
        name = format.substr(i + 2, close - i - 2);
        i = close + 1;
      } else {
        size_t j = i + 1;
        while (j < format.size() && (std::isalnum(static_cast<unsigned char>(format[j])) || format[j] == '_')) ++j;
        name = format.substr(i + 1, j - i - 1);
        i = j;
      }
      if (name.empty()) {
        literal += '$';
        continue;
      }
      addItem(nginxItem(name, format));
      continue;
    }
    if (!nginx && c == '%') {
      size_t j = i + 1;
      if (j < format.size() && format[j] == '%') {
        literal += '%';
        i = j + 1;
        continue;
      }
      // Modifiers: "<", ">" (original or final request), status conditions.
      while (j < format.size() && (format[j] == '<' || format[j] == '>' || format[j] == '!' || format[j] == ',' || isDigit(format[j]))) ++j;
      std::string arg;
      if (j < format.size() && format[j] == '{') {
        const size_t close = format.find('}', j + 1);
        if (close == std::string::npos) badFormat(format, "Unclosed %{");
        arg = format.substr(j + 1, close - j - 1);
        j = close + 1;
      }
      if (j >= format.size()) badFormat(format, "A directive without its letter at the end");
      if (format[j] == '^') {
        // %^ti / %^to: trailers.
        if (j + 2 >= format.size() || format[j + 1] != 't' || (format[j + 2] != 'i' && format[j + 2] != 'o'))
          badFormat(format, "Unknown directive %" + format.substr(j, 3));
        addItem(Item::Other);
        i = j + 3;
        continue;
      }
      addItem(apacheItem(format[j], arg, format));
      i = j + 1;
      continue;
    }
    literal += c;
    ++i;
  }
  if (!literal.empty()) f.parts_.push_back(Part{Item::Literal, literal});
  bool time = false, status = false;
  for (size_t k = 0; k < f.parts_.size(); ++k) {
    Part& p = f.parts_[k];
    time |= p.item == Item::TimeBracketed || p.item == Item::TimeLocal || p.item == Item::TimeIso8601;
    status |= p.item == Item::Status;
    f.logsIn_ |= p.item == Item::ReceivedBytes;
    if (p.item != Item::Literal && k > 0 && k + 1 < f.parts_.size())
      p.quoted = f.parts_[k - 1].literal.ends_with('"') && f.parts_[k + 1].literal.starts_with('"');
  }
  if (!time) badFormat(format, "No time of the request (%t, $time_local or $time_iso8601)");
  if (!status) badFormat(format, "No status of the request (%s, %>s or $status)");
  return f;
}

const std::vector<AccessLogFormat>& AccessLogFormat::known() {
  static const std::vector<AccessLogFormat> forms = [] {
    std::vector<AccessLogFormat> v;
    for (const char* f : {
             R"(%h %l %u %t "%r" %>s %b "%{Referer}i" "%{User-Agent}i" %I %O)",
             R"(%v:%p %h %l %u %t "%r" %>s %O "%{Referer}i" "%{User-Agent}i")",
             R"(%h %l %u %t "%r" %>s %O "%{Referer}i" "%{User-Agent}i")",
             R"(%v %h %l %u %t "%r" %>s %b)",
             R"(%h %l %u %t "%r" %>s %b)",
         })
      v.push_back(parse(f));
    return v;
  }();
  return forms;
}

bool AccessLogFormat::match(std::string_view line, Fields& out) const {
  out.clear();
  // Bare quotes make a line ambiguous; a hostile one must not make the
  // search for its reading costly.
  int budget = 64;
  return matchFrom(trimRight(line), 0, 0, out, budget);
}

bool AccessLogFormat::matchFrom(std::string_view line, size_t k, size_t pos, Fields& out, int& budget) const {
  for (; k < parts_.size(); ++k) {
    const Part& p = parts_[k];
    if (p.item == Item::Literal) {
      if (!literalAt(line, pos, p.literal)) return false;
      pos += p.literal.size();
      continue;
    }
    const Part* next = k + 1 < parts_.size() ? &parts_[k + 1] : nullptr;
    size_t end;
    if (p.item == Item::TimeBracketed) {
      if (pos >= line.size() || line[pos] != '[') return false;
      end = line.find(']', pos);
      if (end == std::string_view::npos) return false;
      ++end;
    } else if (p.quoted && k + 2 == parts_.size()) {
      // The last quoted value (usually the user agent) ends at the line's
      // last quote, whatever quotes it holds.
      if (!line.ends_with(next->literal) || line.size() - next->literal.size() < pos) return false;
      end = line.size() - next->literal.size();
    } else if (p.quoted) {
      // The servers escape a quote inside a value (\" or \x22); a bare one
      // (a hand-made line) ends the value where the rest of the line fits
      // the rest of the format, tried from the first such quote on.
      // Each search starts where the last ended, so a hostile line costs
      // one pass.
      size_t quote = 0;
      bool quoteKnown = false;
      for (size_t q = pos; q < line.size(); ++q) {
        // To the next quote, unless a backslash comes first (it escapes the
        // byte after it).
        if (!quoteKnown || quote < q) {
          const void* found = std::memchr(line.data() + q, '"', line.size() - q);
          quote = found ? static_cast<size_t>(static_cast<const char*>(found) - line.data()) : line.size();
          quoteKnown = true;
        }
        if (const void* escape = std::memchr(line.data() + q, '\\', quote - q)) {
          q = static_cast<size_t>(static_cast<const char*>(escape) - line.data()) + 1;
          continue;
        }
        if (quote == line.size()) break;
        q = quote;
        if (!literalAt(line, q, next->literal)) continue;
        if (!store(p.item, line.substr(pos, q - pos), out)) return false;
        if (--budget < 0) return false;
        if (matchFrom(line, k + 1, q, out, budget)) return true;
        out.has[static_cast<int>(p.item)] = false;
      }
      return false;
    } else if (next) {
      end = line.find(next->literal.front(), pos);
      if (end == std::string_view::npos) return false;
    } else {
      end = line.size();
    }
    if (!store(p.item, line.substr(pos, end - pos), out)) return false;
    pos = end;
  }
  return pos == line.size();
}

bool AccessLogFormat::store(Item item, std::string_view value, Fields& out) {
  switch (item) {
    case Item::Status:
      if (value.size() != 3 || !allDigits(value)) return false;
      break;
    case Item::BodyBytes:
    case Item::SentBytes:
    case Item::ReceivedBytes:
      if (!isNumberOrDash(value)) return false;
      break;
    case Item::ClientIp:
      if (value.empty()) return false;
      break;
    default:
      break;
  }
  const int i = static_cast<int>(item);
  // A value the format names twice keeps its first occurrence.
  if (!out.has[i]) {
    out.value[i] = value;
    out.has[i] = true;
  }
  return true;
}

const std::vector<std::wstring>& recordFields() {
  static const std::vector<std::wstring> fields = {L"date",        L"time",     L"c-ip",       L"cs-username", L"cs-method",
                                                   L"cs-uri-stem", L"cs-uri-query", L"cs-version", L"sc-status", L"sc-bytes",
                                                   L"cs-bytes",    L"cs(Referer)",  L"cs(User-Agent)", L"cs-host", L"time-taken"};
  return fields;
}

// ---- times ------------------------------------------------------------

bool XferlogClock::toUtc(int year, int month, int day, int hour, int minute, int second, int64_t& out) {
  if (!validCivil(year, month, day, hour, minute, second)) return false;
  const int64_t civil = civilSeconds(year, month, day, hour, minute, second);
  if (utc_) {
    out = civil;
    return true;
  }
  const int64_t key = civil / 60;
  if (key != hourKey_) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = 0;
    t.tm_isdst = -1;
    const std::time_t utc = std::mktime(&t);
    if (utc == static_cast<std::time_t>(-1)) return false;
    hourKey_ = key;
    hourOffset_ = (civil - second) - static_cast<int64_t>(utc);
  }
  out = civil - hourOffset_;
  return true;
}

// ---- records ----------------------------------------------------------

RecordBuilder::RecordBuilder() : record_(recordFields(), L"") {}

namespace {
void twoDigits(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// The value of a run of digits, wrapping as text::parseLeadingInt64 does
// (the callers have checked that it is all digits).
int64_t digitsValue(std::string_view s) {
  uint64_t v = 0;
  for (const char c : s) v = v * 10 + static_cast<unsigned>(c - '0');
  return static_cast<int64_t>(v);
}

int64_t timesThousand(int64_t v) { return static_cast<int64_t>(static_cast<uint64_t>(v) * 1000u); }
}  // namespace

std::string_view RecordBuilder::number(int64_t n) {
  const auto [end, ec] = std::to_chars(numberText_, numberText_ + sizeof numberText_, n);
  return std::string_view(numberText_, static_cast<size_t>(end - numberText_));
}

void RecordBuilder::setUtc(int64_t seconds) {
  using namespace std::chrono;
  const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const int rest = static_cast<int>(seconds - days * 86400);
  // A log's lines keep to a few days: the calendar date is worked out once a day.
  if (days != dateDays_ || dateLength_ == 0) {
    const year_month_day ymd{sys_days{std::chrono::days{days}}};
    const int year = static_cast<int>(ymd.year());
    const int month = static_cast<int>(static_cast<unsigned>(ymd.month())), day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    if (year < 0 || year > 9999) {
      // Only an offset past the last day the times may name gets here.
      dateLength_ = static_cast<size_t>(std::snprintf(dateText_, sizeof dateText_, "%04d-%02d-%02d", year, month, day));
    } else {
      twoDigits(dateText_, year / 100);
      twoDigits(dateText_ + 2, year % 100);
      dateText_[4] = '-';
      twoDigits(dateText_ + 5, month);
      dateText_[7] = '-';
      twoDigits(dateText_ + 8, day);
      dateLength_ = 10;
    }
    dateDays_ = days;
  }
  twoDigits(timeText_, rest / 3600);
  timeText_[2] = ':';
  twoDigits(timeText_ + 3, rest / 60 % 60);
  timeText_[5] = ':';
  twoDigits(timeText_ + 6, rest % 60);
  values_[0] = std::string_view(dateText_, dateLength_);
  values_[1] = std::string_view(timeText_, 8);
}

bool RecordBuilder::commonLogTime(std::string_view s, int64_t& out) {
  // Successive lines mostly share their day and offset ("10/Oct/2000:" and
  // " -0700"): then only the time of day is read.
  int hour = 0, minute = 0, second = 0;
  if (dayKnown_ && s.size() == 26 && s.substr(0, 12) == std::string_view(dayKey_, 12) &&
      s.substr(20) == std::string_view(dayKey_ + 12, 6)) {
    if (s[14] != ':' || s[17] != ':' || !digits(s, 12, 2, hour) || !digits(s, 15, 2, minute) || !digits(s, 18, 2, second) || hour > 23 ||
        minute > 59 || second > 60)
      return false;
    out = dayStart_ + hour * 3600 + minute * 60 + second;
    return true;
  }
  if (!parseCommonLogTime(s, out)) return false;
  digits(s, 12, 2, hour);
  digits(s, 15, 2, minute);
  digits(s, 18, 2, second);
  std::memcpy(dayKey_, s.data(), 12);
  std::memcpy(dayKey_ + 12, s.data() + 20, 6);
  dayStart_ = out - (hour * 3600 + minute * 60 + second);
  dayKnown_ = true;
  return true;
}

bool RecordBuilder::accessLine(std::string_view line, const std::vector<const AccessLogFormat*>& formats, bool& inBytesLogged) {
  const AccessLogFormat* fit = nullptr;
  if (last_ && last_->match(line, fields_)) fit = last_;
  for (size_t i = 0; !fit && i < formats.size(); ++i)
    if (formats[i] != last_ && formats[i]->match(line, fields_)) fit = formats[i];
  if (!fit) return false;
  const AccessLogFormat::Fields& f = fields_;
  int64_t when = 0;
  if (f.present(Item::TimeBracketed)) {
    const std::string_view t = f.get(Item::TimeBracketed);
    if (!commonLogTime(t.substr(1, t.size() - 2), when)) return false;
  } else if (f.present(Item::TimeLocal)) {
    if (!commonLogTime(f.get(Item::TimeLocal), when)) return false;
  } else if (!parseIsoTime(f.get(Item::TimeIso8601), when)) {
    return false;
  }
  last_ = fit;
  inBytesLogged = fit->logsIncomingBytes();

  // The request line "METHOD target PROTOCOL"; a target holding blanks (a
  // hand-made or hostile request) keeps them, written as "+".
  std::string_view method = f.get(Item::Method), target, protocol = f.get(Item::Protocol);
  std::string_view path = f.get(Item::UriPath), query = f.get(Item::Query);
  if (f.present(Item::RequestUri)) target = f.get(Item::RequestUri);
  if (f.present(Item::Request) && f.get(Item::Request) != "-") {
    std::string_view r = f.get(Item::Request);
    const size_t first = r.find(' ');
    method = r.substr(0, first);
    if (first != std::string_view::npos) {
      std::string_view rest = r.substr(first + 1);
      const size_t last = rest.rfind(' ');
      if (last != std::string_view::npos && rest.substr(last + 1).starts_with("HTTP/")) {
        protocol = rest.substr(last + 1);
        rest = rest.substr(0, last);
      }
      target = rest;
    }
  }
  if (!target.empty()) {
    const size_t q = target.find('?');
    path = target.substr(0, q);
    query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
  }
  if (query.starts_with('?')) query.remove_prefix(1);

  setUtc(when);
  values_[2] = f.get(Item::ClientIp);
  values_[3] = f.get(Item::User);
  values_[4] = method;
  values_[5] = path;
  values_[6] = query;
  values_[7] = protocol;
  values_[8] = f.get(Item::Status);
  // Out: what was sent with the headers where the format has it, else the body.
  const std::string_view sent = f.present(Item::SentBytes) ? f.get(Item::SentBytes) : f.get(Item::BodyBytes);
  values_[9] = sent.empty() || sent == "-" ? std::string_view("0") : sent;
  const std::string_view received = f.get(Item::ReceivedBytes);
  values_[10] = received.empty() || received == "-" ? std::string_view("0") : received;
  values_[11] = f.get(Item::Referer);
  values_[12] = f.get(Item::UserAgent);
  const std::string_view host = f.get(Item::HostHeader);
  values_[13] = !host.empty() && host != "-" ? host : f.get(Item::VirtualHost);
  values_[14] = {};
  if (allDigits(f.get(Item::Microseconds))) {
    values_[14] = number(digitsValue(f.get(Item::Microseconds)) / 1000);
  } else if (allDigits(f.get(Item::Seconds))) {
    values_[14] = number(timesThousand(digitsValue(f.get(Item::Seconds))));
  } else if (const std::string_view rt = f.get(Item::SecondsMillis); rt.size() > 4 && rt[rt.size() - 4] == '.') {
    int ms = 0;
    const std::string_view whole = rt.substr(0, rt.size() - 4);
    if (allDigits(whole) && digits(rt, rt.size() - 3, 3, ms)) values_[14] = number(timesThousand(digitsValue(whole)) + ms);
  }
  record_.assignValues(values_);
  return true;
}

bool RecordBuilder::xferlogLine(std::string_view line, XferlogClock& clock) {
  line = trimRight(line);
  // Token boundaries; the file name may hold blanks, so it is what lies
  // between the leading and the trailing fields.
  tokens_.clear();
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    const size_t b = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    tokens_.emplace_back(b, i);
  }
  const size_t n = tokens_.size();
  const auto tok = [&](size_t k) { return line.substr(tokens_[k].first, tokens_[k].second - tokens_[k].first); };
  if (n < 17) return false;
  const std::string_view last = tok(n - 1);
  const size_t tailCount = last == "c" || last == "i" ? 9 : 8;
  if (n < 8 + 1 + tailCount) return false;
  const size_t t0 = n - tailCount;
  const std::string_view type = tok(t0), direction = tok(t0 + 2), mode = tok(t0 + 3), user = tok(t0 + 4), service = tok(t0 + 5);
  if ((type != "a" && type != "b") || (direction != "o" && direction != "i" && direction != "d") ||
      (mode != "a" && mode != "g" && mode != "r"))
    return false;
  const int month = monthNumber(tok(1));
  int day, year, hour, minute, second;
  const std::string_view dayText = tok(2), time = tok(3), yearText = tok(4);
  if (!month || tok(0).size() != 3 || dayText.size() > 2 || !allDigits(dayText) || time.size() != 8 || time[2] != ':' || time[5] != ':' ||
      yearText.size() != 4 || !digits(yearText, 0, 4, year) || !digits(time, 0, 2, hour) || !digits(time, 3, 2, minute) ||
      !digits(time, 6, 2, second))
    return false;
  day = static_cast<int>(digitsValue(dayText));
  const std::string_view seconds = tok(5), size = tok(7);
  if (!allDigits(seconds) || !allDigits(size)) return false;
  int64_t when = 0;
  if (!clock.toUtc(year, month, day, hour, minute, second, when)) return false;
  const std::string_view name = line.substr(tokens_[8].first, tokens_[t0 - 1].second - tokens_[8].first);

  setUtc(when);
  values_[2] = tok(6);
  // An anonymous session logs the password it gave as the user; it is no login.
  values_[3] = mode == "a" ? std::string_view("anonymous") : user;
  values_[4] = direction == "o" ? "sent" : direction == "i" ? "created" : "deleted";
  values_[5] = name;
  values_[6] = {};
  values_[7] = service;
  values_[8] = tailCount == 9 && last == "i" ? "426" : "226";
  values_[9] = direction == "o" ? size : std::string_view("0");
  values_[10] = direction == "i" ? size : std::string_view("0");
  values_[11] = values_[12] = values_[13] = {};
  values_[14] = number(timesThousand(digitsValue(seconds)));
  record_.assignValues(values_);
  return true;
}

// ---- files ------------------------------------------------------------

namespace {

vfs::File openLog(const std::wstring& path) {
  try {
    return vfs::openRead(path);
  } catch (const vexception& e) {
    throw vexception(L"Can't open file " + path, VLOC(e.message(), "linuxlog::read"));
  }
}

// Lines of a file, ending at LF (a CR before it dropped) or NUL; a read
// error raises. A line longer than kMaxLine is reported as too long and
// not kept.
class LineReader {
 public:
  // Reads at most `limit` bytes, the first `firstRead` of them in a read of
  // their own.
  explicit LineReader(vfs::File file, size_t limit = SIZE_MAX, size_t firstRead = kBufferSize)
      : file_(std::move(file)),
        size_(std::min(kBufferSize, limit)),
        buffer_(std::make_unique_for_overwrite<char[]>(size_)),
        limit_(limit),
        chunk_(std::min(firstRead, size_)) {}

  bool next(std::string_view& line, bool& tooLong) {
    tooLong = false;
    bool carrying = false;
    for (;;) {
      if (pos_ == end_ && !refill()) {
        if (!carrying) return false;
        line = tooLong ? std::string_view() : std::string_view(carry_);
        return true;
      }
      const char* begin = buffer_.get() + pos_;
      const char* stop = buffer_.get() + end_;
      const char* e = static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(stop - begin)));
      if (!e) e = stop;
      if (const char* z = static_cast<const char*>(std::memchr(begin, 0, static_cast<size_t>(e - begin)))) e = z;
      const bool ended = e != stop;
      pos_ = static_cast<size_t>(e - buffer_.get()) + (ended ? 1 : 0);
      if (ended && !carrying) {
        line = std::string_view(begin, static_cast<size_t>(e - begin));
        return true;
      }
      if (!carrying) {
        carry_.clear();
        if (carry_.capacity() > (1u << 20)) std::string().swap(carry_);
        carrying = true;
      }
      if (!tooLong) {
        if (carry_.size() + static_cast<size_t>(e - begin) > kMaxLine) {
          tooLong = true;
          std::string().swap(carry_);
        } else {
          carry_.append(begin, e);
        }
      }
      if (ended) {
        line = tooLong ? std::string_view() : std::string_view(carry_);
        return true;
      }
    }
  }

 private:
  bool refill() {
    pos_ = end_ = 0;
    if (read_ >= limit_ || !file_.valid()) return false;
    end_ = file_.read(buffer_.get(), std::min(chunk_, limit_ - read_));
    chunk_ = size_;
    read_ += end_;
    return end_ != 0;
  }

  vfs::File file_;
  size_t size_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0, end_ = 0;
  size_t limit_, read_ = 0;
  size_t chunk_;
  std::string carry_;
};

template <class Build>
ReadCounts readLines(vfs::File file, Build&& build, RecordSink fn, RecordBuilder& builder) {
  ReadCounts counts;
  LineReader reader(std::move(file));
  std::string_view line;
  bool tooLong = false;
  while (reader.next(line, tooLong)) {
    if (!tooLong && trimRight(line).empty()) continue;
    ++counts.lines;
    if (tooLong) {
      ++counts.skipped;
      ++counts.tooLong;
      continue;
    }
    if (!build(line)) {
      ++counts.skipped;
      continue;
    }
    ++counts.records;
    fn(builder.record());
  }
  return counts;
}

}  // namespace

Form sniff(const std::wstring& path, bool webLog, const std::vector<const AccessLogFormat*>& formats) {
  return sniff(openLog(path), webLog, formats);
}

Form sniff(vfs::File file, bool webLog, const std::vector<const AccessLogFormat*>& formats) {
  LineReader reader(std::move(file), kSniffBytes, kSniffFirstRead);
  RecordBuilder builder;
  XferlogClock clock(true);
  std::string_view line;
  bool tooLong = false;
  bool inLogged = false;
  for (int seen = 0; seen < kSniffLines && reader.next(line, tooLong);) {
    if (tooLong || trimRight(line).empty()) continue;
    ++seen;
    if (line.front() == '#') return Form::W3C;
    if (webLog ? builder.accessLine(line, formats, inLogged) : builder.xferlogLine(line, clock)) return webLog ? Form::Access : Form::Xferlog;
  }
  return Form::W3C;
}

ReadCounts readAccessLog(const std::wstring& path, const std::vector<const AccessLogFormat*>& formats, RecordSink fn) {
  return readAccessLog(openLog(path), formats, fn);
}

ReadCounts readAccessLog(vfs::File file, const std::vector<const AccessLogFormat*>& formats, RecordSink fn) {
  RecordBuilder builder;
  bool missing = false;
  ReadCounts counts = readLines(
      std::move(file),
      [&](std::string_view line) {
        bool inLogged = false;
        if (!builder.accessLine(line, formats, inLogged)) return false;
        missing |= !inLogged;
        return true;
      },
      fn, builder);
  counts.inBytesMissing = missing;
  return counts;
}

ReadCounts readXferlog(const std::wstring& path, XferlogClock& clock, RecordSink fn) { return readXferlog(openLog(path), clock, fn); }

ReadCounts readXferlog(vfs::File file, XferlogClock& clock, RecordSink fn) {
  RecordBuilder builder;
  return readLines(std::move(file), [&](std::string_view line) { return builder.xferlogLine(line, clock); }, fn, builder);
}

}  // namespace linuxlog
