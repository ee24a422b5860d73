// The MySQL provider over MariaDB Connector/C, and its record set.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/database/database.h"

struct st_mysql;
struct st_mysql_res;

class MySQLDatabaseProvider : public IDatabaseProvider {
 public:
  // Called once when a statement fails because the server was lost (client
  // errors 2006 and 2013); it must leave the provider connected or raise.
  using ReconnectHandler = std::function<void(MySQLDatabaseProvider&)>;

  MySQLDatabaseProvider() = default;
  ~MySQLDatabaseProvider() override;
  MySQLDatabaseProvider(const MySQLDatabaseProvider&) = delete;
  MySQLDatabaseProvider& operator=(const MySQLDatabaseProvider&) = delete;

  // Connect time-out: the DWORD "MySQLConnectionTimeout" of the configuration
  // key, 120 seconds when absent, never below 60. Strings go to the client in
  // the ANSI code page. A failure raises VDatabase::ConnectException "Failed
  // to connect to database: " + the client's error. Once connected the
  // session reads uncommitted data, and from server version 4.1 on it speaks
  // UTF-8 ("SET NAMES 'utf8'"); a failure there closes the connection again.
  void connect(const std::wstring& host, const std::wstring& database, const std::wstring& user, const std::wstring& password, unsigned port,
               const std::wstring& socket) override;
  void disconnect() noexcept override;
  // "select version()".
  std::wstring version() override;
  std::wstring typeName() const override { return L"MySQL"; }
  // Logs "MySQLDatabaseProvider Query: %s", sends the statement as UTF-8 and
  // keeps the whole result on the client side. Failures raise "Can't query "
  // + sql + ": MySQLDatabaseProvider error N:text", or "Can't get result for
  // query " + sql + " MySQLDatabaseProvider error text" for a statement
  // without rows.
  VRecordSet query(const std::wstring& sql) override;
  // Logs "MySQLDatabaseProvider Execute: %s"; failures raise "Can't execute "
  // + sql + ": MySql error N:text".
  void execute(const std::wstring& sql) override;
  std::wstring lastError() const override;

  void setReconnectHandler(ReconnectHandler handler) { reconnect_ = std::move(handler); }
  // Installs a handler that connects again with the last connect's arguments.
  void enableReconnect();

  bool connected() const { return mysql_ != nullptr; }
  // The connect time-out the client was given, in seconds; 0 when not connected.
  unsigned connectTimeout() const;
  // The server's id of this connection; 0 when not connected.
  unsigned long connectionId() const;

 private:
  struct ConnectArguments {
    std::wstring host, database, user, password, socket;
    unsigned port = 0;
  };

  // Sends one statement with the single reconnect; returns the client error
  // number, 0 on success.
  unsigned send(const std::wstring& sql, const wchar_t* reconnectMessage);
  std::wstring errorText() const;

  st_mysql* mysql_ = nullptr;
  ConnectArguments last_;
  ReconnectHandler reconnect_;
};

// The record set of a MySQL result kept on the client side.
class VMySQLRecordSet final : public IDatabaseRecordSet {
 public:
  // Takes over the result; the column map comes from the result's field names.
  explicit VMySQLRecordSet(st_mysql_res* result);

  bool fetch() override;
  int columnCount() const override { return static_cast<int>(names_.size()); }
  std::wstring columnName(int index) const override;
  int columnIndex(const std::wstring& name) const override;
  // The column's bytes decoded from UTF-8.
  bool value(int index, std::wstring& out) const override;
  void addRef() override { ++references_; }
  void release() override;

 private:
  ~VMySQLRecordSet() override;

  st_mysql_res* result_;
  char** row_ = nullptr;
  unsigned long* lengths_ = nullptr;
  std::vector<std::wstring> names_;
  std::map<std::wstring, int> indexByName_;
  long references_ = 1;
};

// Whether a version text is at or above `minimum`: the dot-separated numbers
// are compared one by one as integers ("10.11.19-MariaDB" >= "4.1"); a
// missing number counts as 0.
bool versionAtLeast(const std::wstring& version, const std::wstring& minimum);
