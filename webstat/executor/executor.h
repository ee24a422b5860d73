// web-stat-executor: runs Webalizer or AWStats over the feeds that the
// statistics run left in the domains' logs directories.
//
// For a logs directory it reads "web_stat_executor.conf", takes the feeds
// not analysed yet, merges each group (HTTP; anonymous and other FTP) into one
// time-ordered input, runs the domain's analyser, then removes the feeds it
// analysed and publishes the reports. A feed is removed only after its
// analyser succeeded, so a failing analyser leaves every feed for the next
// pass, and a removed feed is never read twice.
//
// One bad feed never holds back the others: when the analysis of a group's
// feeds together fails, each feed is analysed on its own, oldest first, and
// only the feeds that fail alone stay. Their failures are counted in the
// state directory; a feed that has failed kFeedTries passes is set aside as
// "<feed>.failed" in the logs directory (no longer a feed name) with an
// Error, so it is neither deleted unread nor tried for ever. An analyser run
// that does not end within the time-out is stopped (with what it started);
// a feed whose run timed out counts as failed, and the feeds after it wait
// for the next pass, so a hanging analyser costs at most two time-outs per
// group and pass. Unusable lines
// and lines of the other analyser's format are dealt with by the merge
// (pending_feeds.h), each feed's count of them reported in one Warning.
//
// The default documents are those of the configuration; a run without
// entries for the domain writes none, and then the last ones the executor
// saw (kept in the state directory) apply to the feeds still pending.
// Reports that could not be published (say the statistics directory is a
// link) stay in the state directory and are published by the next pass.
//
// Places:
// - state (the analysers' history, configuration, pages before publishing):
//   <state root>/<domain>, the executor's own (created 0700);
// - reports: <site>/statistics/webstat (HTTP) and <site>/statistics/ftpstat
//   (FTP), where <site> is the logs directory's parent, or
//   <output root>/<domain>/webstat and .../ftpstat with --output.
//
// The configuration file lies in a directory the tenant can write, so it is
// checked before anything is run: its logs_directory must be the directory
// being processed, whose parent is named after the domain (the layout the
// web host utility reports), and names reach an analyser's configuration
// only when they are plain host or file names.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "webstat/executor/analysers.h"
#include "webstat/executor_config.h"

// Passes a feed may fail before it is set aside.
inline constexpr int kFeedTries = 3;

struct ExecutorOptions {
  bool all = false;                          // every <HTTPD_VHOSTS_D>/*/logs
  std::vector<std::wstring> logsDirectories;
  std::wstring outputRoot;                   // empty: beside the logs directory
  std::wstring stateRoot;                    // empty: <PRODUCT_DATA_D>/web-stat-executor
  AnalyserPrograms programs;
};

class WebStatExecutor {
 public:
  explicit WebStatExecutor(ExecutorOptions options);

  // Processes every directory the options name; a failing domain is reported
  // and the others go on. Returns the number of domains that failed.
  int run();

  // One logs directory; returns false (after printing why) when it failed.
  bool processLogsDirectory(const std::wstring& logsDirectory);

 private:
  enum class Outcome { Analysed, Failed, TimedOut };
  // One group of feeds; returns false when it failed (its feeds stay).
  bool processGroup(const vfs::Directory& logs, const WebStatExecutorConfig& config, const std::vector<std::wstring>& defaultDocuments,
                    FeedGroup group);
  // Merges the feeds and runs the analyser over them; Analysed when the
  // feeds are analysed (and removed). Failures are printed, not raised.
  Outcome analyseFeeds(const vfs::Directory& logs, const WebStatExecutorConfig& config, AnalysisJob& job,
                    const std::vector<std::wstring>& names, std::set<std::wstring>& warned, size_t& lines);
  WebStatExecutorConfig checkedConfig(const vfs::Directory& logs) const;
  // Where a group's reports go: a root the executor trusts and the
  // components below it.
  std::pair<std::wstring, std::vector<std::wstring>> reportDirectory(const std::wstring& logsDirectory, const std::wstring& domain,
                                                                      FeedGroup group) const;
  std::vector<std::wstring> discoverLogsDirectories() const;

  ExecutorOptions options_;
};

// Messages go to standard output (progress) and standard error (failures),
// each line prefixed with the program name.
void executorInfo(const std::wstring& text);
void executorWarning(const std::wstring& text);  // "Warning: " + text
void executorError(const std::wstring& text);
