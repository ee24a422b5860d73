// Feeds for the web statistics analysers: while traffic is counted, every
// accepted entry of a domain whose analyser is Webalizer or AWStats is also
// rewritten into that domain's feed file of the entry's kind. Feeds are
// written to scratch files during the run, copied into the domain's logs
// directory under a scratch name as the results document ends
// (AnalyserRegistry::stageAll) and given their names ("web", "ano" or "ftp"
// + 17-digit UTC stamp + ".log") with the run's figures, by the run's
// commit journal (CommitActions::addInstalls); otherwise they are dropped.
//
// Writing a line is on the hot path of traffic collection: a writer builds
// every line in one reused buffer, resolves the W3C columns once per log
// block and writes through the feed's write buffer.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/commit_actions.h"
#include "config/domain.h"
#include "support/datetime.h"
#include "webstat/feed_lines.h"

class W3CRecord;
class LogFile;

class LogForAnalyser {
 public:
  virtual ~LogForAnalyser();
  LogForAnalyser(const LogForAnalyser&) = delete;
  LogForAnalyser& operator=(const LogForAnalyser&) = delete;

  // The feed of a kind (0-5), made on first use; another kind raises
  // "Invalid log kind %d".
  virtual LogFile& getLogFile(int kind);
  // `kind` is 1 (anonymous FTP) or 2 (FTP); `isDownload` is true for a
  // "sent" entry, false for a "created" one.
  virtual void processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload) = 0;
  virtual void processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry) = 0;
  // Opens the feed of that kind on first use (LogFile::checkLogFile).
  virtual void prepareLogFile(int kind);

  // Writes one line to a feed: converted to the ANSI code page, with "\n"
  // added unless it already ends in one. Errors: see LogFile::flush.
  static void writeLineToLog(LogFile& file, std::wstring_view line);

  // Closes every feed, copying it into the logs directory (LogFile::close).
  void closeFeeds() noexcept;
  // Closes every feed, copying it into the logs directory under a scratch
  // name (LogFile::stage); adds what is to be put in place to `staged`.
  void stageFeeds(std::vector<CommitActions::StagedFile>& staged) noexcept;
  // Closes every feed and deletes it without copying.
  void discardFeeds() noexcept;
  // The same for the feed of one kind (0-5).
  void discardFeed(int kind) noexcept;

  std::wstring domainName;
  std::wstring logsDirectory;  // may be empty: the feed is then not kept
  std::wstring defaultDocument;

 protected:
  LogForAnalyser();
  // The open feed of a kind; opens it when the caller skipped prepareLogFile.
  LogFile& openLogFile(int kind);
  // Writes the line that build(out) appends to `out` (from the values of
  // `entry`) as writeLineToLog would write it; `build` is called with a
  // feed::AsciiLine, and once more with line_ (a std::wstring) when the line
  // is not all ASCII. Nothing of a line whose building raises is written.
  // With `fromNarrowedLine` the entry's line is narrowed first and its
  // values are copied from there (feed::NarrowedLine): the cheaper way for
  // a line of many short values.
  template <class Build>
  void writeBuiltLine(LogFile& file, const W3CRecord& entry, bool fromNarrowedLine, Build&& build);

  std::array<std::unique_ptr<LogFile>, 6> logFiles_;
  // Reused from line to line.
  std::wstring line_;
  feed::NarrowedLine entryBytes_;
  feed::FieldReader fields_;
};

// Common-log lines with a sort key for HTTP, xferlog lines for FTP.
class LogForWebalizer : public LogForAnalyser {
 public:
  void processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload) override;
  void processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry) override;
};

// The W3C fields behind a local date-time, for HTTP and FTP alike.
class LogForAWStats : public LogForAnalyser {
 public:
  void processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload) override;
  void processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry) override;

 private:
  feed::AWStatsClock clock_;
};

// The writers of a run, one per domain with an analyser. Destroying the
// registry drops the feeds that closeAll did not copy.
class AnalyserRegistry {
 public:
  explicit AnalyserRegistry(DomainModel& model) : model_(model) {}
  ~AnalyserRegistry();
  AnalyserRegistry(const AnalyserRegistry&) = delete;
  AnalyserRegistry& operator=(const AnalyserRegistry&) = delete;

  // The domain's writer, created on first use; nullptr when the domain's
  // webStatType is neither "awstats" nor "webalizer" (exact) or there is no
  // such domain. A new writer gets the domain's webLogsDirectory and its
  // reportedDefaultDocuments ("index.html" when none), which are also
  // copied into the domain's defaultDocuments for the executor's
  // configuration.
  LogForAnalyser* getAnalyserForDomain(const std::wstring& domainName);

  // Closes every feed and copies it into its logs directory. Run as a commit
  // action: a feed appears only once the figures of its lines are delivered.
  // A feed that cannot be copied is reported at Error and lost; its scratch
  // file is removed all the same. Never throws.
  void closeAll() noexcept;
  // Closes every feed and copies it into its logs directory under a scratch
  // name, for the run's commit to put in place with its figures
  // (CommitActions::addInstalls). A feed that cannot be copied is reported
  // at Error and lost, as with closeAll. Never throws.
  std::vector<CommitActions::StagedFile> stageAll() noexcept;
  // Closes every feed and deletes it without copying (a run that failed
  // before its results document was complete counts the lines again).
  void discardAll() noexcept;
  // Drops the lines of the given kinds fed for one domain this run (its
  // figures of those kinds are not delivered); nothing for a domain without
  // a writer.
  void discardFeeds(const std::wstring& domainName, std::initializer_list<int> kinds) noexcept;

  size_t size() const { return writers_.size(); }

 private:
  DomainModel& model_;
  std::map<std::wstring, std::unique_ptr<LogForAnalyser>> writers_;
  // The last writer handed out, since successive lines mostly belong to one
  // domain; a writer lives as long as the registry.
  std::wstring lastName_;
  LogForAnalyser* lastWriter_ = nullptr;
};
