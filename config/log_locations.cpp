#include "config/log_locations.h"

#include <libxml/tree.h>

#include <mutex>

#include "app/params.h"
#include "config/xml.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/cmdline.h"
#include "support/utilrunner.h"

namespace {

std::wstring productDirectory(const wchar_t* name) {
  try {
    return getProductSetting(name);
  } catch (...) {
    return std::wstring();  // an unset directory makes the joined paths simply not exist
  }
}

}  // namespace

void getWebDomainLogs(DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap) {
  std::wstring names;
  for (const auto& [id, domain] : model.domainsById) {
    if (!domain->hosting) continue;
    if (!names.empty()) names += L";";
    names += domain->name;
  }
  if (names.empty()) return;

  const bool httpRequested = (modeFlags & (HttpTraffic | HttpWebStatistics)) != 0;
  guarded(LogLevel::Error, VLOC(L"Unable to get log directory and default documents for domains", "statistics::getWebDomainLogs"), [&] {
    TemporaryFile request;
    request.write(text::toAnsi(names));
    std::wstring answer;
    execHalvexUtil(L"webhostctl", L"--get-vhosts-statistics-info " + quoteArgument(L"--config=" + request.path()), &answer);
    XmlDocument doc = vxmlLoadXML(answer);

    const std::wstring modSecurityRoot = vfs::join(productDirectory(L"PRODUCT_DATA_D"), L"ModSecurity/vhosts");
    const std::wstring vhostsRoot = productDirectory(L"HTTPD_VHOSTS_D");
    for (xmlNode* node = doc.root() ? doc.root()->children : nullptr; node; node = node->next) {
      if (!isElement(node, "domain")) continue;
      const std::wstring name = getAttribute(node, "name");
      const std::wstring logsDir = getAttribute(node, "logsDir");
      model.webLogDirectories[name] = logsDir;
      if (!httpRequested) continue;
      model.defaultDocumentsByDomain[name] = getAttribute(node, "defaultDocs");
      DomainInfo* domain = model.findDomainByName(name);
      if (logsDir.empty() || !vfs::isDirectory(logsDir) || !domain) continue;
      domain->logDirectories.push_back(logsDir);
      logDirectoryMap[logsDir] = LogDirectory{LogHttp, name, domain};
      const std::wstring modSecurity = vfs::join(vfs::join(modSecurityRoot, domain->guid), L"logs");
      if (vfs::isDirectory(modSecurity)) domain->logDirectories.push_back(modSecurity);
      const std::wstring phpErrors = vfs::join(vfs::join(vfs::join(vhostsRoot, domain->webspaceName), L"logs/php_errors"), domain->name);
      if (vfs::isDirectory(phpErrors)) domain->logDirectories.push_back(phpErrors);
      logMessage(LogLevel::Info, L"Log dir %s ordered to proceess", name);
    }
  });
}

void getFtpLogDirectories(const DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap) {
  if (!(modeFlags & (FtpTraffic | FtpWebStatistics))) return;
  for (const std::wstring& address : model.ftpServerAddresses) {
    const std::wstring dir = getFtpLogDirectory(address);
    if (!dir.empty() && vfs::isDirectory(dir)) logDirectoryMap[dir] = LogDirectory{LogFtp, address, nullptr};
  }
}

std::wstring getFtpLogDirectory(const std::wstring& ipAddress) {
  static std::map<std::wstring, std::wstring> cache;
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(ipAddress);
  if (it != cache.end()) return it->second;
  std::wstring answer;
  if (!guarded(LogLevel::Error, [&] { return VLOC(vaformat(L"getFtpLogDirectory for ip = %s", ipAddress), "getFtpLogDirectory"); },
               [&] { execHalvexUtil(L"ftphostctl", L"--get-log-directory --ip-address=" + ipAddress, &answer); }))
    answer.clear();
  cache[ipAddress] = answer;
  return answer;
}
