// Feeds for the web statistics analysers: while traffic is counted, every
// accepted entry of a domain whose analyser is Webalizer or AWStats is also
// rewritten into that domain's feed file of the entry's kind. Feeds are
// written to temporary files and copied into the domain's logs directory
// ("web", "ano" or "ftp" + 17-digit UTC stamp + ".log") when their writer is
// destroyed at the end of the run.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>

#include "config/domain.h"
#include "support/datetime.h"

class W3CRecord;
class LogFile;

class LogForAnalyser {
 public:
  virtual ~LogForAnalyser();
  virtual LogFile& getLogFile(int kind);
  virtual void processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload) = 0;
  virtual void processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry) = 0;
  // Opens the feed of that kind on first use.
  virtual void prepareLogFile(int kind);

  std::wstring domainName;
  std::wstring logsDirectory;  // may be empty: the feed is then not kept
  std::wstring defaultDocument;

 protected:
  LogForAnalyser();
  std::array<std::unique_ptr<LogFile>, 6> logFiles_;
};

// The writers of a run, one per domain with an analyser; destroying the
// registry closes every feed and copies it into place.
class AnalyserRegistry {
 public:
  explicit AnalyserRegistry(DomainModel& model) : model_(model) {}
  ~AnalyserRegistry();

  // The domain's writer, created on first use; nullptr when the domain's
  // webStatType is neither "awstats" nor "webalizer" (exact).
  LogForAnalyser* getAnalyserForDomain(const std::wstring& domainName);

  // Closes every feed and copies it into its logs directory. Run as a commit
  // action: a feed appears only once the figures of its lines are delivered.
  void closeAll();
  // Closes every feed and deletes it without copying (a run that failed
  // before its results document was complete counts the lines again).
  void discardAll();

 private:
  DomainModel& model_;
  std::map<std::wstring, std::unique_ptr<LogForAnalyser>> writers_;
};
