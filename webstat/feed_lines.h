// The line formats of the analyser feeds: how one accepted W3C entry is
// rewritten for Webalizer (a common-log line behind a sort key, or an xferlog
// line) or for AWStats (the entry's own fields behind a local date-time).
//
// Builders append to a caller's buffer so that a writer reuses one buffer for
// every line; field columns are resolved once per block of the W3C log.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/datetime.h"

class W3CRecord;

namespace feed {

// "JAN".."DEC" for months 1-12; "???" for anything else.
std::wstring_view monthName(int month);
// "Sun".."Sat" for days of week 0-6; "???" for anything else.
std::wstring_view dayName(int dayOfWeek);

// The W3C fields the feeds know, in the order the AWStats lines carry them.
enum Field : int {
  Date, Time, SiteName, ComputerName, ServerIp, Method, UriStem, UriQuery, ServerPort, UserName, ClientIp,
  Version, UserAgent, Cookie, Referer, Host, Status, SubStatus, Win32Status, ScBytes, CsBytes, TimeTaken,
  FieldCount
};
// The W3C names of the fields, "date" to "time-taken".
extern const std::array<std::wstring_view, FieldCount> kFieldNames;
// AWStats lines carry the fields from "s-sitename" to "time-taken".
inline constexpr int kFirstAWStatsField = SiteName;
inline constexpr int kLastAWStatsField = TimeTaken;

// The value rule: an empty value or exactly "-" gives the default.
inline std::wstring_view valueOr(std::wstring_view value, std::wstring_view fallback) {
  return value.empty() || value == L"-" ? fallback : value;
}

// Reads the feeds' fields from records, resolving their columns once per
// field list (W3CRecord::generation). A field the list lacks is still asked
// by name, so a value set on the record alone is seen.
class FieldReader {
 public:
  std::wstring_view operator()(const W3CRecord& record, Field field);

 private:
  void bind(const W3CRecord& record);
  bool bound_ = false;
  uint64_t generation_ = 0;
  std::array<int, FieldCount> columns_{};
};

// Webalizer HTTP: "YYYYMMDDhhmmss " (the sort key), then a common-log line
// with an upper-case month and no zone, ending in a blank and CR LF.
void appendWebalizerHttpLine(std::wstring& out, const VDateTime& time, const W3CRecord& entry, FieldReader& fields);

// Webalizer FTP: one xferlog line ending in LF. The transfer-time field is
// the entry's time-taken in whole seconds; the size is sc-bytes + cs-bytes
// (what the results count for the line, so that the report's bandwidth
// equals them); kind 1 (anonymous FTP) gives the access mode "a", others "r".
void appendWebalizerFtpLine(std::wstring& out, const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload,
                            FieldReader& fields);

// The AWStats date-time of an entry: its UTC "date" and "time" as local
// "YYYY-MM-DD hh:mm:ss"; a "-" (or empty) date or time gives both texts as
// logged, joined by a blank. A date or time that is no calendar time raises
// (from VDateTime::toLocalTime). Remembers the last conversion, because
// successive entries mostly share their second.
class AWStatsClock {
 public:
  void append(std::wstring& out, std::wstring_view date, std::wstring_view time);

 private:
  std::wstring date_, time_, text_;
  bool valid_ = false;
};

// AWStats HTTP: the date-time, then a blank and each field from s-sitename to
// time-taken by the value rule. No line end.
void appendAWStatsHttpLine(std::wstring& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock);

// AWStats FTP: as the HTTP line, but a cs-host of "-" carries the domain name
// and "created" in the method becomes "sent" (first occurrence, in the method
// field only: a path that contains "created" is kept as logged).
void appendAWStatsFtpLine(std::wstring& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock,
                          std::wstring_view domainName);

}  // namespace feed
