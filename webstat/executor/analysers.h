// Running Webalizer and AWStats over a domain's merged feed.
//
// The analysers run as root, so they never write into a tenant's directory:
// their state, configuration and reports stay in the executor's own state
// directory, and the reports are then published into the domain's
// statistics directory by the link-safe file layer.
//
// Only the configuration the executor writes applies: Webalizer reads
// "webalizer.conf" from its working directory when there is one (else
// /etc/webalizer/webalizer.conf, whose IgnoreSite and HideURL lines would
// drop real lines), so it runs in a directory of ours holding that file;
// AWStats reads only the -configdir it is given, and the variables that
// would make it pick another configuration or act as a CGI are removed.
// Every analyser run has a time-out: a hung analyser is killed with the
// programs it started, and the feeds stay.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "webstat/executor/pending_feeds.h"

struct AnalyserPrograms {
  std::wstring webalizer = L"/usr/bin/webalizer";
  std::wstring perl = L"/usr/bin/perl";
  std::wstring awstats = L"/usr/lib/cgi-bin/awstats.pl";
  std::wstring awstatsStaticPages = L"/usr/share/awstats/tools/awstats_buildstaticpages.pl";
  unsigned timeoutSeconds = 3600;  // per analyser run
};

// An analyser run that did not end within the time-out.
class AnalyserTimedOut : public vexception {
 public:
  using vexception::vexception;
};

// What one analysis needs. Every text that reaches an analyser's
// configuration has been checked by the functions below.
struct AnalysisJob {
  std::wstring domainName;
  std::vector<std::wstring> aliases;
  std::vector<std::wstring> defaultDocuments;
  FeedGroup group = FeedGroup::Web;
  std::wstring stateDirectory;  // the domain's, the executor's own (0700)
  std::wstring inputPath;       // the merged, sorted feed
  std::set<int> months;         // YYYYMM of the input's lines
};

// A domain or alias name an analyser's configuration may carry: letters,
// digits, ".", "-", "_" (and "*" for an alias), no empty label, no "..".
bool isSafeHostName(const std::wstring& name, bool allowWildcard = false);
// The default documents of a "default_doc" text (separated by ";", "," or
// blanks) that are plain file names; the others are dropped.
std::vector<std::wstring> safeDefaultDocuments(const std::wstring& text);

// The line format the group's feed has for the analyser type.
FeedFormat feedFormatFor(const std::wstring& webStatType, FeedGroup group);

// Runs the analyser named by the type ("webalizer" or "awstats") over the
// job's input, adding it to the analyser's history. Raises when the analyser
// cannot be started or ends with a non-zero code, with its output in the
// text, and with AnalyserTimedOut when it was stopped at the time-out; the
// history is then as before (both analysers write it last).
void runAnalyser(const AnalyserPrograms& programs, const std::wstring& webStatType, const AnalysisJob& job);

// Makes the report pages of the job's months once the history holds them
// (Webalizer made them while analysing; AWStats builds static pages) and
// returns the directory, in the state directory, that holds them. Raises
// as runAnalyser.
std::wstring buildReports(const AnalyserPrograms& programs, const std::wstring& webStatType, const AnalysisJob& job);

// Copies the report files (HTML and images, and subdirectories of them)
// from `from` into the directory `root` + `path` (components below root,
// created when missing). The target is reached from `root` one component at a
// time without following a link, and each file is written as a new exclusive
// file renamed over its name, so a tenant's link is never followed; the files
// belong to the directory's owner. Raises on the first failure.
void publishReports(const std::wstring& from, const std::wstring& root, const std::vector<std::wstring>& path);
