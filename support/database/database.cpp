#include "support/database/database.h"

#include "support/database/mssql_provider.h"
#include "support/database/mysql_provider.h"
#include "support/logging.h"
#include "support/registry.h"

bool VRecordSet::lookup(const std::wstring& column, std::wstring& out) const {
  const int index = rs_ ? rs_->columnIndex(column) : -1;
  if (index < 0) throw vexception(L"Unexpected query for column " + column, VLOC(L"", "VRecordSet::lookup"));
  return rs_->value(index, out);
}

std::unique_ptr<IDatabaseProvider> CreateDatabaseProvider(const std::wstring& typeName) {
  if (typeName == L"MySQL" || typeName.empty()) return std::make_unique<MySQLDatabaseProvider>();
  if (typeName == L"MSSQL") return std::make_unique<MSSQLDatabaseProvider>();
  if (typeName == L"Jet")
    throw vexception(L"Unable to build database provider Jet: the Jet engine is not available on this system", VLOC(L"", "CreateDatabaseProvider"));
  throw vexception(L"Unable to build database provider " + typeName, VLOC(L"", "CreateDatabaseProvider"));
}

VRecordSet sqlQuery(IDatabaseProvider& provider, const std::wstring& sql) {
  logMessage(LogLevel::Info, L"SQL: %s", sql);
  return provider.query(sql);
}

std::wstring maskSecret(std::wstring text, const std::wstring& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::wstring::npos; at = text.find(secret, at + 3)) text.replace(at, secret.size(), L"***");
  return text;
}

unsigned connectTimeoutSetting(const wchar_t* valueName, unsigned fallback, unsigned minimum) {
  uint32_t seconds = fallback;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, valueName, seconds) != 0) seconds = fallback;
  return seconds < minimum ? minimum : seconds;
}
