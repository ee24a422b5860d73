#include "webstat/executor/executor.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/mutex.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

const wchar_t* groupLabel(FeedGroup group) { return group == FeedGroup::Web ? L"HTTP" : L"FTP"; }

std::wstring withoutTrailingSlash(std::wstring path) {
  while (path.size() > 1 && path.back() == L'/') path.pop_back();
  return path;
}

// The message and the contexts of the trace, which name the file concerned.
std::wstring describe(const vexception& e) {
  std::wstring out = e.message();
  for (const ExceptionLocation& at : e.trace())
    if (!at.context.empty() && out.find(at.context) == std::wstring::npos) out += L" (" + at.context + L")";
  return out;
}

std::wstring describeCurrent() {
  return describe(currentAsVexception(VLOC(L"", "WebStatExecutor")));
}

void print(FILE* stream, const std::wstring& text) {
  std::fputs(text::toAnsi(L"web-stat-executor: " + text + L"\n").c_str(), stream);
  std::fflush(stream);
}

// Deletes the merged input however the analysis ends.
class InputFile {
 public:
  explicit InputFile(std::wstring path) : path_(std::move(path)) {}
  ~InputFile() {
    try {
      vfs::forcedRemove(path_);
    } catch (...) {
    }
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// The configuration's default documents; when it names none (a run without
// entries for the domain), the last ones named before, which held when the
// pending feeds were written.
std::vector<std::wstring> defaultDocumentsFor(const WebStatExecutorConfig& config, const std::wstring& stateDirectory) {
  const std::wstring path = vfs::join(stateDirectory, L"default-docs");
  std::vector<std::wstring> documents = safeDefaultDocuments(config.defaultDocument);
  std::wstring joined;
  for (const std::wstring& doc : documents) joined += (joined.empty() ? L"" : L";") + doc;
  if (!documents.empty()) {
    if (!vfs::isRegularFile(path) || text::fromAnsi(vfs::readFile(path)) != joined) vfs::writeFile(path, text::toAnsi(joined));
    return documents;
  }
  if (vfs::isRegularFile(path)) documents = safeDefaultDocuments(text::fromAnsi(vfs::readFile(path)));
  return documents;
}

}  // namespace

void executorInfo(const std::wstring& text) { print(stdout, text); }
void executorWarning(const std::wstring& text) { print(stderr, L"Warning: " + text); }
void executorError(const std::wstring& text) { print(stderr, text); }

WebStatExecutor::WebStatExecutor(ExecutorOptions options) : options_(std::move(options)) {}

int WebStatExecutor::run() {
  std::vector<std::wstring> directories = options_.logsDirectories;
  int failures = 0;
  try {
    if (options_.all) {
      const std::vector<std::wstring> found = discoverLogsDirectories();
      directories.insert(directories.end(), found.begin(), found.end());
    }
    if (options_.stateRoot.empty()) options_.stateRoot = vfs::join(getProductSetting(L"PRODUCT_DATA_D"), L"web-stat-executor");
    vfs::createDirectories(options_.stateRoot, 0700);
  } catch (...) {
    executorError(describeCurrent());
    return 1;
  }
  for (const std::wstring& directory : directories)
    if (!processLogsDirectory(directory)) ++failures;
  return failures;
}

std::vector<std::wstring> WebStatExecutor::discoverLogsDirectories() const {
  const std::wstring vhosts = getProductSetting(L"HTTPD_VHOSTS_D");
  std::vector<std::wstring> found;
  for (const vfs::DirEntry& site : vfs::listDirectory(vhosts)) {
    if (site.type != vfs::EntryType::Directory) continue;
    const std::wstring logs = vfs::join(vfs::join(vhosts, site.name), L"logs");
    if (vfs::isDirectory(logs) && vfs::exists(vfs::join(logs, kWebStatExecutorConfigName))) found.push_back(logs);
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool WebStatExecutor::processLogsDirectory(const std::wstring& logsDirectory) {
  const std::wstring path = withoutTrailingSlash(logsDirectory);
  try {
    const vfs::Directory logs = vfs::Directory::open(path);
    const WebStatExecutorConfig config = checkedConfig(logs);
    if (config.webStatType != L"webalizer" && config.webStatType != L"awstats") {
      executorInfo(config.name + L": no analyser for the type '" + config.webStatType + L"', nothing to do");
      return true;
    }
    // Two executors on one domain would analyse its feeds twice.
    VMutex lock(L"Global\\HalvexWebStatExecutor_" + config.name);
    if (!lock.lock(0)) {
      executorInfo(config.name + L": another executor is analysing this domain, skipped");
      return true;
    }
    const std::wstring stateDirectory = vfs::join(options_.stateRoot, config.name);
    vfs::createDirectories(stateDirectory, 0700);
    const std::vector<std::wstring> documents = defaultDocumentsFor(config, stateDirectory);
    const bool web = processGroup(logs, config, documents, FeedGroup::Web);
    const bool ftp = processGroup(logs, config, documents, FeedGroup::Ftp);
    lock.unlock();
    return web && ftp;
  } catch (...) {
    executorError(path + L": " + describeCurrent());
    return false;
  }
}

WebStatExecutorConfig WebStatExecutor::checkedConfig(const vfs::Directory& logs) const {
  const WebStatExecutorConfig config = readWebStatExecutorConfig(logs);
  const std::wstring file = vfs::join(logs.path(), kWebStatExecutorConfigName);
  if (!isSafeHostName(config.name))
    throw vexception(L"The domain name '" + config.name + L"' in " + file + L" is not a host name", VLOC(L"", "WebStatExecutor::checkedConfig"));
  if (withoutTrailingSlash(config.logsDirectory) != logs.path())
    throw vexception(file + L" names the logs directory '" + config.logsDirectory + L"', not its own",
                     VLOC(L"", "WebStatExecutor::checkedConfig"));
  // The site's <domain>/logs, or a server's directory per domain (/var/log/nginx/<domain>).
  if (vfs::fileName(vfs::parentDirectory(logs.path())) != config.name && vfs::fileName(logs.path()) != config.name)
    throw vexception(L"The logs directory " + logs.path() + L" is not the one of domain " + config.name + L" named in " + file,
                     VLOC(L"", "WebStatExecutor::checkedConfig"));
  return config;
}

std::pair<std::wstring, std::vector<std::wstring>> WebStatExecutor::reportDirectory(const std::wstring& logsDirectory,
                                                                                     const std::wstring& domain, FeedGroup group) const {
  const std::wstring leaf = group == FeedGroup::Web ? L"webstat" : L"ftpstat";
  if (!options_.outputRoot.empty()) return {options_.outputRoot, {domain, leaf}};
  // The site directory is the panel's; what lies below it the tenant can change.
  return {vfs::parentDirectory(logsDirectory), {L"statistics", leaf}};
}

namespace {

// The failures of the feeds still pending, "<name> <count>" per line, in
// the domain's state directory.
class FailureCounts {
 public:
  explicit FailureCounts(std::wstring path) : path_(std::move(path)) {
    if (!vfs::isRegularFile(path_)) return;
    const std::wstring content = text::fromAnsi(vfs::readFile(path_));
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find(L'\n', start);
      if (end == std::wstring::npos) end = content.size();
      const std::wstring line = content.substr(start, end - start);
      const size_t blank = line.find(L' ');
      if (blank != std::wstring::npos) counts_[line.substr(0, blank)] = static_cast<int>(text::parseLeadingInt64(line.substr(blank + 1)));
      start = end + 1;
    }
  }
  int failed(const std::wstring& name) { return ++counts_[name]; }
  void forget(const std::wstring& name) { counts_.erase(name); }
  void save() const {
    std::wstring content;
    for (const auto& [name, count] : counts_) content += name + L" " + std::to_wstring(count) + L"\n";
    if (content.empty())
      vfs::forcedRemove(path_);
    else
      vfs::writeFile(path_, text::toAnsi(content));
  }

 private:
  std::wstring path_;
  std::map<std::wstring, int> counts_;
};

}  // namespace

WebStatExecutor::Outcome WebStatExecutor::analyseFeeds(const vfs::Directory& logs, const WebStatExecutorConfig& config, AnalysisJob& job,
                                                       const std::vector<std::wstring>& names, std::set<std::wstring>& warned,
                                                       size_t& lines) {
  const std::wstring label = config.name + L" " + groupLabel(job.group);
  // A failure names the feed; several together fail as a Warning, as each
  // is then analysed alone.
  auto report = [&](Outcome outcome) {
    if (names.size() == 1)
      executorError(label + L": " + vfs::join(logs.path(), names.front()) + L": " + describeCurrent());
    else
      executorWarning(vaformat(L"%s: the %d feeds %s to %s together: %s; each is analysed alone", label, static_cast<int>(names.size()),
                               vfs::join(logs.path(), names.front()), names.back(), describeCurrent()));
    return outcome;
  };
  try {
    MergedFeed merged(feedFormatFor(config.webStatType, job.group), job.group, config.name, job.stateDirectory);
    for (const std::wstring& name : names) {
      const FeedLineCounts counts = merged.add(logs, name);
      if (!warned.insert(name).second) continue;
      const std::wstring path = vfs::join(logs.path(), name);
      if (counts.unusable != 0)
        executorWarning(vaformat(L"%s: %d lines of %s have no usable time or not the layout of a feed line; left out", label,
                                 static_cast<int>(counts.unusable), path));
      if (counts.converted != 0)
        executorWarning(vaformat(L"%s: %d lines of %s were in the other analyser's format; converted for %s", label,
                                 static_cast<int>(counts.converted), path, config.webStatType));
    }
    if (merged.lineCount() != 0) {
      const InputFile input(vfs::join(job.stateDirectory, std::wstring(job.group == FeedGroup::Web ? L"web" : L"ftp") + L"-input.log"));
      merged.writeSortedTo(input.path());
      job.inputPath = input.path();
      runAnalyser(options_.programs, config.webStatType, job);
    }
    // Analysed: from here on the feeds must not be read again.
    for (const std::wstring& name : names) logs.unlink(name);
    job.months.insert(merged.months().begin(), merged.months().end());
    lines += merged.lineCount();
    return Outcome::Analysed;
  } catch (const AnalyserTimedOut&) {
    return report(Outcome::TimedOut);
  } catch (...) {
    return report(Outcome::Failed);
  }
}

bool WebStatExecutor::processGroup(const vfs::Directory& logs, const WebStatExecutorConfig& config,
                                   const std::vector<std::wstring>& defaultDocuments, FeedGroup group) {
  const std::wstring label = config.name + L" " + groupLabel(group);
  try {
    const FeedListing listing = listPendingFeeds(logs, group);
    for (const std::wstring& name : listing.ignored)
      executorError(label + L": " + vfs::join(logs.path(), name) + L" is not a regular file, skipped");
    const std::wstring stateDirectory = vfs::join(options_.stateRoot, config.name);
    // Reports analysed by an earlier pass that could not be published.
    const std::wstring unpublished = vfs::join(stateDirectory, std::wstring(L"unpublished-") + (group == FeedGroup::Web ? L"web" : L"ftp"));
    if (listing.feeds.empty() && !vfs::isRegularFile(unpublished)) return true;

    AnalysisJob job;
    job.domainName = config.name;
    job.group = group;
    job.stateDirectory = stateDirectory;
    job.defaultDocuments = defaultDocuments;
    for (const std::wstring& alias : config.aliases) {
      if (isSafeHostName(alias))
        job.aliases.push_back(alias);
      else
        executorError(label + L": alias '" + alias + L"' is not a host name, left out");
    }
    vfs::createDirectories(job.stateDirectory, 0700);
    FailureCounts failures(vfs::join(job.stateDirectory, std::wstring(L"failed-feeds-") + (group == FeedGroup::Web ? L"web" : L"ftp")));

    // Together first, in one time order; when that fails, each feed alone,
    // so that only the feeds that fail by themselves stay behind.
    std::set<std::wstring> warned;
    std::vector<std::wstring> analysed, failed, waiting;
    size_t lines = 0;
    const Outcome together = listing.feeds.empty() ? Outcome::Analysed : analyseFeeds(logs, config, job, listing.feeds, warned, lines);
    if (together == Outcome::Analysed) {
      analysed = listing.feeds;
    } else if (listing.feeds.size() == 1) {
      failed = listing.feeds;
    } else {
      bool stopped = false;
      for (const std::wstring& name : listing.feeds) {
        if (stopped) {
          waiting.push_back(name);
          continue;
        }
        const Outcome alone = analyseFeeds(logs, config, job, {name}, warned, lines);
        (alone == Outcome::Analysed ? analysed : failed).push_back(name);
        // A hanging analyser is not waited for once per feed.
        if (alone == Outcome::TimedOut) stopped = true;
      }
      if (!waiting.empty())
        executorError(vaformat(L"%s: the analyser timed out; %d feeds from %s on wait for the next pass", label,
                               static_cast<int>(waiting.size()), vfs::join(logs.path(), waiting.front())));
    }
    for (const std::wstring& name : analysed) failures.forget(name);
    for (const std::wstring& name : failed) {
      const int count = failures.failed(name);
      if (count < kFeedTries) continue;
      // Set aside under a name that is no feed's: kept for a look, never retried.
      const std::wstring path = vfs::join(logs.path(), name);
      try {
        logs.renameNoReplace(name, name + L".failed");
        failures.forget(name);
        executorError(vaformat(L"%s: %s failed in %d passes; set aside as %s.failed", label, path, count, path));
      } catch (...) {
        executorError(label + L": " + path + L" failed in " + std::to_wstring(count) + L" passes and cannot be set aside: " + describeCurrent());
      }
    }
    failures.save();

    bool published = true;
    if (lines != 0 || vfs::isRegularFile(unpublished)) {
      const auto [root, below] = reportDirectory(logs.path(), config.name, group);
      std::wstring target = root;
      for (const std::wstring& part : below) target = vfs::join(target, part);
      try {
        // The months of the pages to make, kept until they are published:
        // the history holds the lines now, whatever happens to the pages.
        if (vfs::isRegularFile(unpublished)) {
          const std::string kept = vfs::readFile(unpublished);
          std::istringstream in(kept);
          for (int month = 0; in >> month;) job.months.insert(month);
        }
        std::string months;
        for (int month : job.months) months += std::to_string(month) + "\n";
        vfs::writeFile(unpublished, months);
        const std::wstring pages = buildReports(options_.programs, config.webStatType, job);
        publishReports(pages, root, below);
        vfs::forcedRemove(unpublished);
        executorInfo(vaformat(L"%s: %d lines of %d feeds analysed by %s; reports in %s", label, static_cast<int>(lines),
                              static_cast<int>(analysed.size()), config.webStatType, target));
      } catch (...) {
        published = false;
        executorError(vaformat(L"%s: %d lines of %d feeds analysed by %s, but the reports cannot be published in %s: %s; the next pass publishes them",
                               label, static_cast<int>(lines), static_cast<int>(analysed.size()), config.webStatType, target, describeCurrent()));
      }
    }
    return failed.empty() && waiting.empty() && published;
  } catch (...) {
    executorError(label + L": " + describeCurrent());
    return false;
  }
}
