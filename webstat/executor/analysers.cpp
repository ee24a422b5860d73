#include "webstat/executor/analysers.h"

#include <algorithm>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

constexpr const char* kFunction = "runAnalyser";

bool isNameChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
}

const wchar_t* groupName(FeedGroup group) { return group == FeedGroup::Web ? L"web" : L"ftp"; }

std::wstring joinNames(const std::vector<std::wstring>& names) {
  std::wstring out;
  for (const std::wstring& n : names) out += (out.empty() ? L"" : L" ") + n;
  return out;
}

process::RunResult runTimed(const AnalyserPrograms& programs, const std::wstring& program, const std::vector<std::wstring>& args,
                            const std::wstring& what, const std::wstring& workingDirectory = L"") {
  process::RunOptions options;
  options.timeoutSeconds = programs.timeoutSeconds;
  options.workingDirectory = workingDirectory;
  const process::RunResult result = process::run(program, args, options);
  if (result.timedOut)
    throw AnalyserTimedOut(vaformat(L"%s did not end within %u seconds and was stopped: %s", what, programs.timeoutSeconds,
                                    text::trim(text::fromAnsi(result.output))),
                           VLOC(L"", kFunction));
  return result;
}

// Runs a program; a non-zero exit code raises with its output.
void runChecked(const AnalyserPrograms& programs, const std::wstring& program, const std::vector<std::wstring>& args,
                const std::wstring& what) {
  const process::RunResult result = runTimed(programs, program, args, what);
  if (result.exitCode != 0)
    throw vexception(vaformat(L"%s ended with code %d: %s", what, result.exitCode, text::trim(text::fromAnsi(result.output))),
                     VLOC(L"", kFunction));
}

std::wstring webalizerOutput(const AnalysisJob& job) {
  return vfs::join(job.stateDirectory, std::wstring(L"webalizer-") + groupName(job.group));
}

void runWebalizer(const AnalyserPrograms& programs, const AnalysisJob& job) {
  const std::wstring output = webalizerOutput(job);
  vfs::createDirectories(output, 0700);
  // Read from the working directory instead of the system's configuration.
  const std::wstring confDirectory = output + L"-conf";
  vfs::createDirectories(confDirectory, 0700);
  std::wstring conf;
  conf += L"LogType " + std::wstring(job.group == FeedGroup::Web ? L"clf" : L"ftp") + L"\n";
  conf += L"OutputDir " + output + L"\n";
  conf += L"Incremental yes\n";
  conf += L"HostName " + job.domainName + L"\n";
  conf += L"PageType htm*\nPageType cgi\nPageType php*\nPageType pl\nPageType asp*\n";
  // The system configuration is not read, so its search engines are named here.
  conf += L"SearchEngine .google. q=\nSearchEngine bing.com q=\nSearchEngine yahoo.com p=\nSearchEngine duckduckgo.com q=\n"
          L"SearchEngine yandex. text=\nSearchEngine baidu.com wd=\nSearchEngine ask.com q=\n";
  conf += L"HideReferrer " + job.domainName + L"/\n";
  for (const std::wstring& alias : job.aliases) conf += L"HideReferrer " + alias + L"/\n";
  for (const std::wstring& doc : job.defaultDocuments) conf += L"IndexAlias " + doc + L"\n";
  vfs::writeFile(vfs::join(confDirectory, L"webalizer.conf"), text::toAnsi(conf));

  const process::RunResult result = runTimed(programs, programs.webalizer, {job.inputPath}, L"webalizer", confDirectory);
  // An input whose lines are all old or unreadable for Webalizer has been
  // read all the same: reading it again would change nothing.
  if (result.exitCode == 1 && result.output.find("No valid records found") != std::string::npos) return;
  if (result.exitCode != 0)
    throw vexception(vaformat(L"webalizer ended with code %d: %s", result.exitCode, text::trim(text::fromAnsi(result.output))),
                     VLOC(L"", kFunction));
}

std::wstring awstatsLogFormat(FeedGroup group) {
  // Columns 2-21 of the W3C field list behind %time2; FTP feeds have no
  // user agent. The feed is the domain's own, so no column is the virtual
  // host: an FTP line's cs-host names the server, and AWStats would drop
  // every line whose virtual host is not the site.
  if (group == FeedGroup::Web)
    return L"%time2 %other %other %other %method %url %query %other %logname %host %other %ua %other %referer %other "
           L"%code %other %other %bytesd %other %other";
  return L"%time2 %other %other %other %method %url %query %other %logname %host %other %other %other %referer "
         L"%other %code %other %other %bytesd %other %other";
}

std::wstring awstatsConfigName(const AnalysisJob& job) { return job.domainName + (job.group == FeedGroup::Web ? L"" : L"-ftp"); }
std::wstring awstatsConfigDir(const AnalysisJob& job) { return vfs::join(job.stateDirectory, L"awstats-conf"); }

// Variables with which AWStats takes another configuration than the one
// named, or its arguments from a CGI request.
void clearAWStatsEnvironment() {
  for (const wchar_t* name : {L"AWSTATS_CONFIG", L"AWSTATS_FORCE_CONFIG", L"GATEWAY_INTERFACE", L"QUERY_STRING", L"CONTENT_LENGTH",
                              L"SERVER_NAME", L"AWSTATS_ENABLE_CONFIG_DIR"})
    process::unsetEnv(name);
}

void runAWStats(const AnalyserPrograms& programs, const AnalysisJob& job) {
  clearAWStatsEnvironment();
  const std::wstring configName = awstatsConfigName(job);
  const std::wstring configDir = awstatsConfigDir(job);
  const std::wstring dataDir = vfs::join(job.stateDirectory, L"awstats-data");
  vfs::createDirectories(configDir, 0700);
  vfs::createDirectories(dataDir, 0700);

  std::wstring conf;
  conf += L"LogFile=\"" + job.inputPath + L"\"\n";
  conf += std::wstring(L"LogType=") + (job.group == FeedGroup::Web ? L"W" : L"F") + L"\n";
  conf += L"LogFormat=\"" + awstatsLogFormat(job.group) + L"\"\n";
  conf += L"LogSeparator=\" \"\n";
  conf += L"SiteDomain=\"" + job.domainName + L"\"\n";
  conf += L"HostAliases=\"" + joinNames(job.aliases) + L"\"\n";
  conf += L"DirData=\"" + dataDir + L"\"\n";
  conf += L"DirIcons=\"/awstats-icon\"\n";
  conf += L"DNSLookup=0\n";
  if (!job.defaultDocuments.empty()) conf += L"DefaultFile=\"" + joinNames(job.defaultDocuments) + L"\"\n";
  conf += L"AllowToUpdateStatsFromBrowser=0\n";
  conf += L"SaveDatabaseFilesWithPermissionsForEveryone=0\n";
  conf += L"PurgeLogFile=0\n";
  vfs::writeFile(vfs::join(configDir, L"awstats." + configName + L".conf"), text::toAnsi(conf));

  runChecked(programs, programs.perl, {programs.awstats, L"-config=" + configName, L"-configdir=" + configDir, L"-update"}, L"awstats");
}

std::wstring buildAWStatsPages(const AnalyserPrograms& programs, const AnalysisJob& job) {
  clearAWStatsEnvironment();
  const std::wstring configName = awstatsConfigName(job);
  const std::wstring configDir = awstatsConfigDir(job);
  const std::wstring pagesDir = vfs::join(job.stateDirectory, std::wstring(L"awstats-") + groupName(job.group));
  vfs::createDirectories(pagesDir, 0700);
  // One page set per month the input touched, each in its own directory.
  for (int month : job.months) {
    const std::wstring year = std::to_wstring(month / 100);
    const std::wstring mm = vaformat(L"%02d", month % 100);
    const std::wstring monthDir = vfs::join(pagesDir, year + L"-" + mm);
    vfs::createDirectories(monthDir, 0700);
    runChecked(programs, programs.perl,
               {programs.awstatsStaticPages, L"-config=" + configName, L"-configdir=" + configDir,
                L"-awstatsprog=" + programs.awstats, L"-dir=" + monthDir, L"-month=" + mm, L"-year=" + year},
               L"awstats_buildstaticpages");
  }
  return pagesDir;
}

bool isReportFile(const std::wstring& name) {
  const std::wstring ext = text::lowerAscii(vfs::extension(name));
  return ext == L".html" || ext == L".htm" || ext == L".png" || ext == L".gif" || ext == L".jpg" || ext == L".css";
}

}  // namespace

bool isSafeHostName(const std::wstring& name, bool allowWildcard) {
  if (name.empty() || name.size() > 253 || name.front() == L'.' || name.back() == L'.' || name.find(L"..") != std::wstring::npos)
    return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (isNameChar(c) || c == L'.') continue;
    if (allowWildcard && c == L'*' && i == 0) continue;
    return false;
  }
  return true;
}

std::vector<std::wstring> safeDefaultDocuments(const std::wstring& textValue) {
  std::vector<std::wstring> docs;
  std::wstring current;
  auto flush = [&] {
    const bool plain = !current.empty() && current != L"." && current != L".." &&
                       std::all_of(current.begin(), current.end(), [](wchar_t c) { return isNameChar(c) || c == L'.' || c == L'~' || c == L'+'; });
    if (plain) docs.push_back(current);
    current.clear();
  };
  for (wchar_t c : textValue) {
    if (c == L';' || c == L',' || c == L' ' || c == L'\t')
      flush();
    else
      current += c;
  }
  flush();
  return docs;
}

FeedFormat feedFormatFor(const std::wstring& webStatType, FeedGroup group) {
  if (webStatType == L"awstats") return FeedFormat::AWStats;
  return group == FeedGroup::Web ? FeedFormat::WebalizerHttp : FeedFormat::WebalizerFtp;
}

void runAnalyser(const AnalyserPrograms& programs, const std::wstring& webStatType, const AnalysisJob& job) {
  if (webStatType == L"webalizer") return runWebalizer(programs, job);
  if (webStatType == L"awstats") return runAWStats(programs, job);
  throw vexception(L"Unknown analyser '" + webStatType + L"'", VLOC(L"", kFunction));
}

std::wstring buildReports(const AnalyserPrograms& programs, const std::wstring& webStatType, const AnalysisJob& job) {
  if (webStatType == L"webalizer") return webalizerOutput(job);
  if (webStatType == L"awstats") return buildAWStatsPages(programs, job);
  throw vexception(L"Unknown analyser '" + webStatType + L"'", VLOC(L"", kFunction));
}

void publishReports(const std::wstring& from, const std::wstring& root, const std::vector<std::wstring>& path) {
  std::wstring full = root;
  for (const std::wstring& part : path) full = vfs::join(full, part);
  vfs::createDirectories(full, 0755);
  // Created above by path; opened again step by step, so a component swapped
  // for a link meanwhile is refused rather than followed.
  vfs::Directory target = vfs::Directory::open(root);
  for (const std::wstring& part : path) target = target.openSubdirectory(part);

  for (const vfs::DirEntry& e : vfs::listDirectory(from)) {
    const std::wstring source = vfs::join(from, e.name);
    if (e.type == vfs::EntryType::Directory) {
      std::vector<std::wstring> below = path;
      below.push_back(e.name);
      publishReports(source, root, below);
    } else if (e.type == vfs::EntryType::File && isReportFile(e.name)) {
      target.writeFileAtomically(e.name, vfs::readFile(source));
    }
  }
}
