#include "diskusage/disk_usage.h"

#include <algorithm>

#include "app/results_writer.h"
#include "config/domain.h"
#include "diskusage/directory_size.h"
#include "diskusage/tomcat.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

constexpr uint32_t kDirectoryNameInvalid = 267;

uint64_t* categoryOf(const std::wstring& name, DomainDiskUsage& record) {
  if (text::equalsIgnoreCase(name, L"anon_ftp")) return &record.anonftp;
  if (text::equalsIgnoreCase(name, L"logs")) return &record.logs;
  if (text::equalsIgnoreCase(name, L"web_users")) return &record.webusers;
  return &record.httpdocs;
}


}  // namespace

void scanDomainDirectory(const std::wstring& path, DomainDiskUsage& record) {
  std::optional<vfs::Directory> directory;
  std::vector<vfs::DirEntry> entries;
  try {
    directory = vfs::Directory::open(path);
    entries = directory->list();
  } catch (const vosexception& e) {
    uint32_t code = e.code();
    if (code == winerr::FileNotFound || code == winerr::PathNotFound) {
      // Something that is no directory in its place is not a missing directory.
      if (!vfs::exists(path)) return;
      code = kDirectoryNameInvalid;
    }
    logMessage(LogLevel::Warning, L"Unable to scan directory %s : %s", vfs::join(path, L"*.*"), systemErrorMessage(code));
    return;
  }
  // The listing never holds "." and "..", which the name table would skip.
  for (const vfs::DirEntry& entry : entries) {
    uint64_t size = entry.size;
    if (entry.type == vfs::EntryType::Directory) {
      try {
        size = directorySize(directory->openSubdirectory(entry.name));
      } catch (...) {
        size = 0;  // gone or replaced since the listing: as an unreadable subdirectory
      }
    }
    *categoryOf(entry.name, record) += size;
  }
}

uint64_t totalDiskSpace(const DomainModel& model, const DomainDiskUsage& r) {
  auto included = [&](const wchar_t* name) { return model.param(name) == L"true"; };
  uint64_t total = r.httpdocs + r.anonftp + r.webusers;
  if (included(L"include_mysql_databases")) total += r.mysql_dbases;
  if (included(L"include_mssql_databases")) total += r.mssql_dbases;
  if (included(L"include_logs")) total += r.logs;
  if (included(L"include_mailboxes")) total += r.mailboxes;
  if (included(L"include_webapps")) total += r.webapps;
  if (included(L"include_domaindumps")) total += r.domaindumps;
  return total;
}

void saveDiskSpace(ResultsWriter& results, const DomainModel& model, const DomainInfo& domain, const DomainDiskUsage& r) {
  logMessage(LogLevel::Info,
             L"Results calculateDiskSpace for domain %s: httpdocs=%I64d, anonftp=%I64d, logs=%I64d, mysql_dbases=%I64d, mssql_dbases=%I64d, "
             L"mailboxes=%I64d, webapps=%I64d, webusers=%I64d, www_root=%I64d",
             domain.name, r.httpdocs, r.anonftp, r.logs, r.mysql_dbases, r.mssql_dbases, r.mailboxes, r.webapps, r.webusers, r.www_root);
  const uint64_t total = totalDiskSpace(model, r);
  logMessage(LogLevel::Info, L"Save disk_usage results...");
  results.writeDiskUsage(domain, r.httpdocs, r.anonftp, r.logs, r.mysql_dbases, r.mssql_dbases, r.mailboxes, r.webapps, r.domaindumps, r.webusers,
                         r.www_root, total);
}

DiskUsageCalculator::DiskUsageCalculator(const DomainModel& model, std::shared_ptr<IMsSqlConnector> msSql)
    : model_(model), msSql_(std::move(msSql)) {}

DomainDiskUsage DiskUsageCalculator::calculateDiskSpace(const DomainInfo& domain) {
  DomainDiskUsage record;
  rethrowing([&] { return VLOC(vaformat(L"calculateDiskSpace domainName=%s", domain.name), "statistics::calculateDiskSpace"); },
             [&] { measure(domain, record); });
  return record;
}

void DiskUsageCalculator::measure(const DomainInfo& domain, DomainDiskUsage& record) {
  logMessage(LogLevel::Info, L"Calculate DiskSpace for %s...", domain.name);
  const std::wstring& vhosts = productSetting(L"HTTPD_VHOSTS_D");
  // A name that is no single path component names no directory of its own.
  if (vfs::isPathComponent(domain.name)) scanDomainDirectory(vfs::join(vhosts, domain.name), record);
  if (!domain.wwwRoot.empty()) record.www_root += directorySizeBelow(vhosts, domain.wwwRoot);
  calculateMySqlDatabases(domain, record);
  msSql_.calculateMsSqlDatabases(domain, record);
  dumps_.calculateBackupDumpSize(model_, domain, record);
  calculateTomcatDiskSpace(domain, record);
  if (!text::startsWithTrue(model_.param(L"not_count_mail_disk_usage")))
    for (const auto& [mailbox, bytes] : domain.mailboxUsage) record.mailboxes += bytes;
  // Without a GUID the domain has no ModSecurity directory of its own.
  std::wstring modSecurity;
  if (vfs::isPathComponent(domain.guid)) {
    modSecurity = vfs::join(productSetting(L"PRODUCT_DATA_D"), L"ModSecurity/vhosts/" + domain.guid + L"/logs");
    record.logs += directorySize(modSecurity);
  }
  addRotationChanges(vfs::join(vhosts, domain.name), modSecurity, record);
}

const std::wstring& DiskUsageCalculator::productSetting(const wchar_t* name) {
  const auto found = settings_.find(name);
  if (found != settings_.end()) return found->second;
  return settings_.emplace(name, getProductSetting(name)).first->second;
}

void DiskUsageCalculator::addRotationChanges(const std::wstring& domainDirectory, const std::wstring& modSecurity, DomainDiskUsage& record) const {
  // The night's rotation compresses and drops logs only once the figures are
  // delivered, after this measure: the log directories count as it will
  // leave them.
  const std::wstring below = domainDirectory + L"/";
  int64_t change = 0;
  for (const auto& [directory, bytes] : model_.logsChangeByDirectory) {
    const bool inLogs = directory.starts_with(below) &&
                        text::equalsIgnoreCase(std::wstring_view(directory).substr(below.size(), directory.find(L'/', below.size()) - below.size()), L"logs");
    if (inLogs || (!modSecurity.empty() && directory == modSecurity)) change += bytes;
  }
  if (change >= 0)
    record.logs += static_cast<uint64_t>(change);
  else
    record.logs -= std::min(record.logs, static_cast<uint64_t>(-change));
}
