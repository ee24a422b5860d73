// The line formats of the analyser feeds: how one accepted W3C entry is
// rewritten for Webalizer (a common-log line behind a sort key, or an xferlog
// line) or for AWStats (the entry's own fields behind a local date-time).
//
// Builders append to a caller's buffer so that a writer reuses one buffer for
// every line; field columns are resolved once per block of the W3C log. They
// write to wide text (std::wstring) or straight into a feed's bytes
// (AsciiLine), from the same code, so that both give the same line.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "support/datetime.h"
#include "traffic/w3c.h"

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
  return value.empty() || (value.size() == 1 && value[0] == L'-') ? fallback : value;
}

// Reads the feeds' fields from records, resolving their columns once per
// field list (W3CRecord::generation). A field the list lacks reads as empty
// without a look-up, unless values were set on the line: it is then asked by
// name, so a value set on the record alone is seen.
class FieldReader {
 public:
  std::wstring_view operator()(const W3CRecord& record, Field field) {
    if (!bound_ || record.generation() != generation_) bind(record);
    const int column = columns_[field];
    if (column >= 0) return record.value(column);
    if (!record.hasSetValues()) return {};
    return record(kFieldNames[field]);
  }

  // The AWStats fields as runs: `count` fields that lie in `count` columns
  // of the log one after another from `column`, or one field the log lacks
  // (column -1). A log that lists them in the AWStats order (the IIS
  // default) gives few runs.
  struct Run {
    int column;
    int count;
  };
  std::span<const Run> awstatsRuns(const W3CRecord& record) {
    if (!bound_ || record.generation() != generation_) bind(record);
    return {runs_.data(), runCount_};
  }

 private:
  void bind(const W3CRecord& record);
  bool bound_ = false;
  uint64_t generation_ = 0;
  std::array<int, FieldCount> columns_{};
  std::array<Run, kLastAWStatsField - kFirstAWStatsField + 1> runs_{};
  size_t runCount_ = 0;
};

// A feed line built straight into bytes: each character is narrowed as it is
// appended, which is its byte in any code page while it is ASCII (nearly
// every line). beyondAscii() tells that a character past ASCII (or an escaped
// byte) was appended: those bytes are wrong, and the line must be built as
// wide text and converted to the code page instead. The bytes gather in a
// block of its own and reach the caller's string in whole blocks and at
// finish(), rather than growing it piece by piece.
//
// Most of a feed line is values of one record, views of its line: given that
// line narrowed once (NarrowedLine), a value found inside it is copied from
// there in blocks of sixteen bytes instead of narrowed character by character.
class NarrowedLine {
 public:
  // The bytes of `line` when it is all ASCII; false (and nothing to copy
  // from) otherwise.
  bool assign(std::wstring_view line);
  // The bytes of the part of the line that `text` views, with at least
  // kSlack readable bytes after it; nullptr when `text` is not inside it.
  const char* find(std::wstring_view text) const {
    const auto at = reinterpret_cast<uintptr_t>(text.data());
    const auto begin = reinterpret_cast<uintptr_t>(line_.data());
    if (!valid_ || at < begin || at - begin > line_.size() * sizeof(wchar_t) ||
        text.size() > line_.size() - (at - begin) / sizeof(wchar_t))
      return nullptr;
    return bytes_.data() + (at - begin) / sizeof(wchar_t);
  }
  static constexpr size_t kSlack = 16;

 private:
  std::wstring_view line_;
  std::string bytes_;
  bool valid_ = false;
};

class AsciiLine {
 public:
  explicit AsciiLine(std::string& bytes, const NarrowedLine* source = nullptr) : bytes_(bytes), source_(source) {}
  AsciiLine(const AsciiLine&) = delete;
  AsciiLine& operator=(const AsciiLine&) = delete;

  AsciiLine& operator+=(wchar_t c) {
    if (used_ == kRoom) spill();
    seen_ |= static_cast<uint32_t>(c);
    block_[used_++] = static_cast<char>(c);
    return *this;
  }
  AsciiLine& operator+=(std::wstring_view text) {
    // A "-" for a value the entry lacks, a literal's few characters, a
    // status: cheaper one by one than through a look-up and a copy.
    if (text.size() <= 3) {
      for (const wchar_t c : text) *this += c;
      return *this;
    }
    if (source_ != nullptr && text.size() <= kRoom) {
      if (const char* from = source_->find(text)) {
        // Whole blocks of sixteen: the block and the narrowed line both have
        // room past the end, and what lies beyond the value is written over.
        if (kRoom - used_ < text.size()) spill();
        char* to = block_ + used_;
        for (size_t i = 0; i < text.size(); i += NarrowedLine::kSlack) std::memcpy(to + i, from + i, NarrowedLine::kSlack);
        used_ += text.size();
        return *this;
      }
    }
    return append(text.data(), text.size());
  }
  AsciiLine& append(const wchar_t* text, size_t n);
  // Bytes that are ASCII already (a line's date-time parts): copied as they are.
  AsciiLine& append(const char* ascii, size_t n) {
    if (kRoom - used_ < n) spill();
    if (n > kRoom) {
      bytes_.append(ascii, n);
      return *this;
    }
    std::memcpy(block_ + used_, ascii, n);
    used_ += n;
    return *this;
  }
  // Appends what is still in the block to the caller's string; the line is
  // complete there only after this.
  void finish() { spill(); }
  bool beyondAscii() const { return seen_ >= 0x80; }

 private:
  static constexpr size_t kRoom = 1024;
  void spill() {
    bytes_.append(block_, used_);
    used_ = 0;
  }
  std::string& bytes_;
  const NarrowedLine* source_;
  uint32_t seen_ = 0;
  size_t used_ = 0;
  char block_[kRoom + NarrowedLine::kSlack];
};

// The builders below are made for these two outputs.
template <class Out>
concept LineOut = std::same_as<Out, std::wstring> || std::same_as<Out, AsciiLine>;

// Webalizer HTTP: "YYYYMMDDhhmmss " (the sort key), then a common-log line
// with an upper-case month and no zone, ending in a blank and CR LF.
template <LineOut Out>
void appendWebalizerHttpLine(Out& out, const VDateTime& time, const W3CRecord& entry, FieldReader& fields);

// Webalizer FTP: one xferlog line ending in LF. The transfer-time field is
// the entry's time-taken in whole seconds; the size is sc-bytes + cs-bytes
// (what the results count for the line, so that the report's bandwidth
// equals them); kind 1 (anonymous FTP) gives the access mode "a", others "r".
template <LineOut Out>
void appendWebalizerFtpLine(Out& out, const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload, FieldReader& fields);

// The AWStats date-time of an entry: its UTC "date" and "time" as local
// "YYYY-MM-DD hh:mm:ss"; a "-" (or empty) date or time gives both texts as
// logged, joined by a blank. A date or time that is no calendar time raises
// (from VDateTime::toLocalTime). Remembers the last conversion, because
// successive entries mostly share their second, and the local text of the
// last minute, because they share their minute even more often.
class AWStatsClock {
 public:
  template <LineOut Out>
  void append(Out& out, std::wstring_view date, std::wstring_view time);

 private:
  // Sets text_ to the local time of `utc`; raises as above.
  void convert(const VDateTime& utc);

  std::wstring date_, time_, text_;
  bool valid_ = false;
  // The minute of minuteUtc_ (its seconds aside): Seen once, converted
  // second by second (Split), or Whole: its local time is minuteText_ and
  // the same second.
  enum class Minute { None, Seen, Split, Whole };
  Minute minute_ = Minute::None;
  VDateTime minuteUtc_;
  std::wstring minuteText_;
};

// AWStats HTTP: the date-time, then a blank and each field from s-sitename to
// time-taken by the value rule. No line end.
template <LineOut Out>
void appendAWStatsHttpLine(Out& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock);

// AWStats FTP: as the HTTP line, but a cs-host of "-" carries the domain name
// and "created" in the method becomes "sent" (first occurrence, in the method
// field only: a path that contains "created" is kept as logged).
template <LineOut Out>
void appendAWStatsFtpLine(Out& out, const W3CRecord& entry, FieldReader& fields, AWStatsClock& clock, std::wstring_view domainName);

}  // namespace feed
