// web-stat-executor [--all] [--output=DIR] [--state-dir=DIR] [--webalizer=PATH]
//                   [--perl=PATH] [--awstats=PATH] [--awstats-pages=PATH] [--timeout=SECONDS]
//                   [LOGS_DIRECTORY...]
// Exit codes: 0 every domain went through, 1 one or more failed, 2 usage.
#include <cstdio>
#include <string>

#include "support/text.h"
#include "webstat/executor/executor.h"

namespace {

const char* kUsage =
    "usage: web-stat-executor [options] (--all | LOGS_DIRECTORY...)\n"
    "  --all                 every <HTTPD_VHOSTS_D>/*/logs holding web_stat_executor.conf\n"
    "  --output=DIR          reports in DIR/<domain>/webstat and ftpstat\n"
    "                        (default: <site>/statistics/webstat and ftpstat)\n"
    "  --state-dir=DIR       the analysers' own data (default <PRODUCT_DATA_D>/web-stat-executor)\n"
    "  --webalizer=PATH      the Webalizer program (/usr/bin/webalizer)\n"
    "  --perl=PATH           the Perl interpreter for AWStats (/usr/bin/perl)\n"
    "  --awstats=PATH        awstats.pl (/usr/lib/cgi-bin/awstats.pl)\n"
    "  --awstats-pages=PATH  awstats_buildstaticpages.pl (/usr/share/awstats/tools/...)\n"
    "  --timeout=SECONDS     an analyser run still going after this is stopped (3600)\n";

bool takeValue(const std::wstring& arg, const wchar_t* name, std::wstring& out) {
  const std::wstring prefix = std::wstring(name) + L"=";
  if (arg.rfind(prefix, 0) != 0) return false;
  out = arg.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  ExecutorOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = text::fromAnsi(argv[i]);
    std::wstring value;
    if (arg == L"--all") {
      options.all = true;
    } else if (arg == L"--help" || arg == L"-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (takeValue(arg, L"--output", options.outputRoot) || takeValue(arg, L"--state-dir", options.stateRoot) ||
               takeValue(arg, L"--webalizer", options.programs.webalizer) || takeValue(arg, L"--perl", options.programs.perl) ||
               takeValue(arg, L"--awstats", options.programs.awstats) ||
               takeValue(arg, L"--awstats-pages", options.programs.awstatsStaticPages)) {
    } else if (takeValue(arg, L"--timeout", value)) {
      const long long seconds = text::parseLeadingInt64(value);
      if (seconds <= 0 || seconds > 86400 || std::to_wstring(seconds) != value) {
        std::fprintf(stderr, "web-stat-executor: --timeout needs a number of seconds from 1 to 86400, not '%s'\n", text::toAnsi(value).c_str());
        return 2;
      }
      options.programs.timeoutSeconds = static_cast<unsigned>(seconds);
    } else if (arg.rfind(L"--", 0) == 0) {
      std::fprintf(stderr, "web-stat-executor: unknown option '%s'\n%s", argv[i], kUsage);
      return 2;
    } else {
      options.logsDirectories.push_back(arg);
    }
  }
  if (!options.all && options.logsDirectories.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return WebStatExecutor(std::move(options)).run() == 0 ? 0 : 1;
}
