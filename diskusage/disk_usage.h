// A domain's disk usage: the sizes of its directories by category, its
// databases, mailboxes, backup dumps and Tomcat applications, the total that
// the configuration parameters include, and the record in the results.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "diskusage/backup_dumps.h"
#include "diskusage/database_sizes.h"
#include "diskusage/disk_usage_record.h"

class ResultsWriter;
struct DomainInfo;
struct DomainModel;

// Adds the top-level entries of a domain directory to their categories:
// "anon_ftp" -> anonftp, "logs" -> logs, "web_users" -> webusers (names
// matched ignoring case), anything else, plain files included, ->
// httpdocs. A directory counts with its recursive size, anything else with
// its own size; a link is never followed. A missing directory adds nothing
// and logs nothing; any other failure to list it is logged at Warning as
// "Unable to scan directory %s : %s" (the path joined with "*.*", the
// system's message) and adds nothing.
void scanDomainDirectory(const std::wstring& path, DomainDiskUsage& record);

// httpdocs + anonftp + webusers, plus each category whose parameter equals
// "true" exactly: include_mysql_databases, include_mssql_databases,
// include_logs, include_mailboxes, include_webapps, include_domaindumps.
// www_root never counts. Unsigned 64-bit arithmetic.
uint64_t totalDiskSpace(const DomainModel& model, const DomainDiskUsage& record);

// Logs the figures ("Results calculateDiskSpace for domain %s: ...") and
// "Save disk_usage results...", and writes the domain's "du" element.
void saveDiskSpace(ResultsWriter& results, const DomainModel& model, const DomainInfo& domain, const DomainDiskUsage& record);

// The disk usage of the domains of one run. It keeps what the run shares
// between domains: the MSSQL sizes per server, the dump repository and the
// decision about the administrator's dumps.
class DiskUsageCalculator {
 public:
  explicit DiskUsageCalculator(const DomainModel& model, std::shared_ptr<IMsSqlConnector> msSql = adoMsSqlConnector());

  // Logs "Calculate DiskSpace for %s..." and measures, in this order: the
  // domain directory <HTTPD_VHOSTS_D>/<name>, the document root (wwwRoot;
  // opened below HTTPD_VHOSTS_D without following links when it lies
  // there), the MySQL and MSSQL databases, the backup dumps, the Tomcat
  // applications, the mailboxes (skipped when "not_count_mail_disk_usage"
  // begins with "true", any case) and the ModSecurity logs
  // <PRODUCT_DATA_D>/ModSecurity/vhosts/<guid>/logs (none for a domain
  // without GUID). Failures (settings, a corrupt Tomcat provider) are raised
  // with the context "calculateDiskSpace domainName=%s" (function
  // statistics::calculateDiskSpace).
  DomainDiskUsage calculateDiskSpace(const DomainInfo& domain);

 private:
  void measure(const DomainInfo& domain, DomainDiskUsage& record);
  // Adds what the night's rotation will change in the domain's log
  // directories (the model's logsChangeByDirectory) to `logs`.
  void addRotationChanges(const std::wstring& domainDirectory, const std::wstring& modSecurity, DomainDiskUsage& record) const;

  // A product setting, read once for the whole step (a failed read is
  // tried again, and raises, at the next domain).
  const std::wstring& productSetting(const wchar_t* name);

  const DomainModel& model_;
  MsSqlSizes msSql_;
  BackupDumps dumps_;
  std::map<std::wstring, std::wstring> settings_;
};
