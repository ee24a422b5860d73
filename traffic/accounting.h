// Accounting of web and FTP log lines: the checks a line must pass, and the
// addition of its bytes (and, for the web, its page hit) to the owning
// domain's daily tables, inside the domain's collection window.
//
// Called once per log line, so the steady state allocates nothing: columns
// are resolved once per directive block, the last domain, feed and day are
// remembered (lines of one file mostly belong to one domain and arrive in
// date order).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/results_data.h"
#include "config/domain.h"
#include "support/datetime.h"

class W3CRecord;
class LogForAnalyser;
class AnalyserRegistry;

// The columns of the fields that collection reads, for one field list.
struct LineColumns {
  int date = -1;
  int time = -1;
  int scBytes = -1;
  int csBytes = -1;
  int username = -1;
  // "c-ip", the client address; "cs-ip" where a block names it so instead.
  int clientIp = -1;
  int method = -1;

  // The columns of the record's field list; resolved again only when the
  // record belongs to another directive block than the last one asked about.
  const LineColumns& of(const W3CRecord& record);

 private:
  uint64_t generation_ = UINT64_MAX;
};

// The month lies in 1..12 and the day in 1..the month's length (29 February in
// Gregorian leap years). A rejected date is logged at Warning level as
// "Invalid datetime %04d/%02d/%02d skipped".
bool isValidLogDate(const VDateTime& time);

// The FTP method filter. Logs "FTP csMethod='%s'" (Info); drops a prefix up to
// the last "]" (logging "truncate FTP csMethod='%s'"); accepts "sent"
// (isDownload true) and "created" (isDownload false) ignoring case; anything
// else logs "csMethod != 'sent' and csMethod != 'created' - skip" and is
// rejected. `methodColumn` is the "cs-method" column of the record's block.
bool acceptFtpMethod(const W3CRecord& record, int methodColumn, bool& isDownload);
// The same with the column looked up by name.
bool acceptFtpMethod(const W3CRecord& record, bool& isDownload);

// Adds accepted lines to the domains' traffic and page hits. The model
// and the tables must outlive it, and no entry may be erased from them while
// it is in use (it keeps pointers to the last entries it touched).
class TrafficAccounting {
 public:
  // `analysers` may be null: no line is fed to a web statistics analyser.
  // `windowFailed` learns of a domain whose window could not be loaded.
  using WindowFailure = std::function<void(DomainInfo& domain, int kind, const std::wstring& logPath)>;
  TrafficAccounting(DomainModel& model, AnalyserRegistry* analysers, WindowFailure windowFailed = {});

  // One line of the log at `logPath`: ignored silently when no domain has
  // that name, the domain's traffic lock cannot be taken, or the line lies
  // outside the domain's window (start inclusive, end exclusive; the window
  // is loaded on first use, without a from-date). Kinds other than 0-2 are
  // logged "Skipped log type %d". Failures of the feed or of the accounting
  // are rethrown with "Unable to process log " + logPath.
  void processLogLine(const VDateTime& time, int kind, const W3CRecord& record, const std::wstring& domainName,
                      const std::wstring& logPath);

  // One page hit of the domain (while this process holds its lock) and the line's
  // "sc-bytes" / "cs-bytes" added to the domain's HTTP table for its date,
  // then the feed. Failures are rethrown with "Process http log line %s".
  void processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& record, DomainInfo& domain, LogForAnalyser* feed);

  // The method filter again (a rejected line ends quietly), "FTP host='%s'"
  // (Info), the bytes added to the domain's table of the kind (1 or 2), then
  // the feed. Failures are rethrown with "Process FTP log line %s".
  void processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& record, const std::wstring& domainName, DomainInfo& domain,
                         LogForAnalyser* feed);

 private:
  DomainInfo* findDomain(const std::wstring& name);
  LogForAnalyser* feedFor(const DomainInfo& domain);
  void addBytes(const VDateTime& time, int kind, const W3CRecord& record, DomainInfo& domain);

  DomainModel& model_;
  AnalyserRegistry* analysers_;
  WindowFailure windowFailed_;
  LineColumns columns_;

  // The last domain name asked for and its record (null: no such domain).
  std::wstring lastName_;
  DomainInfo* lastDomain_ = nullptr;
  bool haveLastName_ = false;
  // The last domain whose feed was asked for, and the feed.
  const DomainInfo* feedDomain_ = nullptr;
  LogForAnalyser* feed_ = nullptr;
  // The last domain and day given a page hit.
  const DomainInfo* hitDomain_ = nullptr;
  VDateTime hitDay_;
  int64_t* hitCount_ = nullptr;
  // The last day counted in a traffic table.
  const DailyTraffic* trafficTable_ = nullptr;
  VDateTime trafficDay_;
  DayTraffic* dayTraffic_ = nullptr;
};
