#include "app/params.h"

#include <cstdio>

#include "support/exceptions.h"

namespace {

const wchar_t* const kAllowed[] = {
    L"-h",
    L"--help",
    L"--disk-usage",
    L"--http-traffic",
    L"--ftp-traffic",
    L"--mail-traffic",
    L"--notify",
    L"--update-actions",
    L"--all",
    L"--http-web-statistics",
    L"--ftp-web-statistics",
    L"--mailbox-usage",
    L"--antivirus",
    L"--process-domains",
    L"--process-domain-mask",
    L"--skip-domains",
    L"--skip-domain-mask",
    L"--single-notify",
    L"--from-date",
    L"--verbose",
    L"--config",
    L"--save-results-to",
};

struct FlagOption {
  const wchar_t* name;
  uint32_t flag;
};
const FlagOption kFlagOptions[] = {
    {L"--disk-usage", DiskUsage},       {L"--http-traffic", HttpTraffic},
    {L"--ftp-traffic", FtpTraffic},     {L"--mail-traffic", MailTraffic},
    {L"--notify", Notify},              {L"--update-actions", UpdateActions},
    {L"--http-web-statistics", HttpWebStatistics}, {L"--ftp-web-statistics", FtpWebStatistics},
    {L"--mailbox-usage", MailboxUsage}, {L"--antivirus", Antivirus},
};

}  // namespace

const char* const kUsageText =
    "* Main options: \n"
    "  --disk-usage \n"
    "      Calculates disk usage \n"
    "  --mailbox-usage \n"
    "      Calculates mailbox usage \n"
    "  --http-traffic \n"
    "      Calculates HTTP traffic \n"
    "  --http-web-statistics \n"
    "      Updates HTTP traffic web statistics (for internal use only) \n"
    "  --ftp-traffic \n"
    "      Calculates FTP traffic \n"
    "  --ftp-web-statistics \n"
    "      Updates FTP traffic web statistics (for internal use only) \n"
    "  --mail-traffic \n"
    "      Calculates mail traffic. You cannot specify domains for this option. \n"
    "  --notify \n"
    "      Updates client traffic statistics and sends expiration notification. \n"
    "  --update-actions \n"
    "      Rotates action log and launches event actions. \n"
    "  --all \n"
    "      Launches all commands above except those that are for internal use only \n"
    "  --antivirus \n"
    "      Calculates spam and antivirus statistics \n"
    "It is possible to use these options together. When no options are specified, \n"
    "the utility will run as if --all option was specified. \n"
    "* Additional options \n"
    "  --process-domains \n"
    "      Processes only specified domains \n"
    "  --process-domain-mask \n"
    "      Processes only the domains that correspond to the specified mask. \n"
    "      Note: the mask uses SQL 'LIKE' clause. \n"
    "  --skip-domains \n"
    "      Does not process specified domains \n"
    "  --skip-domain-mask \n"
    "      Does not process domains that correspond to the specified mask. \n"
    "      Note: the mask uses SQL 'LIKE' clause. \n"
    "  --single-notify \n"
    "      Sends only one domain expiration notification \n"
    "  --from-date \n"
    "      Forces calculation start time. YMDhms format is used, for example, \n"
    "      2007/04/06 18:02:32 (for internal use only). \n"
    "  --verbose \n"
    "      Specifies that a utility should be run in the verbose mode in \n"
    "      which more information is added to the statistics report.\n";

Params::Params(int argc, const wchar_t* const* argv) {
  for (int i = 0; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const size_t eq = arg.find(L'=');
    if (eq == std::wstring::npos)
      values_[arg] = L"";
    else
      values_[arg.substr(0, eq)] = arg.substr(eq + 1);
  }
}

void Params::check() const {
  for (const auto& [name, value] : values_) {
    if (name == L"--internal-package-name") continue;
    bool allowed = false;
    for (const wchar_t* a : kAllowed) allowed = allowed || name == a;
    if (allowed) continue;
    std::wstring list;
    for (const wchar_t* a : kAllowed) {
      if (!list.empty()) list += L"\n";
      list += L"    [";
      list += a;
      list += L"]";
    }
    throw vexception(L"Unexpected parameter " + name + L". Possible parameters:\n" + list, VLOC(L"", "Params::check"));
  }
}

bool Params::has(const std::wstring& name) const { return values_.count(name) != 0; }

std::wstring Params::get(const std::wstring& name, bool required, const std::wstring& defaultValue) const {
  auto it = values_.find(name);
  if (it != values_.end()) return it->second;
  if (required) reportMissingParameter(name);
  return defaultValue;
}

void Params::reportMissingParameter(const std::wstring& name) {
  throw vexception(L"Missing required parameter " + name + L". ", VLOC(L"", "Params::reportMissingParameter"));
}

uint32_t getModeFlags(const Params& params) {
  if (params.has(L"-h") || params.has(L"--help")) {
    std::fputs(kUsageText, stdout);
    std::fflush(stdout);
    return ShowHelp;
  }
  uint32_t flags = 0;
  for (const FlagOption& o : kFlagOptions)
    if (params.has(o.name)) flags |= o.flag;
  if (flags == 0 || params.has(L"--all")) return AllModes;
  return flags;
}
