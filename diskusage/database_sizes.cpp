#include "diskusage/database_sizes.h"

#include "config/domain.h"
#include "support/database/ado.h"
#include "support/database/database.h"
#include "support/logging.h"
#include "support/text.h"

namespace {

constexpr const char* kMySqlFunction = "statistics::calculateMySqlDatabases";
constexpr const char* kMsSqlFunction = "statistics::calculateMsSqlDatabases";

uint64_t sizeValue(const VRecordSet& rs, const wchar_t* column) {
  std::wstring value;
  if (!rs.lookup(column, value)) return 0;
  return static_cast<uint64_t>(text::parseLeadingInt64(value));
}

void sizeMySqlServer(const DatabaseServer& server, const std::vector<std::wstring>& databases, DomainDiskUsage& record) {
  std::unique_ptr<IDatabaseProvider> provider = CreateDatabaseProvider(L"MySQL");
  provider->connect(server.host, L"", server.login, server.password, server.port > 0 ? static_cast<unsigned>(server.port) : 0u, L"");
  for (const std::wstring& name : databases) {
    guarded(
        LogLevel::Warning, [&] { return VLOC(vaformat(L"Sizeof MySQL database '%s'", name), kMySqlFunction); },
        [&] {
          logMessage(LogLevel::Info, L"Calculate size of database %s...", name);
          VRecordSet rs = sqlQuery(*provider, mysqlTableStatusQuery(name));
          while (rs.fetch()) record.mysql_dbases += sizeValue(rs, L"Data_length") + sizeValue(rs, L"Index_length");
        });
  }
}

// The database list of one server with the connection it came over.
class AdoDatabaseList final : public IADORecordSet {
 public:
  explicit AdoDatabaseList(const DatabaseServer& server) {
    connection_.open(L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=" + server.host, server.login, server.password, -1, adModeReadWrite);
    rs_.open(L"exec sp_databases", connection_, adOpenForwardOnly, adLockReadOnly, adCmdUnknown);
  }
  bool eof() const override { return rs_.eof(); }
  std::optional<std::wstring> text(const std::wstring& field) const override { return rs_.text(field); }
  std::optional<int32_t> integer(const std::wstring& field) const override { return rs_.integer(field); }
  void moveNext() override { rs_.moveNext(); }
  void close() noexcept override {
    rs_.close();
    connection_.close();
  }

 private:
  VADOConnection connection_;
  VADORecordSet rs_;
};

class AdoMsSqlConnector final : public IMsSqlConnector {
 public:
  std::unique_ptr<IADORecordSet> openDatabaseList(const DatabaseServer& server) override { return std::make_unique<AdoDatabaseList>(server); }
};

}  // namespace

std::wstring mysqlTableStatusQuery(const std::wstring& database) {
  std::wstring quoted;
  for (wchar_t c : database) {
    quoted += c;
    if (c == L'`') quoted += L'`';
  }
  return L"SHOW TABLE STATUS FROM `" + quoted + L"`";
}

void calculateMySqlDatabases(const DomainInfo& domain, DomainDiskUsage& record) noexcept {
  guarded(LogLevel::Error, VLOC(L"", kMySqlFunction), [&] {
    logMessage(LogLevel::Info, L"Calculate MySQL database usage for %s...", domain.name);
    for (const auto& [server, databases] : domain.mysqlDatabases)
      guarded(LogLevel::Error, VLOC(L"Count MySQL databases sizes", kMySqlFunction), [&] { sizeMySqlServer(server, databases, record); });
  });
}

std::shared_ptr<IMsSqlConnector> adoMsSqlConnector() { return std::make_shared<AdoMsSqlConnector>(); }

MsSqlSizes::MsSqlSizes(std::shared_ptr<IMsSqlConnector> connector) : connector_(std::move(connector)) {}

void MsSqlSizes::precalculate(const DatabaseServer& server) {
  logMessage(LogLevel::Info, L"Precalculate size of MSSQL databases for server %s...", server.host);
  std::unique_ptr<IADORecordSet> rs = connector_->openDatabaseList(server);
  while (!rs->eof()) {
    const std::optional<std::wstring> name = rs->text(L"DATABASE_NAME");
    const std::optional<int32_t> size = rs->integer(L"DATABASE_SIZE");
    if (name && size && *size >= 0)
      cache_[server.id][*name] = static_cast<uint64_t>(*size) * 1024;
    else
      logMessage(LogLevel::Warning, L"Size of MSSQL database '%s' on server %s is not reported", name.value_or(L""), server.host);
    rs->moveNext();
  }
  rs->close();
}

void MsSqlSizes::calculateMsSqlDatabases(const DomainInfo& domain, DomainDiskUsage& record) noexcept {
  guarded(LogLevel::Error, VLOC(L"", kMsSqlFunction), [&] {
    logMessage(LogLevel::Info, L"Calculate MSSQL database usage for %s...", domain.name);
    for (const auto& [server, databases] : domain.mssqlDatabases) {
      if (cache_.count(server.id)) continue;
      guarded(LogLevel::Warning, VLOC(L"Calculation of MSSQL databases size", kMsSqlFunction), [&] { precalculate(server); });
    }
    for (const auto& [server, databases] : domain.mssqlDatabases) {
      const auto sizes = cache_.find(server.id);
      if (sizes == cache_.end()) continue;
      for (const std::wstring& name : databases)
        if (const auto it = sizes->second.find(name); it != sizes->second.end()) record.mssql_dbases += it->second;
    }
  });
}
