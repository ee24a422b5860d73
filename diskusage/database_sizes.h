// The sizes of the domains' MySQL and MSSQL databases. MySQL databases are
// sized one by one from their table status over a fresh connection per
// server and domain; each MSSQL server is asked once per run for the sizes
// of all its databases ("exec sp_databases"), which are kept for every
// domain that uses the server.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "diskusage/disk_usage_record.h"

class IADORecordSet;
struct DatabaseServer;
struct DomainInfo;

// Logs "Calculate MySQL database usage for %s..." and adds the Data_length
// and Index_length of every table of each of the domain's MySQL databases
// to `mysql_dbases` (NULL counts 0). A database that fails is logged at
// Warning ("Sizeof MySQL database '%s'"), a server that fails at Error
// ("Count MySQL databases sizes"), both in function
// statistics::calculateMySqlDatabases; what was added stays. Never raises.
void calculateMySqlDatabases(const DomainInfo& domain, DomainDiskUsage& record) noexcept;

// "SHOW TABLE STATUS FROM " and the database name quoted as an identifier
// (in backticks, a backtick doubled), so that no configured name can end the
// statement and start another.
std::wstring mysqlTableStatusQuery(const std::wstring& database);

// Where the MSSQL figures come from: a test puts a double here.
class IMsSqlConnector {
 public:
  virtual ~IMsSqlConnector() = default;
  // Connects to the server and opens "exec sp_databases" forward-only and
  // read-only. The record set keeps the connection until it is closed.
  virtual std::unique_ptr<IADORecordSet> openDatabaseList(const DatabaseServer& server) = 0;
};

// The real one: an ADO connection to "Provider=SQLOLEDB.1;Initial
// Catalog=master;Data Source=" + host with the server's login, read-write.
std::shared_ptr<IMsSqlConnector> adoMsSqlConnector();

// The MSSQL sizes of one run: server id -> database name -> bytes.
class MsSqlSizes {
 public:
  explicit MsSqlSizes(std::shared_ptr<IMsSqlConnector> connector = adoMsSqlConnector());

  // Logs "Calculate MSSQL database usage for %s...". Each of the domain's
  // servers that has not yet delivered a row in this run is asked ("Precalculate
  // size of MSSQL databases for server %s..."; a failure is logged at Warning
  // as "Calculation of MSSQL databases size" and keeps the rows read before
  // it). Then each of the domain's databases adds its reported size (DATABASE_SIZE
  // kilobytes x 1024) to `mssql_dbases`; a database the server did not list
  // adds 0. A row without a size (sp_databases gives none for a database
  // beyond its integer range) is logged at Warning and adds 0, and the rows
  // after it are still read. Never raises: other failures are logged at
  // Error in function statistics::calculateMsSqlDatabases.
  void calculateMsSqlDatabases(const DomainInfo& domain, DomainDiskUsage& record) noexcept;

 private:
  void precalculate(const DatabaseServer& server);

  std::shared_ptr<IMsSqlConnector> connector_;
  std::map<int32_t, std::map<std::wstring, uint64_t>> cache_;
};
