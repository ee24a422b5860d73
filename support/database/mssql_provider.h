// The MSSQL provider: the provider interface over the ADO wrappers (ado.h).
#pragma once

#include <memory>
#include <string>

#include "support/database/database.h"

class VADOConnection;

class MSSQLDatabaseProvider : public IDatabaseProvider {
 public:
  MSSQLDatabaseProvider();
  ~MSSQLDatabaseProvider() override;

  // Data source: `host`, with ",port" added when `port` is not 0 and the
  // host names no port of its own; `database` empty means "master";
  // `socket` is not used. Failures raise VDatabase::ConnectException.
  void connect(const std::wstring& host, const std::wstring& database, const std::wstring& user, const std::wstring& password, unsigned port,
               const std::wstring& socket) override;
  void disconnect() noexcept override;
  // SERVERPROPERTY('ProductVersion').
  std::wstring version() override;
  std::wstring typeName() const override { return L"MSSQL"; }
  VRecordSet query(const std::wstring& sql) override;
  void execute(const std::wstring& sql) override;
  std::wstring lastError() const override { return lastError_; }

 private:
  std::shared_ptr<VADOConnection> connection_;
  std::wstring lastError_;
};

// An ADO connection-string value, quoted when it holds ";" or a quote.
std::wstring adoValue(const std::wstring& value);
