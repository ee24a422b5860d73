#include "traffic/log_scan.h"

#include <optional>

#include "app/run_markers.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/text.h"
#include "support/utilrunner.h"
#include "traffic/w3c.h"

namespace {

// The analyser feeds written into the same directories (exact prefixes).
bool isFeedName(const std::wstring& name) { return name.starts_with(L"web") || name.starts_with(L"ftp") || name.starts_with(L"ano"); }

// Compressed rotated logs.
bool isZip(const std::wstring& name) { return text::equalsIgnoreCase(vfs::extension(name), L".zip"); }

// The program's own scratch files (an archive or a configuration being
// written) have hidden names; one left by an interrupted run is no log.
bool isHidden(const std::wstring& name) { return name.starts_with(L"."); }

bool sameDay(const VDateTime& a, const VDateTime& b) { return a.day == b.day && a.month == b.month && a.year == b.year; }

}  // namespace

LogCollector::LogCollector(DomainModel& model, SitesHits& sitesHits, halvex::logging::LogStorage& httpLogStorage,
                           halvex::logging::LogStorage& ftpLogStorage, AnalyserRegistry* analysers)
    : model_(model), httpLogStorage_(httpLogStorage), ftpLogStorage_(ftpLogStorage), accounting_(model, sitesHits, analysers) {}

void LogCollector::processLogDirs(const VDateTime& logExpirationCutoff, const LogDirectoryMap& logDirectoryMap,
                                  const std::wstring& fromDate) {
  for (const auto& [path, entry] : logDirectoryMap) {
    std::vector<CollectedLog> logs;
    // The lock and the window are part of the directory's unit of work: a
    // domain whose lock or markers cannot be read must not stop the others.
    guarded(
        LogLevel::Error, [&] { return VLOC(vaformat(L"Collect directory '%s' log files", path), "statistics::processLogDirs"); },
        [&] {
          VDateTime start = logExpirationCutoff;
          if (entry.domain) {
            if (!tryLockDomain(*entry.domain)) return;
            initLogWindows(*entry.domain, entry.kind == LogHttp, entry.kind != LogHttp, fromDate);
            start = entry.domain->getStartLogTime(entry.kind);
          }
          scanDirectory(path, entry, start, logs);
        });
    for (const CollectedLog& log : logs) collectLog(log);
  }
}

void LogCollector::scanDirectory(const std::wstring& path, const LogDirectory& entry, const VDateTime& start,
                                 std::vector<CollectedLog>& logs) {
  const vfs::Directory directory = vfs::Directory::open(path);
  for (const vfs::DirEntry& file : directory.list()) {
    // Directories, links, FIFOs and devices are never read.
    if (file.type != vfs::EntryType::File) continue;
    if (isFeedName(file.name) || isZip(file.name) || isHidden(file.name)) continue;
    const std::wstring filePath = vfs::join(path, file.name);
    // A server writes its logs under one name. A second name is a tenant's
    // hard link, possibly to a file that is not theirs: its bytes must not
    // count as their traffic nor reach their feed.
    if (file.links > 1) {
      logMessage(LogLevel::Warning, L"File %s has %I64d names; skipped", filePath, static_cast<int64_t>(file.links));
      continue;
    }
    bool due = VDateTime::fromFileTime(file.lastWrite) >= start;
    // A file that cannot be examined (swapped for a link, removed meanwhile)
    // is neither read nor given up as expired.
    if (!due && !guarded(
                    LogLevel::Error, [&] { return VLOC(vaformat(L"Collect directory '%s' log files", path), "statistics::processLogDirs"); },
                    [&] { due = vfs::isFileInUse(filePath); }))
      continue;
    if (due) {
      logs.push_back(CollectedLog{filePath, entry.kind, entry.ownerName});
      continue;
    }
    logMessage(LogLevel::Info, L"File %s is expired", filePath);
    if (!entry.domain) (entry.kind != LogHttp ? ftpLogStorage_ : httpLogStorage_).add(filePath, entry.ownerName);
  }
}

void LogCollector::collectLog(const CollectedLog& log) {
  if (!log.ownerName.empty())
    logMessage(LogLevel::Info, L"%s(%d): Collect domain %s log", log.path, log.kind, log.ownerName);
  else
    logMessage(LogLevel::Info, L"%s(%d): Collect log", log.path, log.kind);
  guarded(
      LogLevel::Error, [&] { return VLOC(vaformat(L"Unable to process log file %s ", log.path), "statistics::collectLog"); },
      [&] { genericCollectLog(log); });
}

void LogCollector::genericCollectLog(const CollectedLog& log) {
  if (log.kind == LogHttp && log.ownerName.empty()) {
    logMessage(LogLevel::Warning, L"Unable to lookup domain for log %s", log.path);
    return;
  }
  haveLastOwner_ = false;
  // The web server may go on writing its log; a copy holds still while it is read.
  std::optional<TemporaryFile> copy;
  if (log.kind == LogHttp) {
    copy.emplace();
    copy->copyFrom(log.path);
  }
  const std::wstring& readPath = copy ? copy->path() : log.path;
  const auto where = [&] { return VLOC(vaformat(L"Unable to process log file %s", log.path), "statistics::genericCollectLog"); };
  for (W3CFile::iterator section(readPath); !section.atEnd(); ++section)
    for (W3CFile::record_iterator record(section); !record.atEnd(); ++record)
      guarded(LogLevel::Error, where, [&] { processRecord(*record, log); });
}

void LogCollector::processRecord(W3CRecord& record, const CollectedLog& log) {
  const LineColumns& columns = columns_.of(record);
  const bool ftp = log.kind != LogHttp;
  if (ftp && model_.iisFtp7) normalizeIisFtp7Line(record, columns);
  const VDateTime time = lineTime(record, columns);
  if (!isValidLogDate(time)) return;
  if (!ftp) {
    accounting_.processLogLine(time, log.kind, record, log.ownerName, log.path);
    return;
  }
  bool isDownload = false;
  if (!acceptFtpMethod(record, columns.method, isDownload)) return;
  const std::wstring_view login = record.value(columns.username);
  const std::wstring_view address = record.value(columns.clientIp);
  if (!haveLastOwner_ || login != ownerLogin_ || address != ownerAddress_) {
    lastOwner_ = findFtpLineOwner(login, address, log.ownerName, log.kind);
    ownerLogin_.assign(login);
    ownerAddress_.assign(address);
    haveLastOwner_ = true;
  }
  static const std::wstring noName;
  accounting_.processLogLine(time, lastOwner_.kind, record, lastOwner_.domainName ? *lastOwner_.domainName : noName, log.path);
}

VDateTime LogCollector::lineTime(const W3CRecord& record, const LineColumns& columns) {
  VDateTime time;
  time.parse(record.value(columns.date), L"YMD");
  time.parse(record.value(columns.time), L"hms");
  // The calendar conversion leaves a value it refuses as parsed; a valid one
  // only gains its day of week, which is the same for every line of a day.
  if (!time.validFileTime()) return time;
  if (!sameDay(time, weekdayDate_)) {
    VDateTime day = time.datePart();
    day.normalize();
    weekday_ = day.dayOfWeek;
    weekdayDate_ = time.datePart();
  }
  time.dayOfWeek = weekday_;
  return time;
}

const std::wstring* LogCollector::lookUp(const std::map<std::wstring, std::wstring>& table, std::wstring_view key) {
  key_.assign(key);
  const auto it = table.find(key_);
  return it == table.end() ? nullptr : &it->second;
}

FtpLineOwner LogCollector::findFtpLineOwner(std::wstring_view login, std::wstring_view clientAddress, const std::wstring& directoryOwner,
                                            int logKind) {
  if (const std::wstring* name = lookUp(model_.ftpLoginDomains, login)) return {name, LogFtp};
  if (const std::wstring* name = lookUp(model_.anonFtpDomains, directoryOwner)) return {name, LogAnonFtp};
  if (const std::wstring* name = lookUp(model_.anonFtpDomains, clientAddress)) return {name, LogAnonFtp};
  return {nullptr, logKind};
}

void normalizeIisFtp7Line(W3CRecord& record, const LineColumns& columns) {
  const std::wstring_view login = record.value(columns.username);
  if (const size_t slash = login.rfind(L'\\'); slash != std::wstring_view::npos) record.set(L"cs-username", login.substr(slash + 1));
  const std::wstring_view method = record.value(columns.method);
  if (text::equalsIgnoreCase(method, L"retr"))
    record.set(L"cs-method", L"sent");
  else if (text::equalsIgnoreCase(method, L"stor"))
    record.set(L"cs-method", L"created");
}
