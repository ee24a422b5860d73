#include "traffic/log_scan.h"

#include <algorithm>
#include <cwctype>
#include <set>

#include "app/run_markers.h"
#include "logrotate/zip_archive.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/utilrunner.h"
#include "traffic/w3c.h"
#include "webstat/executor_config.h"
#include "webstat/log_for_analyser.h"

namespace {

// The analyser feeds written into the same directories (exact prefixes).
bool isFeedName(const std::wstring& name) { return name.starts_with(L"web") || name.starts_with(L"ftp") || name.starts_with(L"ano"); }

// Compressed rotated logs.
bool isZip(const std::wstring& name) { return text::equalsIgnoreCase(vfs::extension(name), L".zip"); }

// The program's own scratch files (a copy, an archive or a configuration
// being written: "." + name + eight hexadecimal digits + ".tmp"); one left by
// an interrupted run is no log. Other hidden names are logs like any other.
bool isScratchName(const std::wstring& name) {
  constexpr size_t kSuffix = 8 + 4;
  if (!name.starts_with(L".") || !name.ends_with(L".tmp") || name.size() < 1 + kSuffix) return false;
  for (size_t i = name.size() - kSuffix; i < name.size() - 4; ++i)
    if (!std::iswxdigit(name[i])) return false;
  return true;
}

// A server writes its logs under one name, but a backup made with hard links
// or a snapshot gives them more, and they are still the domain's logs. Only
// where a tenant could have linked in a file that is not theirs (their
// bytes would count as the tenant's traffic and reach the tenant's feed) is
// a file with several names passed over: in a directory others than root
// may write, a file neither the directory's owner's nor readable by all.
bool mayCountLinkedLog(const vfs::DirEntry& file, const vfs::DirEntry& directory) {
  if (file.links <= 1) return true;
  const bool onlyRootWrites = directory.uid == 0 && (directory.mode & 022) == 0;
  return onlyRootWrites || (directory.uid != 0 && file.uid == directory.uid) || (file.mode & 04) != 0;
}

// A window held back by unreadable files in this many runs in a row is
// delivered without them in the next: a file that stays unreadable must not
// stop its domain for ever.
constexpr uint32_t kMaxHeldRuns = 3;

bool sameDay(const VDateTime& a, const VDateTime& b) { return a.day == b.day && a.month == b.month && a.year == b.year; }

}  // namespace

LogCollector::LogCollector(DomainModel& model, SitesHits& sitesHits, halvex::logging::LogStorage& httpLogStorage,
                           halvex::logging::LogStorage& ftpLogStorage, AnalyserRegistry* analysers)
    : model_(model),
      sitesHits_(sitesHits),
      httpLogStorage_(httpLogStorage),
      ftpLogStorage_(ftpLogStorage),
      analysers_(analysers),
      accounting_(model, analysers, [this](DomainInfo& d, int kind, const std::wstring& path) { failed(&d, kind, path); }) {}

void LogCollector::processLogDirs(const VDateTime& logExpirationCutoff, const LogDirectoryMap& logDirectoryMap,
                                  const std::wstring& fromDate) {
  loadLogFormatSettings();
  // The locks of every domain with a directory here are taken together (one
  // store write rather than one per domain); a domain the batch cannot
  // decide is tried, and reported, on its own below.
  std::vector<DomainInfo*> domains;
  std::set<DomainInfo*> seen;
  for (const auto& [path, entry] : logDirectoryMap)
    if (entry.domain && seen.insert(entry.domain).second) domains.push_back(entry.domain);
  guarded(LogLevel::Error, VLOC(L"Lock the domains", "statistics::processLogDirs"), [&] { lockDomains(domains); });
  for (const auto& [pathView, entry] : logDirectoryMap) {
    const std::wstring path(pathView);
    std::vector<CollectedLog> logs;
    // The lock and the window are part of the directory's unit of work: a
    // domain whose lock or markers cannot be read must not stop the others.
    const bool listed = guarded(
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
    if (!listed) failed(entry.domain, entry.kind, path);
    for (const CollectedLog& log : logs) collectLog(log);
  }
  dropPrefetchedMarkers();
  settle();
}

void LogCollector::failed(DomainInfo* domain, int kind, const std::wstring& path) {
  // An FTP server's log holds lines of any domain: none of them may move
  // its FTP marker past lines that were not read.
  if (!domain) {
    if (kind != LogHttp && ftpFailure_.empty()) ftpFailure_ = path;
    return;
  }
  // A domain this process does not hold delivers nothing anyway.
  if (!domain->businessLock.held()) return;
  LogWindow& window = kind == LogHttp ? domain->httpLogWindow : domain->ftpLogWindow;
  if (!window.failed) window.failedFile = path;
  window.failed = true;
}

void LogCollector::settle() {
  for (auto& [id, domain] : model_.domainsById) {
    DomainInfo& d = *domain;
    if (!ftpFailure_.empty() && !d.ftpLogWindow.notLoaded && !d.ftpLogWindow.failed) {
      d.ftpLogWindow.failed = true;
      d.ftpLogWindow.failedFile = ftpFailure_;
    }
    if (holdBack(d, d.httpLogWindow, L"HTTP")) {
      d.traffic[LogHttp].clear();
      d.pageHits.clear();
      if (analysers_) analysers_->discardFeeds(d.name, {LogHttp});
    }
    if (holdBack(d, d.ftpLogWindow, L"FTP")) {
      d.traffic[LogAnonFtp].clear();
      d.traffic[LogFtp].clear();
      if (analysers_) analysers_->discardFeeds(d.name, {LogAnonFtp, LogFtp});
    }
    for (const auto& [day, hits] : d.pageHits) sitesHits_[day] += hits;
  }
}

bool LogCollector::holdBack(DomainInfo& domain, LogWindow& window, const wchar_t* kindName) {
  if (!window.failed) return false;
  const std::wstring kind = kindName;
  if (window.notLoaded) {
    logMessage(LogLevel::Error, L"The %s traffic of domain %s is not collected: its window could not be loaded (%s)", kind, domain.name,
               window.failedFile);
    return true;
  }
  window.heldRuns = readHeldRuns(domain, kind == L"HTTP") + 1;
  if (window.heldRuns > kMaxHeldRuns) {
    logMessage(LogLevel::Error, L"%s could not be read in %d runs in a row: given up, the other %s traffic of domain %s is delivered",
               window.failedFile, static_cast<int>(kMaxHeldRuns), kind, domain.name);
    window.failed = false;
    window.heldRuns = 0;
    return false;
  }
  logMessage(LogLevel::Error, L"The %s traffic of domain %s is held back until %s can be read (run %d of %d in a row); a later run counts it",
             kind, domain.name, window.failedFile, static_cast<int>(window.heldRuns), static_cast<int>(kMaxHeldRuns));
  return true;
}

void LogCollector::scanDirectory(const std::wstring& path, const LogDirectory& entry, const VDateTime& start,
                                 std::vector<CollectedLog>& logs) {
  const vfs::Directory directory = vfs::Directory::open(path);
  for (const vfs::DirEntry& file : directory.list()) {
    if (isScratchName(file.name)) {
      removeStaleScratch(directory, file, entry);
      continue;
    }
    if (isFeedName(file.name) || isZip(file.name)) continue;
    const std::wstring filePath = vfs::join(path, file.name);
    // An entry that cannot be examined may be a due log: the others are
    // still read, but the directory's lines are not delivered without it.
    if (file.error != 0) {
      logMessage(LogLevel::Error, L"Unable to get attributes of %s (error %d)", filePath, static_cast<int>(file.error));
      failed(entry.domain, entry.kind, filePath);
      continue;
    }
    // Directories, links, FIFOs and devices are never read.
    if (file.type != vfs::EntryType::File) continue;
    bool due = VDateTime::fromFileTime(file.lastWrite) >= start;
    // A file that cannot be examined (swapped for a link, removed meanwhile)
    // is neither read nor given up as expired.
    if (!due && !guarded(
                    LogLevel::Error, [&] { return VLOC(vaformat(L"Collect directory '%s' log files", path), "statistics::processLogDirs"); },
                    [&] { due = vfs::isFileInUse(directory, file.name); }))
      continue;
    if (due) {
      logs.push_back(CollectedLog{filePath, entry.kind, std::wstring(entry.ownerName), entry.domain});
      continue;
    }
    logMessage(LogLevel::Info, L"File %s is expired", filePath);
    if (!entry.domain) (entry.kind != LogHttp ? ftpLogStorage_ : httpLogStorage_).add(filePath, std::wstring(entry.ownerName));
  }
}

namespace {

// The scratch names of what the program writes into a domain's logs
// directory: its executor configuration, an archive of its logs, a feed
// waiting to be put in place ("." + "web", "ano" or "ftp" + 17 digits +
// ".log."); the names a tenant may give files of their own are left alone.
bool isOwnScratchOfLogsDirectory(const std::wstring& name) {
  static const std::wstring config = L"." + std::wstring(kWebStatExecutorConfigName) + L".";
  if (name.starts_with(config) || name.starts_with(zipstep::kTemporaryPrefix)) return true;
  if (name.size() < 1 + 3 + 17 + 5 || name.compare(21, 5, L".log.") != 0) return false;
  if (!isFeedName(name.substr(1))) return false;
  return std::all_of(name.begin() + 4, name.begin() + 21, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

}  // namespace

void LogCollector::removeStaleScratch(const vfs::Directory& directory, const vfs::DirEntry& file, const LogDirectory& entry) {
  // These are written under the domain's lock, which this process holds,
  // and a feed's is settled by the journal before the lock is taken over:
  // a scratch file of them is what a killed run left. An hour old at
  // least, so that a clock set back or a slow disk cannot make a file being
  // written look left over.
  if (!entry.domain || !entry.domain->businessLock.held() || file.type != vfs::EntryType::File || !isOwnScratchOfLogsDirectory(file.name))
    return;
  if (!(VDateTime::fromFileTime(file.lastWrite) < VDateTime::nowUtc().addSeconds(-3600))) return;
  guarded(LogLevel::Warning, [&] { return VLOC(vfs::join(directory.path(), file.name), "statistics::processLogDirs"); }, [&] {
    directory.unlink(file.name);
    logMessage(LogLevel::Info, L"Removed %s, left by an interrupted run", vfs::join(directory.path(), file.name));
  });
}

void LogCollector::collectLog(const CollectedLog& log) {
  if (!log.ownerName.empty())
    logMessage(LogLevel::Info, L"%s(%d): Collect domain %s log", log.path, log.kind, log.ownerName);
  else
    logMessage(LogLevel::Info, L"%s(%d): Collect log", log.path, log.kind);
  if (!guarded(
          LogLevel::Error, [&] { return VLOC(vaformat(L"Unable to process log file %s ", log.path), "statistics::collectLog"); },
          [&] { genericCollectLog(log); }))
    failed(log.domain, log.kind, log.path);
}

void LogCollector::genericCollectLog(const CollectedLog& log) {
  if (log.kind == LogHttp && log.ownerName.empty()) {
    logMessage(LogLevel::Warning, L"Unable to lookup domain for log %s", log.path);
    return;
  }
  haveLastOwner_ = false;
  const bool web = log.kind == LogHttp;
  // The log is read in place, from the descriptor whose names were checked,
  // up to the size it had when it was opened: the lines a server appends
  // meanwhile are left for the next run, as a copy would leave them, and no
  // copy is written and removed per log.
  const vfs::File source = [&] {
    if (!web) return vfs::openRead(log.path);
    const vfs::Directory directory = vfs::Directory::open(vfs::parentDirectory(log.path));
    vfs::File file = directory.openRead(vfs::fileName(log.path));
    if (!mayCountLinkedLog(file.info(), directory.info())) {
      logMessage(LogLevel::Warning, L"File %s has %I64d names and is not its directory owner's; skipped", log.path,
                 static_cast<int64_t>(file.info().links));
      file.close();
    }
    return file;
  }();
  if (!source.valid()) return;
  const uint64_t size = source.size();
  // A W3C log opens with its directives; the Linux servers' logs are told
  // by their lines.
  static const std::vector<const linuxlog::AccessLogFormat*> noFormats;
  const linuxlog::Form form = linuxlog::sniff(source.view(size), web, web ? formatsFor(log.ownerName) : noFormats);
  if (form != linuxlog::Form::W3C) return collectLinuxLog(log, source.view(size), form);
  const auto where = [&] { return VLOC(vaformat(L"Unable to process log file %s", log.path), "statistics::genericCollectLog"); };
  bool anyBlock = false;
  for (W3CFile::iterator section(source.view(size)); !section.atEnd(); ++section) {
    anyBlock = true;
    for (W3CFile::record_iterator record(section); !record.atEnd(); ++record)
      guarded(LogLevel::Error, where, [&] { processRecord(*record, log); });
  }
  if (!anyBlock)
    logMessage(LogLevel::Info, L"%s has no W3C directives and begins with no line of %s: nothing in it is counted", log.path,
               std::wstring(web ? L"a known access log format" : L"the xferlog form"));
}

void LogCollector::collectLinuxLog(const CollectedLog& log, vfs::File file, linuxlog::Form form) {
  const auto where = [&] { return VLOC(vaformat(L"Unable to process log file %s", log.path), "statistics::genericCollectLog"); };
  const auto each = [&](W3CRecord& record) { guarded(LogLevel::Error, where, [&] { processRecord(record, log); }); };
  const bool access = form == linuxlog::Form::Access;
  const linuxlog::ReadCounts counts =
      access ? linuxlog::readAccessLog(std::move(file), formatsFor(log.ownerName), each) : linuxlog::readXferlog(std::move(file), xferlogClock_, each);
  if (counts.skipped != 0)
    logMessage(LogLevel::Info, L"%s: %I64d of %I64d lines fit no %s and were skipped (%I64d of them longer than %I64d bytes)", log.path,
               counts.skipped, counts.lines, std::wstring(access ? L"access log format" : L"xferlog form"), counts.tooLong,
               static_cast<int64_t>(linuxlog::kMaxLine));
  if (counts.inBytesMissing && !inBytesNoted_) {
    inBytesNoted_ = true;
    logMessage(LogLevel::Info, L"Incoming bytes are not logged in %s (its format has no %s): they count as 0", log.path,
               std::wstring(L"%I or $request_length"));
  }
}

void LogCollector::loadLogFormatSettings() {
  const auto use = [](FormatSetting& setting, const std::wstring& name, const std::wstring& value) {
    setting = FormatSetting{};
    if (!value.empty()) {
      try {
        setting.format = linuxlog::AccessLogFormat::parse(text::toAnsi(value));
      } catch (const vexception& e) {
        setting.error = L"The setting " + name + L" cannot be used: " + e.message();
        logMessage(LogLevel::Error, L"%s; the web logs it applies to are not counted", setting.error);
      }
    }
    if (setting.format) setting.tried.push_back(&*setting.format);
    for (const linuxlog::AccessLogFormat& known : linuxlog::AccessLogFormat::known()) setting.tried.push_back(&known);
  };
  const std::wstring key = kConfigKey;
  const std::wstring domainsKey = key + L"\\" + kAccessLogFormatsKey;
  std::wstring value;
  const bool read = guarded(LogLevel::Error, VLOC(L"Read the setting " + key + L"\\" + kAccessLogFormatValue, "statistics::processLogDirs"),
                            [&] { registry::lookup(HKEY_LOCAL_MACHINE, key, kAccessLogFormatValue, value); });
  use(installationFormat_, key + L"\\" + kAccessLogFormatValue, value);
  if (!read) installationFormat_.error = L"The setting " + key + L"\\" + kAccessLogFormatValue + L" could not be read";

  domainFormats_.clear();
  guarded(LogLevel::Error, VLOC(L"Read the settings " + domainsKey, "statistics::processLogDirs"), [&] {
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, domainsKey)) return;
    for (const std::wstring& name : registry::valueNames(HKEY_LOCAL_MACHINE, domainsKey)) {
      FormatSetting& setting = domainFormats_[text::lowerAscii(name)];
      std::wstring format;
      const bool ok = guarded(LogLevel::Error, VLOC(L"Read the setting " + domainsKey + L"\\" + name, "statistics::processLogDirs"),
                              [&] { registry::lookup(HKEY_LOCAL_MACHINE, domainsKey, name, format); });
      use(setting, domainsKey + L"\\" + name, format);
      if (!ok) setting.error = L"The setting " + domainsKey + L"\\" + name + L" could not be read";
    }
  });

  std::wstring zone;
  guarded(LogLevel::Error, VLOC(L"Read the setting " + key + L"\\" + kXferlogTimeZoneValue, "statistics::processLogDirs"),
          [&] { registry::lookup(HKEY_LOCAL_MACHINE, key, kXferlogTimeZoneValue, zone); });
  const bool utc = text::equalsIgnoreCase(zone, L"UTC");
  if (!utc && !zone.empty() && !text::equalsIgnoreCase(zone, L"local"))
    logMessage(LogLevel::Error, L"The setting %s is \"%s\", neither UTC nor local: xferlog times are read as local time",
               key + L"\\" + kXferlogTimeZoneValue, zone);
  xferlogClock_ = linuxlog::XferlogClock(utc);
  inBytesNoted_ = false;
}

const std::vector<const linuxlog::AccessLogFormat*>& LogCollector::formatsFor(const std::wstring& domainName) {
  if (installationFormat_.tried.empty()) loadLogFormatSettings();
  const FormatSetting* setting = &installationFormat_;
  if (const auto it = domainFormats_.find(text::lowerAscii(domainName)); it != domainFormats_.end()) setting = &it->second;
  if (!setting->error.empty()) throw vexception(setting->error, VLOC(L"", "statistics::genericCollectLog"));
  return setting->tried;
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
  // Lines of a busy log share their second, and the value depends on the two
  // texts alone: the last one is given again while they repeat.
  const std::wstring_view dateText = record.value(columns.date);
  const std::wstring_view timeText = record.value(columns.time);
  if (haveLineTime_ && timeText == lineTimeText_ && dateText == lineDateText_) return lineTime_;
  haveLineTime_ = false;
  VDateTime time;
  time.parse(dateText, L"YMD");
  time.parse(timeText, L"hms");
  // The calendar conversion leaves a value it refuses as parsed; a valid one
  // only gains its day of week, which is the same for every line of a day.
  if (time.validFileTime()) {
    if (!sameDay(time, weekdayDate_)) {
      VDateTime day = time.datePart();
      day.normalize();
      weekday_ = day.dayOfWeek;
      weekdayDate_ = time.datePart();
    }
    time.dayOfWeek = weekday_;
  }
  lineDateText_.assign(dateText);
  lineTimeText_.assign(timeText);
  lineTime_ = time;
  haveLineTime_ = true;
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
