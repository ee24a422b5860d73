#include "webstat/feed_lines.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/text.h"
#include "traffic/w3c.h"

namespace feed {

using namespace std::string_view_literals;

namespace {

constexpr std::array<std::wstring_view, 13> kMonths = {L"???", L"JAN", L"FEB", L"MAR", L"APR", L"MAY", L"JUN",
                                                       L"JUL", L"AUG", L"SEP", L"OCT", L"NOV", L"DEC"};
constexpr std::array<std::wstring_view, 7> kDays = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

// A number zero-padded to `width` digits (wider numbers keep all digits), as
// "%0Nd" prints it, written at `at`; returns the end. Done by hand into a
// caller's buffer because it runs several times per line.
template <class Char>
inline Char* putNumber(Char* at, unsigned value, int width) {
  // The usual case of the date-time fields: two digits.
  if (width == 2 && value < 100) {
    at[0] = static_cast<Char>('0' + value / 10);
    at[1] = static_cast<Char>('0' + value % 10);
    return at + 2;
  }
  Char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<Char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) *at++ = '0';
  while (n > 0) *at++ = digits[--n];
  return at;
}

// `text` is ASCII (a literal, a month or day name) when Char is char.
template <class Char>
Char* putText(Char* at, std::wstring_view text) {
  for (const wchar_t c : text) *at++ = static_cast<Char>(c);
  return at;
}

void appendNumber(std::wstring& out, unsigned value, int width) {
  wchar_t digits[16];
  out.append(digits, static_cast<size_t>(putNumber(digits, value, width) - digits));
}

template <class Out>
void appendUnsigned64(Out& out, unsigned long long value) {
  wchar_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::reverse(digits, digits + n);
  out.append(digits, static_cast<size_t>(n));
}

// Room for the date-time parts of a line: every VDateTime field has at most
// five digits.
constexpr size_t kStampRoom = 64;

// The date-time parts are ASCII: for a line built into bytes they are
// written as bytes, which need no narrowing.
template <class Out>
using StampChar = std::conditional_t<std::is_same_v<Out, AsciiLine>, char, wchar_t>;

// The fields from s-sitename to time-taken, each behind a blank; the FTP
// line passes the two fields it rewrites.
template <class Out, class Rewrite>
void appendAWStatsFields(Out& out, const W3CRecord& entry, FieldReader& fields, Rewrite&& rewrite) {
  for (int f = kFirstAWStatsField; f <= kLastAWStatsField; ++f) {
    out += L' ';
    const std::wstring_view value = valueOr(fields(entry, static_cast<Field>(f)), L"-"sv);
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

namespace {

// Narrows `n` characters to bytes at `out`; returns every character ORed
// together (0x80 or more: not all ASCII, and the bytes are to be dropped).
uint32_t narrow(const wchar_t* __restrict text, size_t n, char* __restrict out) {
  static_assert(sizeof(wchar_t) == sizeof(uint32_t));
  uint32_t seen = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen characters a step, their OR kept in a register until the end.
  // The saturating packs give each character's byte while it is below 0x80,
  // the only case in which the bytes are kept.
  __m128i any = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const auto* in = reinterpret_cast<const __m128i*>(text + i);
    const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1), c = _mm_loadu_si128(in + 2), d = _mm_loadu_si128(in + 3);
    any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  }
  any = _mm_or_si128(any, _mm_srli_si128(any, 8));
  any = _mm_or_si128(any, _mm_srli_si128(any, 4));
  seen = static_cast<uint32_t>(_mm_cvtsi128_si32(any));
#else
  // Sixteen characters at a time: a loop the compiler vectorises at -O2.
  for (; i + 16 <= n; i += 16)
    for (size_t j = 0; j < 16; ++j) {
      const auto c = static_cast<uint32_t>(text[i + j]);
      seen |= c;
      out[i + j] = static_cast<char>(c);
    }
#endif
  for (; i < n; ++i) {
    const auto c = static_cast<uint32_t>(text[i]);
    seen |= c;
    out[i] = static_cast<char>(c);
  }
  return seen;
}

}  // namespace

bool NarrowedLine::assign(std::wstring_view line) {
  line_ = line;
  bytes_.resize(line.size() + kSlack);
  valid_ = narrow(line.data(), line.size(), bytes_.data()) < 0x80;
  return valid_;
}

AsciiLine& AsciiLine::append(const wchar_t* text, size_t n) {
  while (n != 0) {
    if (used_ == kRoom) spill();
    const size_t k = n < kRoom - used_ ? n : kRoom - used_;
    seen_ |= narrow(text, k, block_ + used_);
    used_ += k;
    text += k;
    n -= k;
  }
  return *this;
}

void FieldReader::bind(const W3CRecord& record) {
  for (int f = 0; f < FieldCount; ++f) columns_[f] = record.column(kFieldNames[f]);
  runCount_ = 0;
  for (int f = kFirstAWStatsField; f <= kLastAWStatsField; ++f) {
    const int column = columns_[f];
    if (runCount_ != 0) {
      Run& last = runs_[runCount_ - 1];
      if (column >= 0 && last.column >= 0 && column == last.column + last.count) {
        ++last.count;
        continue;
      }
    }
    runs_[runCount_++] = Run{column, 1};
  }
  generation_ = record.generation();
  bound_ = true;
}

template <LineOut Out>
void appendWebalizerHttpLine(Out& out, const VDateTime& t, const W3CRecord& entry, FieldReader& fields) {
  StampChar<Out> stamp[kStampRoom];
  StampChar<Out>* p = putNumber(stamp, t.year, 4);
  p = putNumber(p, t.month, 2);
  p = putNumber(p, t.day, 2);
  p = putNumber(p, t.hour, 2);
  p = putNumber(p, t.minute, 2);
  p = putNumber(p, t.second, 2);
  *p++ = ' ';
  out.append(stamp, static_cast<size_t>(p - stamp));
  out += valueOr(fields(entry, ClientIp), L"-"sv);
  out += L' ';
  out += valueOr(fields(entry, UserName), L"-"sv);
  p = putText(stamp, L" - ["sv);
  p = putNumber(p, t.day, 2);
  *p++ = '/';
  p = putText(p, monthName(t.month));
  *p++ = '/';
  p = putNumber(p, t.year, 4);
  *p++ = ':';
  p = putNumber(p, t.hour, 2);
  *p++ = ':';
  p = putNumber(p, t.minute, 2);
  *p++ = ':';
  p = putNumber(p, t.second, 2);
  p = putText(p, L"] \""sv);
  out.append(stamp, static_cast<size_t>(p - stamp));
  out += fields(entry, Method);
  out += L' ';
  out += fields(entry, UriStem);
  out += L' ';
  out += fields(entry, Version);
  out += L"\" "sv;
  out += valueOr(fields(entry, Status), L"-"sv);
  out += L' ';
  out += valueOr(fields(entry, ScBytes), L"-"sv);
  out += L' ';
  out += valueOr(fields(entry, Referer), L"-"sv);
  out += L' ';
  const std::wstring_view agent = fields(entry, UserAgent);
  if (agent == L"-"sv) {
    out += L'-';
  } else {
    out += L'"';
    out += agent;
    out += L'"';
  }
  out += L" \r\n"sv;
}

template <LineOut Out>
void appendWebalizerFtpLine(Out& out, const VDateTime& t, int kind, const W3CRecord& entry, bool isDownload, FieldReader& fields) {
  StampChar<Out> stamp[kStampRoom];
  StampChar<Out>* p = putText(stamp, dayName(t.dayOfWeek));
  *p++ = L' ';
  p = putText(p, monthName(t.month));
  *p++ = L' ';
  p = putNumber(p, t.day, 2);
  *p++ = L' ';
  p = putNumber(p, t.hour, 2);
  *p++ = L':';
  p = putNumber(p, t.minute, 2);
  *p++ = L':';
  p = putNumber(p, t.second, 2);
  *p++ = L' ';
  p = putNumber(p, t.year, 4);
  *p++ = L' ';
  out.append(stamp, static_cast<size_t>(p - stamp));
  const long long milliseconds = text::parseLeadingInt64(fields(entry, TimeTaken));
  appendUnsigned64(out, milliseconds > 0 ? static_cast<unsigned long long>(milliseconds) / 1000 : 0);
  out += L' ';
  out += valueOr(fields(entry, ClientIp), L"-"sv);
  out += L' ';
  // The bytes the line moved both ways, as the results count them: a
  // transfer logs its data in one direction and its commands in the other,
  // and the analyser's bandwidth must equal the results' in + out.
  const long long sent = std::max(0LL, text::parseLeadingInt64(fields(entry, ScBytes)));
  const long long received = std::max(0LL, text::parseLeadingInt64(fields(entry, CsBytes)));
  appendUnsigned64(out, static_cast<unsigned long long>(sent) + static_cast<unsigned long long>(received));
  out += L' ';
  out += valueOr(fields(entry, UriStem), L"-"sv);
  out += L" b _ "sv;
  out += isDownload ? L'o' : L'i';
  out += L' ';
  out += kind == 1 ? L'a' : L'r';
  out += L' ';
  out += valueOr(fields(entry, UserName), L"-"sv);
  out += L' ';
  out += valueOr(fields(entry, Version), L"ftp"sv);
  out += L" 1 * c\n"sv;
}

namespace {

bool sameMinute(const VDateTime& a, const VDateTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute;
}

// "YYYY-MM-DD hh:mm:" of a local time.
void putMinute(std::wstring& out, const VDateTime& local) {
  out.clear();
  appendNumber(out, local.year, 4);
  out += L'-';
  appendNumber(out, local.month, 2);
  out += L'-';
  appendNumber(out, local.day, 2);
  out += L' ';
  appendNumber(out, local.hour, 2);
  out += L':';
  appendNumber(out, local.minute, 2);
  out += L':';
}

}  // namespace

void AWStatsClock::convert(const VDateTime& utc) {
  if (minute_ == Minute::Whole && sameMinute(utc, minuteUtc_) && utc.second < 60) {
    text_.assign(minuteText_);
    appendNumber(text_, utc.second, 2);
    return;
  }
  const VDateTime local = utc.toLocalTime();
  putMinute(text_, local);
  appendNumber(text_, local.second, 2);
  if (!sameMinute(utc, minuteUtc_)) {
    // A minute's first second: one conversion, as for a lone entry.
    minuteUtc_ = utc;
    minute_ = Minute::Seen;
    return;
  }
  if (minute_ != Minute::Seen) return;
  // A second entry in this minute: when its first and last seconds fall on
  // the first and last second of one local minute, every second between
  // does (a zone's offset changes hours apart, never twice in a minute),
  // and the minute's entries take its local text without a conversion.
  VDateTime first = utc, last = utc;
  first.second = 0;
  last.second = 59;
  const VDateTime localFirst = first.toLocalTime(), localLast = last.toLocalTime();
  minute_ = Minute::Split;
  if (localFirst.second != 0 || localLast.second != 59 || !sameMinute(localFirst, localLast)) return;
  putMinute(minuteText_, localFirst);
  minute_ = Minute::Whole;
}

template <LineOut Out>
void AWStatsClock::append(Out& out, std::wstring_view date, std::wstring_view time) {
  date = valueOr(date, L"-"sv);
  time = valueOr(time, L"-"sv);
  if (date == L"-"sv || time == L"-"sv) {
    out += date;
    out += L' ';
    out += time;
    return;
  }
  if (!valid_ || date != date_ || time != time_) {
    VDateTime utc;
    utc.parse(date, L"YMD");
    utc.parse(time, L"hms");
    // Only a successful conversion is remembered: a bad entry raises every time.
    valid_ = false;
    convert(utc);
    date_.assign(date);
    time_.assign(time);
    valid_ = true;
  }
  out += text_;
}

template <LineOut Out>
void appendAWStatsHttpLine(Out& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock) {
  clock.append(out, fields(entry, Date), fields(entry, Time));
  if (entry.hasSetValues()) {
    appendAWStatsFields(out, entry, fields, [](Out&, Field, std::wstring_view) { return false; });
    return;
  }
  // A run of columns is the part of the line it spans when its values are
  // not empty and single blanks part them: then the value rule keeps each
  // one as it is and the blanks are the line's own. Otherwise (a tab, two
  // blanks, a short line) value by value.
  for (const FieldReader::Run& run : fields.awstatsRuns(entry)) {
    if (run.column < 0) {
      out += L" -"sv;
      continue;
    }
    const std::wstring_view first = entry.value(run.column);
    const wchar_t* end = first.data() + first.size();
    bool whole = !first.empty();
    for (int k = 1; whole && k < run.count; ++k) {
      const std::wstring_view next = entry.value(run.column + k);
      whole = !next.empty() && next.data() == end + 1 && *end == L' ';
      end = next.data() + next.size();
    }
    out += L' ';
    if (whole) {
      out += std::wstring_view(first.data(), static_cast<size_t>(end - first.data()));
      continue;
    }
    out += valueOr(first, L"-"sv);
    for (int k = 1; k < run.count; ++k) {
      out += L' ';
      out += valueOr(entry.value(run.column + k), L"-"sv);
    }
  }
}

template <LineOut Out>
void appendAWStatsFtpLine(Out& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock, std::wstring_view domainName) {
  clock.append(out, fields(entry, Date), fields(entry, Time));
  appendAWStatsFields(out, entry, fields, [domainName](Out& line, Field field, std::wstring_view value) {
    if (field == Host && value == L"-"sv) {
      line += domainName;
      return true;
    }
    if (field != Method) return false;
    const size_t at = value.find(L"created"sv);
    if (at == std::wstring_view::npos) return false;
    line += value.substr(0, at);
    line += L"sent"sv;
    line += value.substr(at + 7);
    return true;
  });
}

// The two outputs of the builders.
template void appendWebalizerHttpLine(std::wstring&, const VDateTime&, const W3CRecord&, FieldReader&);
template void appendWebalizerHttpLine(AsciiLine&, const VDateTime&, const W3CRecord&, FieldReader&);
template void appendWebalizerFtpLine(std::wstring&, const VDateTime&, int, const W3CRecord&, bool, FieldReader&);
template void appendWebalizerFtpLine(AsciiLine&, const VDateTime&, int, const W3CRecord&, bool, FieldReader&);
template void AWStatsClock::append(std::wstring&, std::wstring_view, std::wstring_view);
template void AWStatsClock::append(AsciiLine&, std::wstring_view, std::wstring_view);
template void appendAWStatsHttpLine(std::wstring&, const W3CRecord&, FieldReader&, AWStatsClock&);
template void appendAWStatsHttpLine(AsciiLine&, const W3CRecord&, FieldReader&, AWStatsClock&);
template void appendAWStatsFtpLine(std::wstring&, const W3CRecord&, FieldReader&, AWStatsClock&, std::wstring_view);
template void appendAWStatsFtpLine(AsciiLine&, const W3CRecord&, FieldReader&, AWStatsClock&, std::wstring_view);

}  // namespace feed
