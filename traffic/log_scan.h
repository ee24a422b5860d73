// The scan of the web and FTP log directories: which files of each directory
// may hold lines newer than the last run, reading them, normalising FTP
// lines, and finding the domain each line belongs to before its accounting.
//
// Web log lines belong to the domain whose directory they were found in; FTP
// log lines come from the FTP server's shared directories and are attributed
// one by one, by login or by anonymous-FTP address.
//
// The directories are the tenants' to write, so nothing here follows a
// symbolic link: only regular files are candidates (links, FIFOs and devices
// are passed over), and files are opened without following links.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/results_data.h"
#include "config/domain.h"
#include "config/log_locations.h"
#include "logrotate/log_storage.h"
#include "support/datetime.h"
#include "traffic/accounting.h"
#include "traffic/linux_logs.h"

class W3CRecord;
class AnalyserRegistry;

// The settings of the Linux servers' logs (registry values of the
// configuration key): "AccessLogFormat" (an Apache LogFormat or nginx
// log_format string for every web log), the key "AccessLogFormats" below it
// (one value per domain name, the same for that domain's logs) and
// "XferlogTimeZone" ("UTC" when the FTP server writes UTC times; otherwise
// xferlog times are the host's local time).
inline constexpr const wchar_t* kAccessLogFormatValue = L"AccessLogFormat";
inline constexpr const wchar_t* kAccessLogFormatsKey = L"AccessLogFormats";
inline constexpr const wchar_t* kXferlogTimeZoneValue = L"XferlogTimeZone";

// A file chosen for collection, with its directory's kind and owner name.
struct CollectedLog {
  std::wstring path;
  int kind = LogHttp;
  std::wstring ownerName;
  // The domain whose directory it lies in (null in an FTP server's).
  DomainInfo* domain = nullptr;
};

// The domain an FTP line belongs to: its name (null when none was found)
// and the line's kind.
struct FtpLineOwner {
  const std::wstring* domainName = nullptr;
  int kind = LogFtp;
};

class LogCollector {
 public:
  // `analysers` may be null: no feeds are written. Everything given must
  // outlive the collector.
  LogCollector(DomainModel& model, SitesHits& sitesHits, halvex::logging::LogStorage& httpLogStorage,
               halvex::logging::LogStorage& ftpLogStorage, AnalyserRegistry* analysers);

  // Walks the directories in path order. A directory with a domain is read
  // only when the domain's traffic lock can be taken (otherwise it is passed
  // over silently); its window is loaded (with fromDate) and files last
  // written before the window's start are not read. In a directory without
  // a domain (an FTP server's) the start is logExpirationCutoff, and an
  // older file is registered with the log storage of its kind. Files still
  // open in another process are read whatever their time. Skipped: names
  // beginning with "web", "ftp" or "ano" (the analyser feeds), ".zip" files
  // (any case), and every entry that is no regular file. A failing
  // directory is logged ("Collect directory '%s' log files") and the files
  // chosen before the failure are still read.
  //
  // Each domain's traffic of the run is all or nothing, per window: when
  // anything due for it failed (its directory could not be listed, an entry
  // examined, a file opened, copied or read to its end, its marker read;
  // for the FTP window, any FTP server log too), none of that window's
  // traffic, page hits or feed lines are delivered, its marker stays and its
  // logs are not rotated, so the next run counts them once. A window held
  // back in three runs in a row is delivered in the fourth without what
  // still fails (an Error names it). At the end the page hits of the
  // delivered domains are added to the run's table.
  void processLogDirs(const VDateTime& logExpirationCutoff, const LogDirectoryMap& logDirectoryMap, const std::wstring& fromDate);

  // Logs "%s(%d): Collect domain %s log" (or "%s(%d): Collect log" without
  // an owner) and reads the file; a failure is logged as an Error with
  // "Unable to process log file %s " and the run goes on.
  void collectLog(const CollectedLog& log);

  // Reads the file in place up to the size it had when it was opened (the
  // server may go on writing it) and accounts each line; a failing line is logged
  // with "Unable to process log file %s" and the next line read. A web log
  // without an owner name is not read ("Unable to lookup domain for log %s").
  void genericCollectLog(const CollectedLog& log);
  // Removes a scratch file of the program's own (executor configuration,
  // archive, feed to be put in place) that an interrupted run left in a
  // logs directory of a domain this process holds.
  void removeStaleScratch(const vfs::Directory& directory, const vfs::DirEntry& file, const LogDirectory& entry);

  // By login (kind 2, FTP), else by the directory owner's anonymous-FTP
  // address, else by the client address (kind 1, anonymous FTP); otherwise
  // no name and `logKind`. Exact, case-sensitive look-ups.
  FtpLineOwner findFtpLineOwner(std::wstring_view login, std::wstring_view clientAddress, const std::wstring& directoryOwner, int logKind);

  TrafficAccounting& accounting() { return accounting_; }

  // Reads the settings above; a format that cannot be used is an Error
  // naming the setting, and the web logs it governs are not counted (their
  // domains are held back) rather than counted as nothing. Done by
  // processLogDirs; public for tests that read files one by one.
  void loadLogFormatSettings();

 private:
  // The access-log formats a domain's web logs are matched against: its
  // own or the installation's setting first, then the known forms. Raises
  // when the setting that applies cannot be used.
  const std::vector<const linuxlog::AccessLogFormat*>& formatsFor(const std::wstring& domainName);
  // Reads an access log or an xferlog, each line as the W3C record of the
  // same request or transfer; reports the lines that fit no form.
  void collectLinuxLog(const CollectedLog& log, vfs::File file, linuxlog::Form form);
  // Marks the window of the kind as failed for this run (a directory
  // without a domain: every domain's FTP window).
  void failed(DomainInfo* domain, int kind, const std::wstring& path);
  // Holds back or delivers each domain's windows; sums the page hits.
  void settle();
  // Whether the window's figures are held back (after the bound, they are
  // delivered and the failure is given up).
  bool holdBack(DomainInfo& domain, LogWindow& window, const wchar_t* kindName);
  // Appends the directory's files that are due; reports the expired ones.
  void scanDirectory(const std::wstring& path, const LogDirectory& entry, const VDateTime& start, std::vector<CollectedLog>& logs);
  void processRecord(W3CRecord& record, const CollectedLog& log);
  // The line's "date" and "time" as one normalised value.
  VDateTime lineTime(const W3CRecord& record, const LineColumns& columns);
  const std::wstring* lookUp(const std::map<std::wstring, std::wstring>& table, std::wstring_view key);

  DomainModel& model_;
  SitesHits& sitesHits_;
  halvex::logging::LogStorage& httpLogStorage_;
  halvex::logging::LogStorage& ftpLogStorage_;
  AnalyserRegistry* analysers_;
  TrafficAccounting accounting_;
  // The first FTP server log that failed this run.
  std::wstring ftpFailure_;
  LineColumns columns_;
  // Reused for map look-ups, so that a line's key costs no allocation.
  std::wstring key_;
  // The last login and client address attributed in the current file, and
  // their owner (lines of one session follow each other).
  std::wstring ownerLogin_, ownerAddress_;
  FtpLineOwner lastOwner_;
  bool haveLastOwner_ = false;
  // The format settings: the installation's, and each domain's own (an
  // error text where the setting cannot be used).
  struct FormatSetting {
    std::optional<linuxlog::AccessLogFormat> format;
    std::wstring error;
    std::vector<const linuxlog::AccessLogFormat*> tried;
  };
  FormatSetting installationFormat_;
  std::map<std::wstring, FormatSetting> domainFormats_;
  linuxlog::XferlogClock xferlogClock_;
  bool inBytesNoted_ = false;
  // The day of week of the last valid date seen (dates repeat line after line).
  VDateTime weekdayDate_;
  uint16_t weekday_ = 0;
  // The last line's date and time texts and their value (lineTime).
  std::wstring lineDateText_, lineTimeText_;
  VDateTime lineTime_;
  bool haveLineTime_ = false;
};

// Rewrites an FTP line of the "iisftp7" server into the form the accounting
// expects: a login "DOMAIN\user" becomes "user", and the methods "retr" and
// "stor" (any case) become "sent" and "created".
void normalizeIisFtp7Line(W3CRecord& record, const LineColumns& columns);
