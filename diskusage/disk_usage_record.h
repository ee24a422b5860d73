// The disk usage record of one domain: its bytes by category.
#pragma once

#include <cstdint>

struct DomainDiskUsage {
  uint64_t httpdocs = 0;      // top-level entries of the domain directory not named below
  uint64_t anonftp = 0;       // the top-level "anon_ftp"
  uint64_t logs = 0;          // the top-level "logs" and the domain's ModSecurity logs
  uint64_t mysql_dbases = 0;  // the domain's MySQL databases
  uint64_t mssql_dbases = 0;  // the domain's MSSQL databases
  uint64_t mailboxes = 0;     // the domain's mailboxes
  uint64_t webapps = 0;       // the domain's Tomcat web applications
  uint64_t webusers = 0;      // the top-level "web_users"
  uint64_t domaindumps = 0;   // the domain's backup dumps
  uint64_t www_root = 0;      // the domain's document root (never in the total)
};
