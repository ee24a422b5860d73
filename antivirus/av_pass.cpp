#include "antivirus/av_pass.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <optional>
#include <utility>

#include "antivirus/av_log_reader.h"
#include "antivirus/av_recipients.h"
#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/mutex.h"
#include "support/vaformat.h"

namespace {

// Date, time, milliseconds, process id, thread id, message.
const boost::wregex& linePattern() {
  static const boost::wregex pattern(LR"((\d\d\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d):(\d\d\d) (\d+) (\d+) (.*?)\x0d\x0a)");
  return pattern;
}

// Status word, (unused), recipient list, virus name.
const boost::wregex& messagePattern() {
  static const boost::wregex pattern(LR"((\w+)\t(.*)\t(.*)\t(.*))");
  return pattern;
}

// "YYYY/MM/DD hh:mm:ss", the fixed-width start of every matching line.
constexpr size_t kStampChars = 19;
constexpr size_t kDateChars = 10;

std::wstring lowerCase(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return s;
}

std::wstring groupText(const boost::wcsub_match& group) { return std::wstring(group.first, group.second); }

}  // namespace

const wchar_t* avLogName(AvLogKind kind) { return kind == AvLogKind::Antivirus ? kAntivirusLogName : kSpamLogName; }

namespace {

constexpr const wchar_t* kSuffix = L".log";
constexpr const wchar_t* kSetAsideMark = L".counting.";
constexpr size_t kSequenceDigits = 10;
// A writer holds the log's mutex for one append; one that holds it this long
// is stuck, and the pass fails rather than the night's run hanging on it.
constexpr long kWriterMutexWaitMs = 60000;

std::wstring logPrefix(const std::wstring& logName) { return L"halvexlog_" + logName; }

bool isSetAsideName(const std::wstring& name, const std::wstring& logName) { return name.starts_with(logPrefix(logName) + kSetAsideMark); }

// The sequence of a set-aside name, or nothing when the name is not one.
std::optional<uint64_t> setAsideSequence(const std::wstring& name, const std::wstring& logName) {
  if (!isSetAsideName(name, logName)) return std::nullopt;
  const size_t start = logPrefix(logName).size() + std::wcslen(kSetAsideMark);
  if (name.size() < start + kSequenceDigits + 1 || name[start + kSequenceDigits] != L'.') return std::nullopt;
  uint64_t sequence = 0;
  for (size_t i = start; i < start + kSequenceDigits; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return std::nullopt;
    sequence = sequence * 10 + static_cast<uint64_t>(name[i] - L'0');
  }
  return sequence;
}

bool isLiveLogName(const std::wstring& name, const std::wstring& logName) {
  const std::wstring prefix = logPrefix(logName);
  const std::wstring suffix = kSuffix;
  return name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix) && !isSetAsideName(name, logName);
}

std::vector<std::wstring> regularFileNames(const vfs::Directory& directory) {
  std::vector<std::wstring> names;
  for (const vfs::DirEntry& entry : directory.list())
    if (entry.type == vfs::EntryType::File) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::wstring> listStatisticLogs(const std::wstring& directory, const std::wstring& logName) {
  if (!vfs::exists(directory)) return {};
  std::vector<std::wstring> files;
  for (const std::wstring& name : regularFileNames(vfs::Directory::open(directory)))
    if (isLiveLogName(name, logName)) files.push_back(vfs::join(directory, name));
  return files;
}

std::vector<std::wstring> setAsideStatisticLogs(const std::wstring& directory, const std::wstring& logName) {
  if (!vfs::exists(directory)) return {};
  const vfs::Directory dir = vfs::Directory::open(directory);
  const std::wstring prefix = logPrefix(logName);
  std::vector<std::wstring> setAside;  // names, oldest first
  {
    // No writer is between opening a file and appending its entry while the
    // mutex is held, so every entry is wholly in the file set aside or in
    // the fresh one the next writer creates.
    VMutex mutex(logName);
    if (!mutex.lock(kWriterMutexWaitMs))
      throw vexception(L"The writers of log " + logName + L" have held its mutex for a minute; its files are not set aside",
                       VLOC(L"", "setAsideStatisticLogs"));
    std::lock_guard<VMutex> lock(mutex, std::adopt_lock);
    std::vector<std::wstring> live;
    uint64_t sequence = 0;
    for (const std::wstring& name : regularFileNames(dir)) {
      if (const std::optional<uint64_t> n = setAsideSequence(name, logName)) {
        setAside.push_back(name);
        sequence = std::max(sequence, *n);
      } else if (isLiveLogName(name, logName)) {
        live.push_back(name);
      }
    }
    // Ten digits, fixed width: the names sort by sequence.
    std::sort(setAside.begin(), setAside.end());
    for (const std::wstring& name : live) {
      const std::wstring rest = name.substr(prefix.size(), name.size() - prefix.size() - std::wcslen(kSuffix));
      const std::wstring target = prefix + kSetAsideMark + vaformat(L"%010I64u", ++sequence) + L"." + rest;
      dir.renameNoReplace(name, target);
      setAside.push_back(target);
    }
  }
  std::vector<std::wstring> paths;
  for (const std::wstring& name : setAside) paths.push_back(vfs::join(directory, name));
  return paths;
}

AvStatisticsPass::AvStatisticsPass(AvLogKind kind, std::wstring startDay, AvRecordSink sink)
    : kind_(kind), typePrefix_(kind == AvLogKind::Spam ? L"spam_" : L""), startDay_(std::move(startDay)), sink_(std::move(sink)) {}

void AvStatisticsPass::run(const std::vector<std::wstring>& files) {
  std::wstring latest = startDay_;
  for (const std::wstring& path : files) {
    std::wstring fileLatest = processFile(path, latest);
    if (fileLatest > latest) latest = std::move(fileLatest);
  }
  flush();
}

std::wstring AvStatisticsPass::processFile(const std::wstring& path, const std::wstring& startDay) {
  return rethrowing([&] { return VLOC(vaformat(L"Read log file %s", path), "AvStatisticsPass::processFile"); },
                    [&] {
                      std::wstring latest = startDay;
                      vfs::File file;
                      try {
                        file = vfs::openRead(path);
                      } catch (const VFileNotFoundException&) {
                        return latest;  // removed since it was listed: nothing left to count
                      }
                      logMessage(LogLevel::Info, L"Collect %s statistics from %s", avLogName(kind_), path);
                      AvLogReader reader(std::move(file));
                      std::wstring_view piece;
                      bool wholeLine = false;
                      while (reader.next(piece, wholeLine))
                        if (wholeLine) countLine(piece, startDay, latest);
                      return latest;
                    });
}

void AvStatisticsPass::countLine(std::wstring_view line, const std::wstring& startDay, std::wstring& latest) {
  boost::wcmatch lineMatch;
  if (!boost::regex_match(line.data(), line.data() + line.size(), lineMatch, linePattern())) return;
  const std::wstring* day = dayOf(line);
  if (!day || *day < startDay) return;
  if (*day > latest) latest = *day;

  boost::wcmatch message;
  if (!boost::regex_match(lineMatch[10].first, lineMatch[10].second, message, messagePattern())) return;
  DayCounts& counts = countsFor(*day);
  const std::wstring status = groupText(message[1]);
  ++counts.summary[status];
  if (status != L"infected") return;
  if (kind_ == AvLogKind::Antivirus) ++counts.viruses[groupText(message[4])];
  const std::wstring_view list(message[3].first, static_cast<size_t>(message[3].length()));
  for (std::wstring& address : splitRecipients(list)) ++counts.recipients[lowerCase(std::move(address))];
}

const std::wstring* AvStatisticsPass::dayOf(std::wstring_view line) {
  const std::wstring_view stamp = line.substr(0, kStampChars);
  const VDateTime time = VDateTime::parsed(stamp, L"YMDhms");
  // A day that does not exist would reach the panel as a figure it cannot place.
  if (!time.validFileTime()) return nullptr;
  if (stamp.substr(0, kDateChars) != datePrefix_) {
    datePrefix_ = stamp.substr(0, kDateChars);
    day_ = time.formatDate();
  }
  return &day_;
}

AvStatisticsPass::DayCounts& AvStatisticsPass::countsFor(const std::wstring& day) {
  if (!counts_ || day != countsDay_) {
    counts_ = &days_[day];
    countsDay_ = day;
  }
  return *counts_;
}

void AvStatisticsPass::flush() {
  for (const auto& [day, counts] : days_) {
    for (const auto& [name, count] : counts.summary) sink_(typePrefix_ + L"summary", day, name, count);
    for (const auto& [name, count] : counts.recipients) sink_(typePrefix_ + L"recipients", day, name, count);
    if (kind_ != AvLogKind::Antivirus) continue;
    for (const auto& [name, count] : counts.viruses) sink_(typePrefix_ + L"viruses", day, name, count);
  }
  days_.clear();
  counts_ = nullptr;
}

void runAvStatisticsPass(AvLogKind kind, const std::wstring& directory, const std::wstring& startDay, const AvRecordSink& sink,
                         std::vector<std::wstring>& filesToRemove) {
  const std::vector<std::wstring> files = setAsideStatisticLogs(directory, avLogName(kind));
  AvStatisticsPass pass(kind, startDay, sink);
  pass.run(files);
  filesToRemove.insert(filesToRemove.end(), files.begin(), files.end());
}
