// Readers of the logs that Linux web and FTP servers write: Apache httpd and
// nginx access logs, and xferlog transfer logs (ProFTPD, vsftpd, Pure-FTPd).
//
// Each line becomes the record the W3C reader would give for the same
// request or transfer (same field names, the date and time in UTC, values
// with blanks carried with "+" as IIS writes them), so that everything after
// the reader treats both alike.
//
// Access-log lines are matched against a format given as an Apache
// LogFormat or an nginx log_format string; the forms hosting servers write
// by default are known without one. A line that fits no format is skipped
// and counted, never guessed at.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "traffic/w3c.h"

namespace linuxlog {

// What a field of an access-log format is to the traffic count.
enum class Item : uint8_t {
  Literal,
  ClientIp,      // %h %a $remote_addr
  User,          // %u $remote_user
  TimeBracketed, // %t: "[10/Oct/2000:13:55:36 -0700]"
  TimeLocal,     // $time_local: the same without brackets
  TimeIso8601,   // $time_iso8601: 2000-10-10T13:55:36-07:00
  Request,       // %r $request: "GET /a?b HTTP/1.1"
  Method,        // %m $request_method
  UriPath,       // %U $uri
  Query,         // %q $args $query_string (%q with its "?")
  RequestUri,    // $request_uri: path and query
  Protocol,      // %H $server_protocol
  Status,        // %s %>s $status
  BodyBytes,     // %b %B $body_bytes_sent
  SentBytes,     // %O $bytes_sent: with the headers
  ReceivedBytes, // %I $request_length
  Referer,       // %{Referer}i $http_referer
  UserAgent,     // %{User-Agent}i $http_user_agent
  HostHeader,    // %{Host}i $http_host $host
  VirtualHost,   // %v %V $server_name
  Port,          // %p $server_port
  Microseconds,  // %D
  Seconds,       // %T
  SecondsMillis, // $request_time: 0.123
  Other,         // logged, not counted
};

// A parsed access-log format.
class AccessLogFormat {
 public:
  // Parses an Apache LogFormat string ("%h %l ...", with \" as Apache's
  // configuration writes it or plain ") or an nginx log_format string
  // ("$remote_addr - ..."). Raises vexception naming the first directive or
  // variable it does not know, or a format that cannot be matched (two
  // directives with nothing between them, no time, no status).
  static AccessLogFormat parse(std::string_view format);

  // The forms servers write without a setting, most specific first:
  // combined with %I %O, Debian's vhost_combined, combined (%b or %O; nginx's
  // combined has the same shape), vhost_common, common.
  static const std::vector<AccessLogFormat>& known();

  // Whether the format logs the bytes a request brought in.
  bool logsIncomingBytes() const { return logsIn_; }
  const std::string& text() const { return text_; }

  struct Fields;
  // Splits a whole line by the format; false when it does not fit (also when
  // a time, status or byte count is not what the server writes there).
  bool match(std::string_view line, Fields& out) const;

 private:
  struct Part {
    Item item;
    std::string literal;
    bool quoted = false;
  };
  bool matchFrom(std::string_view line, size_t k, size_t pos, Fields& out, int& budget) const;
  static bool store(Item item, std::string_view value, Fields& out);

  std::vector<Part> parts_;
  std::string text_;
  bool logsIn_ = false;
};

struct AccessLogFormat::Fields {
  std::string_view value[static_cast<int>(Item::Other) + 1];
  bool has[static_cast<int>(Item::Other) + 1] = {};
  void clear() {
    for (bool& h : has) h = false;
  }
  std::string_view get(Item i) const { return has[static_cast<int>(i)] ? value[static_cast<int>(i)] : std::string_view(); }
  bool present(Item i) const { return has[static_cast<int>(i)]; }
};

// The field list of the records the readers hand out (W3C names).
const std::vector<std::wstring>& recordFields();

// Converts local times of xferlog lines to UTC (xferlog lines carry no
// offset): by the process's time zone (TZ), or taken as UTC already.
class XferlogClock {
 public:
  explicit XferlogClock(bool utc = false) : utc_(utc) {}
  // Seconds since 1970 (UTC) of the local time; false when it is no time.
  bool toUtc(int year, int month, int day, int hour, int minute, int second, int64_t& out);

 private:
  bool utc_;
  // The offset of the last local hour converted (an hour has one offset,
  // apart from the hour repeated when clocks go back).
  int64_t hourKey_ = -1;
  int64_t hourOffset_ = 0;
};

// Builds records from lines.
class RecordBuilder {
 public:
  RecordBuilder();
  // An access-log line by the formats, trying the last that fitted first.
  // False when no format fits. `inBytesLogged` tells whether the fitting
  // format logged incoming bytes.
  bool accessLine(std::string_view line, const std::vector<const AccessLogFormat*>& formats, bool& inBytesLogged);
  // An xferlog line; false when it is none.
  bool xferlogLine(std::string_view line, XferlogClock& clock);
  W3CRecord& record() { return record_; }

 private:
  // Sets the date and time values from seconds since 1970 (UTC).
  void setUtc(int64_t seconds);
  // parseCommonLogTime, with the day of the last line remembered.
  bool commonLogTime(std::string_view s, int64_t& out);
  // A number as text, held until the next call.
  std::string_view number(int64_t n);

  W3CRecord record_;
  // The values of the record's columns (recordFields()), views of the line
  // or of the buffers below; the record copies them in one pass.
  std::string_view values_[15];
  AccessLogFormat::Fields fields_;
  const AccessLogFormat* last_ = nullptr;
  std::vector<std::pair<size_t, size_t>> tokens_;
  // The date of the day `dateDays_` (days since 1970) last converted.
  int64_t dateDays_ = 0;
  size_t dateLength_ = 0;
  char dateText_[48] = {};
  char timeText_[8] = {};
  char numberText_[24] = {};
  // The day and offset of the last common-log time read, and its first
  // second in UTC.
  bool dayKnown_ = false;
  char dayKey_[18] = {};
  int64_t dayStart_ = 0;
};

// The form of a file, judged from its first lines.
enum class Form { W3C, Access, Xferlog };

// Reads the start of the file: a directive line ("#...") makes it W3C; a
// line that fits an access-log format (a web log) or the xferlog form (an
// FTP log) makes it that. A file where neither shows within its first lines
// is W3C, as before these readers existed. Raises on open and read errors.
Form sniff(const std::wstring& path, bool webLog, const std::vector<const AccessLogFormat*>& formats);
// The same of a file already opened (a view of an opened log, say).
Form sniff(vfs::File file, bool webLog, const std::vector<const AccessLogFormat*>& formats);

// What a reading saw.
struct ReadCounts {
  int64_t lines = 0;     // non-empty lines
  int64_t records = 0;   // handed to the callback
  int64_t skipped = 0;   // fitting no format (including over-long lines)
  int64_t tooLong = 0;   // of the skipped: longer than kMaxLine
  bool inBytesMissing = false;  // a record came from a format without incoming bytes
};

// Lines longer than this are skipped (counted), not held in memory.
inline constexpr size_t kMaxLine = 16 << 20;

// What the readers hand each record to: any callable taking a W3CRecord&,
// referred to (not copied) for the length of the call, so that a line costs
// one indirect call and nothing is allocated.
class RecordSink {
 public:
  template <class Fn>
    requires(!std::is_same_v<std::remove_cvref_t<Fn>, RecordSink> && std::is_invocable_v<Fn&, W3CRecord&>)
  RecordSink(Fn&& fn) noexcept  // implicit: made from any callable, as std::function is
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(fn)))),
        call_([](void* object, W3CRecord& record) { (*static_cast<std::remove_reference_t<Fn>*>(object))(record); }) {}
  void operator()(W3CRecord& record) const { call_(object_, record); }

 private:
  void* object_;
  void (*call_)(void*, W3CRecord&);
};

// Reads the file line by line and calls fn for each record. The file is
// opened without following a link, a regular file only; open and read
// errors raise (vexception / vosexception), so an unread rest is never
// taken for the end. Exceptions of fn go through.
ReadCounts readAccessLog(const std::wstring& path, const std::vector<const AccessLogFormat*>& formats, RecordSink fn);
ReadCounts readXferlog(const std::wstring& path, XferlogClock& clock, RecordSink fn);
// The same of a file already opened; errors name its path().
ReadCounts readAccessLog(vfs::File file, const std::vector<const AccessLogFormat*>& formats, RecordSink fn);
ReadCounts readXferlog(vfs::File file, XferlogClock& clock, RecordSink fn);

}  // namespace linuxlog
