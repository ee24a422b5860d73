// One pass over the antivirus log or the spam filter log: per day, how many
// messages ended in each state, which recipients received infected messages
// and (antivirus only) which viruses were found.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

enum class AvLogKind { Antivirus, Spam };

inline constexpr const wchar_t* kAntivirusLogName = L"avstat";
inline constexpr const wchar_t* kSpamLogName = L"spamstat";

// "avstat" or "spamstat".
const wchar_t* avLogName(AvLogKind kind);

// Receives one figure: type ("summary", "recipients", "viruses", with the
// prefix "spam_" in the spam pass), day "YYYY-MM-DD", name (status word,
// lower-cased address or virus name), count.
using AvRecordSink = std::function<void(const std::wstring& type, const std::wstring& date, const std::wstring& name, uint64_t count)>;

// The files of a log in `directory` that its writers append to: regular
// files (no links) named "halvexlog_" + logName + anything + ".log", set-aside
// names excepted, as full paths in ascending order, which is by date. A
// missing directory has none; a directory that cannot be listed raises.
std::vector<std::wstring> listStatisticLogs(const std::wstring& directory, const std::wstring& logName);

// Setting a log's files aside before they are read, so that an entry a
// filter appends meanwhile lands in a fresh file that the next run counts,
// and the clean-up removes only what was read.
//
// Under the log's named mutex (the one its HalvexLog writers serialise every
// entry on, named as the log), each file of listStatisticLogs is renamed, in
// order, to "halvexlog_" + logName + ".counting." + a ten-digit sequence +
// "." + the rest of its name without ".log" (halvexlog_avstat20240301.log
// becomes halvexlog_avstat.counting.0000000007.20240301). The sequence goes
// on from the highest one present, so set-aside names sort in the order the
// files were written. Such a name is no log file of the writers' (they
// neither append to it nor count it in their history), and a file stays
// under it until a run has delivered its figures and removes it: a run that
// failed before that leaves it for the next run, which reads it again,
// before the files set aside after it.
//
// Returns every set-aside file of the log as full paths, oldest first (those
// left by earlier runs, then the ones just renamed). A missing directory has
// none; a listing or rename that fails raises naming the file, and what was
// renamed before stays set aside. A mutex still held by a writer after a
// minute raises too (a writer holds it for one append only).
std::vector<std::wstring> setAsideStatisticLogs(const std::wstring& directory, const std::wstring& logName);

// Counts the entries of the log files, given in order, and hands the figures
// to the sink: day by day, oldest first, within a day the summary, then the
// recipients, then (antivirus only) the viruses, each in key order.
//
// An entry is a whole line "YYYY/MM/DD hh:mm:ss:mmm pid tid message\r\n"
// whose message is "status\t...\trecipients\tvirus". It counts when its day
// is not earlier than the start day ("YYYY-MM-DD"; empty counts every day),
// and, from the second file on, not earlier than the latest day seen in the
// files before. Lines that do not have that form, that have no CR LF yet,
// that belong to a line longer than the reader's buffer, or whose date is no
// calendar date, are skipped.
//
// Every figure is written once, after all files are read: a day spread over
// several files, or met again after another day, gives one set of figures
// for that day. A file removed since it was listed counts as empty; a file
// that cannot be opened or read raises (naming the file), and then nothing
// at all has been handed to the sink.
class AvStatisticsPass {
 public:
  AvStatisticsPass(AvLogKind kind, std::wstring startDay, AvRecordSink sink);

  void run(const std::vector<std::wstring>& files);

 private:
  struct DayCounts {
    std::map<std::wstring, uint64_t> summary;
    std::map<std::wstring, uint64_t> recipients;
    std::map<std::wstring, uint64_t> viruses;
  };

  // Returns the latest day counted, or startDay when none was later.
  std::wstring processFile(const std::wstring& path, const std::wstring& startDay);
  void countLine(std::wstring_view line, const std::wstring& startDay, std::wstring& latest);
  // The day of a matching line, or nullptr when its date is impossible.
  const std::wstring* dayOf(std::wstring_view line);
  DayCounts& countsFor(const std::wstring& day);
  void flush();

  AvLogKind kind_;
  std::wstring typePrefix_;
  std::wstring startDay_;
  AvRecordSink sink_;
  std::map<std::wstring, DayCounts> days_;
  // Lines come in runs of the same day; these spare a look-up per line.
  std::wstring datePrefix_;
  std::wstring day_;
  DayCounts* counts_ = nullptr;
  std::wstring countsDay_;
};

// Sets the log's files in `directory` aside (setAsideStatisticLogs), runs a
// pass over every set-aside file and appends them to `filesToRemove` once
// every figure has been handed over; when the pass raises, `filesToRemove` is
// left as it was and the files stay set aside for the next run.
void runAvStatisticsPass(AvLogKind kind, const std::wstring& directory, const std::wstring& startDay, const AvRecordSink& sink,
                         std::vector<std::wstring>& filesToRemove);
