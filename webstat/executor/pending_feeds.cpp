#include "webstat/executor/pending_feeds.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <queue>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

constexpr size_t kReadBlock = 1 << 20;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal value of `count` digits at `p`, or -1 when one is no digit.
long long digitsAt(const char* p, size_t count) {
  long long v = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!isDigit(p[i])) return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

uint64_t makeKey(long long year, long long month, long long day, long long hour, long long minute, long long second) {
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60)
    return 0;
  return ((((static_cast<uint64_t>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

constexpr std::array<const char*, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

int monthOfName(const char* p) {
  for (size_t i = 0; i < kMonths.size(); ++i)
    if (std::strncmp(p, kMonths[i], 3) == 0) return static_cast<int>(i) + 1;
  return 0;
}

std::vector<std::string_view> splitBlanks(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t start = 0;
  for (;;) {
    const size_t blank = line.find(' ', start);
    tokens.push_back(line.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  return tokens;
}

long long leadingNumber(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && isDigit(s[i]); ++i) v = v * 10 + (s[i] - '0');
  return negative ? -v : v;
}

std::string_view orDash(std::string_view v) { return v.empty() ? std::string_view("-") : v; }

// A calendar time as a line carries it.
struct Clock {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint64_t key() const { return makeKey(year, month, day, hour, minute, second); }
  static Clock ofKey(uint64_t key) {
    Clock c;
    c.second = static_cast<int>(key % 100);
    c.minute = static_cast<int>(key / 100 % 100);
    c.hour = static_cast<int>(key / 10000 % 100);
    c.day = static_cast<int>(key / 1000000 % 100);
    c.month = static_cast<int>(key / 100000000 % 100);
    c.year = static_cast<int>(key / 10000000000ULL);
    return c;
  }
};

// The UTC time as the machine's local time (as the feed writer converts it);
// false when it is no calendar time.
bool utcToLocal(Clock& c) {
  VDateTime t;
  t.year = static_cast<uint16_t>(c.year);
  t.month = static_cast<uint16_t>(c.month);
  t.day = static_cast<uint16_t>(c.day);
  t.hour = static_cast<uint16_t>(c.hour);
  t.minute = static_cast<uint16_t>(c.minute);
  t.second = static_cast<uint16_t>(c.second);
  if (!t.validFileTime()) return false;
  const VDateTime local = t.toLocalTime();
  c = {local.year, local.month, local.day, local.hour, local.minute, local.second};
  return true;
}

// The reverse, for AWStats lines given to Webalizer. A local time that
// occurs twice (the hour the clocks go back) is taken as the first.
bool localToUtc(Clock& c) {
  struct tm t {};
  t.tm_year = c.year - 1900;
  t.tm_mon = c.month - 1;
  t.tm_mday = c.day;
  t.tm_hour = c.hour;
  t.tm_min = c.minute;
  t.tm_sec = c.second;
  t.tm_isdst = -1;
  const time_t secs = mktime(&t);
  if (secs == static_cast<time_t>(-1)) return false;
  struct tm utc {};
  if (!gmtime_r(&secs, &utc)) return false;
  c = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
  return true;
}

int dayOfWeek(const Clock& c) {
  VDateTime t;
  t.year = static_cast<uint16_t>(c.year);
  t.month = static_cast<uint16_t>(c.month);
  t.day = static_cast<uint16_t>(c.day);
  t.normalize();
  return t.dayOfWeek;
}

void appendPadded(std::string& out, long long v, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*lld", width, v);
  out += buf;
}

// "hh:mm:ss".
void appendClockTime(std::string& out, const Clock& c) {
  appendPadded(out, c.hour, 2);
  out += ':';
  appendPadded(out, c.minute, 2);
  out += ':';
  appendPadded(out, c.second, 2);
}

bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) { return isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

bool isMarkup(unsigned char c) { return c == '<' || c == '>' || c == '"' || c == '\'' || c < 0x20 || c == 0x7f; }

// A field for Webalizer: markup characters, raw or percent-encoded, become
// "%25" + their code, which Webalizer shows (decoded once or not at all) as
// an escape, never as markup.
void appendNeutral(std::string& out, std::string_view v) {
  for (size_t i = 0; i < v.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    if (c == '%' && i + 2 < v.size() && isHex(v[i + 1]) && isHex(v[i + 2]) &&
        isMarkup(static_cast<unsigned char>(hexValue(v[i + 1]) * 16 + hexValue(v[i + 2])))) {
      out += "%25";
      continue;  // the two hex digits follow as they are
    }
    if (isMarkup(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%%25%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
}

// One feed line taken apart, whatever its format; the fields by the W3C
// order of the AWStats lines ("-" when the line's format has no such field).
enum Field : int {
  Date, Time, SiteName, ComputerName, ServerIp, Method, UriStem, UriQuery, ServerPort, UserName, ClientIp,
  Version, UserAgent, Cookie, Referer, Host, Status, SubStatus, Win32Status, ScBytes, CsBytes, TimeTaken,
  FieldCount
};
constexpr int kFirstAWStatsField = SiteName;

struct Record {
  FeedFormat source = FeedFormat::AWStats;
  Clock clock;
  bool local = false;  // the clock is local time (AWStats), else as logged
  bool download = true;
  bool anonymous = false;
  std::array<std::string_view, FieldCount> field;
  std::string timeTaken;  // made from xferlog seconds
  std::string webalizerBytes;

  Record() { field.fill("-"); }
};

// A log without a time field gives AWStats lines "YYYY-MM-DD - ...": they
// are taken at 00:00:00 of their date, as the Webalizer line of the same
// entry is, so they count on the day the log gives them.
uint64_t awstatsDateOnlyKey(std::string_view line) {
  if (line.size() < 12 || line[4] != '-' || line[7] != '-' || line.substr(10, 2) != " -" || (line.size() > 12 && line[12] != ' ')) return 0;
  return makeKey(digitsAt(line.data(), 4), digitsAt(line.data() + 5, 2), digitsAt(line.data() + 8, 2), 0, 0, 0);
}

bool parseAWStats(std::string_view line, Record& r) {
  uint64_t key = lineTimeKey(line.data(), line.size(), FeedFormat::AWStats);
  if (key == 0) key = awstatsDateOnlyKey(line);
  if (key == 0) return false;
  const std::vector<std::string_view> t = splitBlanks(line);
  if (t.size() != FieldCount) return false;
  for (std::string_view v : t)
    if (v.empty()) return false;
  r.source = FeedFormat::AWStats;
  r.clock = Clock::ofKey(key);
  r.local = true;
  for (int f = 0; f < FieldCount; ++f) r.field[f] = t[f];
  return true;
}

bool parseWebalizerHttp(std::string_view line, Record& r) {
  const uint64_t key = lineTimeKey(line.data(), line.size(), FeedFormat::WebalizerHttp);
  if (key == 0) return false;
  std::vector<std::string_view> t = splitBlanks(line.substr(15));
  while (!t.empty() && t.back().empty()) t.pop_back();  // the line ends in a blank
  if (t.size() != 11 || t[2] != "-") return false;
  const std::string_view date = t[3], method = t[4], version = t[6], agent = t[10];
  if (date.size() < 2 || date.front() != '[' || date.back() != ']') return false;
  if (method.empty() || method.front() != '"' || version.empty() || version.back() != '"') return false;
  if (agent != "-" && (agent.size() < 2 || agent.front() != '"' || agent.back() != '"')) return false;
  r.source = FeedFormat::WebalizerHttp;
  r.clock = Clock::ofKey(key);
  r.field[ClientIp] = t[0];
  r.field[UserName] = t[1];
  r.field[Method] = orDash(method.substr(1));
  r.field[UriStem] = orDash(t[5]);
  r.field[Version] = orDash(version.substr(0, version.size() - 1));
  r.field[Status] = t[7];
  r.field[ScBytes] = t[8];
  r.field[Referer] = t[9];
  r.field[UserAgent] = agent == "-" ? agent : orDash(agent.substr(1, agent.size() - 2));
  return true;
}

bool parseWebalizerFtp(std::string_view line, Record& r) {
  const uint64_t key = lineTimeKey(line.data(), line.size(), FeedFormat::WebalizerFtp);
  if (key == 0) return false;
  const std::vector<std::string_view> t = splitBlanks(line);
  if (t.size() != 18 || (t[11] != "o" && t[11] != "i") || (t[12] != "a" && t[12] != "r")) return false;
  for (std::string_view v : t)
    if (v.empty()) return false;
  r.source = FeedFormat::WebalizerFtp;
  r.clock = Clock::ofKey(key);
  r.download = t[11] == "o";
  r.anonymous = t[12] == "a";
  r.field[ClientIp] = t[6];
  r.webalizerBytes = std::string(t[7]);
  r.field[r.download ? ScBytes : CsBytes] = r.webalizerBytes;
  r.field[r.download ? CsBytes : ScBytes] = "0";
  r.field[Method] = "sent";
  r.field[UriStem] = t[8];
  r.field[UserName] = t[13];
  r.field[Version] = t[14];
  r.field[Status] = "226";
  r.timeTaken = std::to_string(leadingNumber(t[5]) * 1000);
  r.field[TimeTaken] = r.timeTaken;
  return true;
}

bool parseAs(FeedFormat format, std::string_view line, Record& r) {
  switch (format) {
    case FeedFormat::AWStats: return parseAWStats(line, r);
    case FeedFormat::WebalizerHttp: return parseWebalizerHttp(line, r);
    case FeedFormat::WebalizerFtp: return parseWebalizerFtp(line, r);
  }
  return false;
}

// The clock in the basis of the target format; false when it cannot be had.
bool clockFor(FeedFormat target, const Record& r, Clock& c) {
  c = r.clock;
  const bool wantLocal = target == FeedFormat::AWStats;
  if (wantLocal == r.local) return true;
  return wantLocal ? utcToLocal(c) : localToUtc(c);
}

void renderAWStats(const Record& r, const Clock& c, FeedGroup group, const std::string& domainName, std::string& out) {
  appendPadded(out, c.year, 4);
  out += '-';
  appendPadded(out, c.month, 2);
  out += '-';
  appendPadded(out, c.day, 2);
  out += ' ';
  appendClockTime(out, c);
  for (int f = kFirstAWStatsField; f < FieldCount; ++f) {
    out += ' ';
    std::string_view v = r.field[f];
    if (group == FeedGroup::Web && v == "-") {
      // What a log with few fields does not record; AWStats drops a line
      // without a method, files one without a status as an error and one
      // without a user agent as a robot, where Webalizer counts them all.
      if (f == Method) v = kAWStatsDefaultMethod;
      if (f == Status) v = kAWStatsDefaultStatus;
      if (f == UserAgent) v = kAWStatsDefaultUserAgent;
    }
    if (group == FeedGroup::Ftp) {
      if (f == Host && v == "-" && !domainName.empty()) v = domainName;
      if (f == ScBytes) {
        // The column AWStats counts carries the transfer's bytes both ways.
        out += std::to_string(leadingNumber(r.field[ScBytes]) + leadingNumber(r.field[CsBytes]));
        continue;
      }
      if (f == Method) {
        const size_t at = v.find("created");
        if (at != std::string_view::npos) {
          out.append(v.substr(0, at)).append("sent").append(v.substr(at + 7));
          continue;
        }
      }
    }
    out += v;
  }
  out += '\n';
}

void renderWebalizerHttp(const Record& r, const Clock& c, std::string& out) {
  appendNeutral(out, r.field[ClientIp]);
  // The user name in the authenticated-user column, which Webalizer reports.
  out += " - ";
  appendNeutral(out, r.field[UserName]);
  out += " [";
  appendPadded(out, c.day, 2);
  out += '/';
  out += kMonths[c.month - 1];
  out += '/';
  appendPadded(out, c.year, 4);
  out += ':';
  appendClockTime(out, c);
  out += "] \"";
  appendNeutral(out, r.field[Method]);
  out += ' ';
  appendNeutral(out, r.field[UriStem]);
  out += ' ';
  appendNeutral(out, r.field[Version]);
  out += "\" ";
  appendNeutral(out, r.field[Status]);
  out += ' ';
  appendNeutral(out, r.field[ScBytes]);
  out += ' ';
  appendNeutral(out, r.field[Referer]);
  out += ' ';
  if (r.field[UserAgent] == "-") {
    out += '-';
  } else {
    out += '"';
    appendNeutral(out, r.field[UserAgent]);
    out += '"';
  }
  out += '\n';
}

void renderWebalizerFtp(const Record& r, const Clock& c, std::string& out) {
  out += kDays[dayOfWeek(c) % 7];
  out += ' ';
  out += kMonths[c.month - 1];
  out += ' ';
  appendPadded(out, c.day, 2);
  out += ' ';
  appendClockTime(out, c);
  out += ' ';
  appendPadded(out, c.year, 4);
  out += ' ';
  const long long taken = leadingNumber(r.field[TimeTaken]);
  out += std::to_string(taken > 0 ? taken / 1000 : 0);
  out += ' ';
  appendNeutral(out, r.field[ClientIp]);
  out += ' ';
  bool download = r.download;
  if (r.source == FeedFormat::WebalizerFtp) {
    out += r.webalizerBytes;
  } else {
    // An AWStats line no longer says its direction ("created" became
    // "sent"): the transfer's bytes both ways, in the larger direction.
    const long long sc = leadingNumber(r.field[ScBytes]), cs = leadingNumber(r.field[CsBytes]);
    download = sc >= cs;
    out += std::to_string(sc + cs);
  }
  out += ' ';
  appendNeutral(out, r.field[UriStem]);
  out += download ? " b _ o " : " b _ i ";
  const bool anonymous = r.source == FeedFormat::WebalizerFtp ? r.anonymous : text::equalsIgnoreCase(text::fromAnsi(r.field[UserName]), L"anonymous");
  out += anonymous ? "a " : "r ";
  appendNeutral(out, r.field[UserName]);
  out += ' ';
  appendNeutral(out, r.field[Version] == "-" ? std::string_view("ftp") : r.field[Version]);
  out += " 1 * c\n";
}

FeedFormat otherFormat(FeedFormat format, FeedGroup group) {
  if (format != FeedFormat::AWStats) return FeedFormat::AWStats;
  return group == FeedGroup::Web ? FeedFormat::WebalizerHttp : FeedFormat::WebalizerFtp;
}

// Buffered reading of a spilled run: key, sequence, length, bytes.
class RunReader {
 public:
  explicit RunReader(const std::wstring& path) : file_(vfs::openRead(path)) {}
  bool next() {
    char header[20];
    if (!take(header, sizeof header)) return false;
    std::memcpy(&key, header, 8);
    std::memcpy(&sequence, header + 8, 8);
    uint32_t length = 0;
    std::memcpy(&length, header + 16, 4);
    line.resize(length);
    if (!take(line.data(), length)) throw vexception(L"Truncated merge run " + file_.path(), VLOC(L"", "MergedFeed::writeSorted"));
    return true;
  }
  uint64_t key = 0, sequence = 0;
  std::string line;

 private:
  bool take(char* out, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (pos_ == buffer_.size()) {
        buffer_.resize(256 * 1024);
        const size_t got = file_.read(buffer_.data(), buffer_.size());
        buffer_.resize(got);
        pos_ = 0;
        if (got == 0) {
          if (done == 0) return false;
          throw vexception(L"Truncated merge run " + file_.path(), VLOC(L"", "MergedFeed::writeSorted"));
        }
      }
      const size_t step = std::min(n - done, buffer_.size() - pos_);
      std::memcpy(out + done, buffer_.data() + pos_, step);
      done += step;
      pos_ += step;
    }
    return true;
  }
  vfs::File file_;
  std::string buffer_;
  size_t pos_ = 0;
};

}  // namespace

bool isFeedName(const std::wstring& name, FeedGroup group) {
  if (name.size() != 3 + 17 + 4 || name.compare(20, 4, L".log") != 0) return false;
  const std::wstring prefix = name.substr(0, 3);
  const bool prefixOk = group == FeedGroup::Web ? prefix == L"web" : (prefix == L"ano" || prefix == L"ftp");
  if (!prefixOk) return false;
  return std::all_of(name.begin() + 3, name.begin() + 20, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

FeedListing listPendingFeeds(const vfs::Directory& logs, FeedGroup group) {
  FeedListing listing;
  for (const vfs::DirEntry& e : logs.list()) {
    if (!isFeedName(e.name, group)) continue;
    (e.type == vfs::EntryType::File ? listing.feeds : listing.ignored).push_back(e.name);
  }
  // The 17-digit stamp sorts the same way within a prefix; "ano" and "ftp"
  // feeds are ordered by their stamps.
  std::sort(listing.feeds.begin(), listing.feeds.end(),
            [](const std::wstring& a, const std::wstring& b) { return a.compare(3, 17, b, 3, 17) < 0 || (a.compare(3, 17, b, 3, 17) == 0 && a < b); });
  std::sort(listing.ignored.begin(), listing.ignored.end());
  return listing;
}

void checkOpenedTenantFile(const vfs::File& file, const vfs::Directory& directory, const std::wstring& path) {
  const vfs::DirEntry opened = file.info();
  if (opened.type != vfs::EntryType::File) throw vexception(path + L" is not a regular file", VLOC(L"", "checkOpenedTenantFile"));
  if (opened.links != 1)
    throw vexception(vaformat(L"%s has %d links; a feed has one", path, static_cast<int>(opened.links)), VLOC(L"", "checkOpenedTenantFile"));
  const uint32_t owner = directory.info().uid;
  if (opened.uid != 0 && opened.uid != owner)
    throw vexception(vaformat(L"%s belongs to user %u, neither root nor the owner of its directory (%u)", path, opened.uid, owner),
                     VLOC(L"", "checkOpenedTenantFile"));
}

uint64_t lineTimeKey(const char* line, size_t length, FeedFormat format) {
  switch (format) {
    case FeedFormat::WebalizerHttp:
      if (length < 15 || line[14] != ' ') return 0;
      return makeKey(digitsAt(line, 4), digitsAt(line + 4, 2), digitsAt(line + 6, 2), digitsAt(line + 8, 2),
                     digitsAt(line + 10, 2), digitsAt(line + 12, 2));
    case FeedFormat::AWStats:
      // "YYYY-MM-DD hh:mm:ss"
      if (length < 19 || line[4] != '-' || line[7] != '-' || line[10] != ' ' || line[13] != ':' || line[16] != ':') return 0;
      return makeKey(digitsAt(line, 4), digitsAt(line + 5, 2), digitsAt(line + 8, 2), digitsAt(line + 11, 2),
                     digitsAt(line + 14, 2), digitsAt(line + 17, 2));
    case FeedFormat::WebalizerFtp:
      // "Www MMM dd hh:mm:ss yyyy"
      if (length < 24 || line[3] != ' ' || line[7] != ' ' || line[10] != ' ' || line[13] != ':' || line[16] != ':' || line[19] != ' ')
        return 0;
      return makeKey(digitsAt(line + 20, 4), monthOfName(line + 4), digitsAt(line + 8, 2), digitsAt(line + 11, 2),
                     digitsAt(line + 14, 2), digitsAt(line + 17, 2));
  }
  return 0;
}

MergedFeed::MergedFeed(FeedFormat format, FeedGroup group, std::wstring domainName, std::wstring scratchDirectory, size_t memoryLimit)
    : format_(format),
      group_(group),
      domainName_(text::toAnsi(domainName)),
      scratchDirectory_(std::move(scratchDirectory)),
      memoryLimit_(memoryLimit) {}

MergedFeed::~MergedFeed() {
  for (const std::wstring& run : runs_) {
    try {
      vfs::forcedRemove(run);
    } catch (...) {
    }
  }
}

FeedLineCounts MergedFeed::add(const vfs::Directory& logs, const std::wstring& name) {
  const std::wstring path = vfs::join(logs.path(), name);
  FeedLineCounts counts;
  rethrowing(VLOC(L"Unable to read feed " + path, "MergedFeed::add"), [&] {
    vfs::File file = logs.openRead(name);
    checkOpenedTenantFile(file, logs, path);
    std::string block(kReadBlock, '\0');
    std::string partial;
    bool overlong = false;
    for (;;) {
      const size_t got = file.read(block.data(), block.size());
      if (got == 0) break;
      std::string_view rest(block.data(), got);
      while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        const std::string_view piece = rest.substr(0, lf);
        if (!overlong && partial.size() + piece.size() <= kMaxFeedLine + 1) {
          partial.append(piece);
        } else {
          overlong = true;
          partial.clear();
        }
        if (lf == std::string_view::npos) break;
        if (overlong)
          ++counts.unusable;
        else
          addLine(partial, counts);
        partial.clear();
        overlong = false;
        rest.remove_prefix(lf + 1);
      }
    }
    if (overlong)
      ++counts.unusable;
    else if (!partial.empty())
      addLine(partial, counts);
  });
  return counts;
}

FeedLineCounts MergedFeed::addBytes(std::string_view bytes) {
  FeedLineCounts counts;
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const std::string_view line = bytes.substr(0, lf);
    if (line.size() > kMaxFeedLine + 1)
      ++counts.unusable;
    else
      addLine(line, counts);
    if (lf == std::string_view::npos) break;
    bytes.remove_prefix(lf + 1);
  }
  return counts;
}

void MergedFeed::addLine(std::string_view line, FeedLineCounts& counts) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;  // a blank line is no entry
  if (line.size() > kMaxFeedLine) {
    ++counts.unusable;
    return;
  }
  Record record;
  bool converted = false;
  if (!parseAs(format_, line, record)) {
    if (!parseAs(otherFormat(format_, group_), line, record)) {
      ++counts.unusable;
      return;
    }
    converted = true;
  }
  Clock clock;
  uint64_t key = 0;
  try {
    if (clockFor(format_, record, clock)) key = clock.key();
  } catch (const vexception&) {
    key = 0;
  }
  if (key == 0) {
    ++counts.unusable;
    return;
  }
  scratchLine_.clear();
  switch (format_) {
    case FeedFormat::AWStats: renderAWStats(record, clock, group_, domainName_, scratchLine_); break;
    case FeedFormat::WebalizerHttp: renderWebalizerHttp(record, clock, scratchLine_); break;
    case FeedFormat::WebalizerFtp: renderWebalizerFtp(record, clock, scratchLine_); break;
  }
  lines_.push_back({key, sequence_++, bytes_.size(), scratchLine_.size()});
  bytes_ += scratchLine_;
  months_.insert(static_cast<int>(key / 100000000ULL));
  ++lineCount_;
  ++counts.usable;
  if (converted) ++counts.converted;
  if (!scratchDirectory_.empty() && bytes_.size() + lines_.size() * sizeof(Line) > memoryLimit_) spill();
}

void MergedFeed::sortHeld() {
  std::sort(lines_.begin(), lines_.end(),
            [](const Line& a, const Line& b) { return a.key != b.key ? a.key < b.key : a.sequence < b.sequence; });
}

void MergedFeed::spill() {
  if (lines_.empty()) return;
  sortHeld();
  const std::wstring path =
      vfs::join(scratchDirectory_, vaformat(L"%s-merge-%d.run", group_ == FeedGroup::Web ? L"web" : L"ftp", static_cast<int>(runs_.size())));
  runs_.push_back(path);
  vfs::File out = vfs::createOutputFile(path);
  std::string buffer;
  for (const Line& line : lines_) {
    char header[20];
    const uint32_t length = static_cast<uint32_t>(line.length);
    std::memcpy(header, &line.key, 8);
    std::memcpy(header + 8, &line.sequence, 8);
    std::memcpy(header + 16, &length, 4);
    buffer.append(header, sizeof header);
    buffer.append(bytes_, line.offset, line.length);
    if (buffer.size() >= kReadBlock) {
      out.writeAll(buffer.data(), buffer.size());
      buffer.clear();
    }
  }
  out.writeAll(buffer.data(), buffer.size());
  out.close();
  bytes_.clear();
  lines_.clear();
}

void MergedFeed::writeSorted(const std::function<void(std::string_view)>& sink) {
  if (runs_.empty()) {
    sortHeld();
    for (const Line& line : lines_) sink(std::string_view(bytes_).substr(line.offset, line.length));
    return;
  }
  spill();
  std::vector<std::unique_ptr<RunReader>> readers;
  auto later = [&](size_t a, size_t b) {
    return readers[a]->key != readers[b]->key ? readers[a]->key > readers[b]->key : readers[a]->sequence > readers[b]->sequence;
  };
  std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
  for (const std::wstring& run : runs_) {
    readers.push_back(std::make_unique<RunReader>(run));
    if (readers.back()->next()) heads.push(readers.size() - 1);
  }
  while (!heads.empty()) {
    const size_t i = heads.top();
    heads.pop();
    sink(readers[i]->line);
    if (readers[i]->next()) heads.push(i);
  }
}

void MergedFeed::writeSortedTo(const std::wstring& path) {
  vfs::File out = vfs::createOutputFile(path);
  std::string buffer;
  writeSorted([&](std::string_view line) {
    buffer.append(line);
    if (buffer.size() >= kReadBlock) {
      out.writeAll(buffer.data(), buffer.size());
      buffer.clear();
    }
  });
  out.writeAll(buffer.data(), buffer.size());
  out.close();
}

std::string MergedFeed::sortedInput() {
  std::string out;
  writeSorted([&](std::string_view line) { out.append(line); });
  return out;
}
