// Database access: one provider interface over several back ends, chosen by
// a type name, and record sets read by column name. The MySQL provider runs
// over MariaDB Connector/C, the MSSQL provider over ODBC (ado.h).
//
// Nothing here ever puts a password into a log line or an exception text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "support/exceptions.h"

namespace VDatabase {

// A provider could not connect to its server.
class ConnectException : public vexception {
 public:
  using vexception::vexception;
};

}  // namespace VDatabase

// The rows of one query, read forward. Reference-counted: the object frees
// itself (and its result) when the last reference is released, so a record
// set can outlive the call that made it. The count is not atomic: one thread
// uses a record set at a time.
class IDatabaseRecordSet {
 public:
  // Moves to the next row (the first one on the first call); false when there
  // is none.
  virtual bool fetch() = 0;
  virtual int columnCount() const = 0;
  // The name of a column, 0-based.
  virtual std::wstring columnName(int index) const = 0;
  // The index of the column of that name (exact match), or -1.
  virtual int columnIndex(const std::wstring& name) const = 0;
  // The value of a column of the current row as text; false (and `out`
  // unchanged) for SQL NULL.
  virtual bool value(int index, std::wstring& out) const = 0;
  virtual void addRef() = 0;
  virtual void release() = 0;

 protected:
  virtual ~IDatabaseRecordSet() = default;
};

// The owning handle that callers hold: copies share the record set.
class VRecordSet {
 public:
  VRecordSet() = default;
  // Takes over one reference of `rs`.
  explicit VRecordSet(IDatabaseRecordSet* rs) : rs_(rs) {}
  VRecordSet(const VRecordSet& o) : rs_(o.rs_) {
    if (rs_) rs_->addRef();
  }
  VRecordSet(VRecordSet&& o) noexcept : rs_(o.rs_) { o.rs_ = nullptr; }
  VRecordSet& operator=(VRecordSet o) noexcept {
    std::swap(rs_, o.rs_);
    return *this;
  }
  ~VRecordSet() { reset(); }

  void reset() noexcept {
    if (rs_) rs_->release();
    rs_ = nullptr;
  }
  IDatabaseRecordSet* get() const { return rs_; }
  IDatabaseRecordSet* operator->() const { return rs_; }
  explicit operator bool() const { return rs_ != nullptr; }

  bool fetch() { return rs_->fetch(); }
  // The value of the named column of the current row; false for NULL, with
  // `out` unchanged. A column the result does not have raises "Unexpected
  // query for column " + column (function VRecordSet::lookup).
  bool lookup(const std::wstring& column, std::wstring& out) const;

 private:
  IDatabaseRecordSet* rs_ = nullptr;
};

// A connection to one database server.
class IDatabaseProvider {
 public:
  virtual ~IDatabaseProvider() = default;
  // Connects, closing any previous connection. Empty `database` and `socket`
  // mean none. A failure raises VDatabase::ConnectException.
  virtual void connect(const std::wstring& host, const std::wstring& database, const std::wstring& user, const std::wstring& password,
                       unsigned port, const std::wstring& socket) = 0;
  virtual void disconnect() noexcept = 0;
  // The server's version text.
  virtual std::wstring version() = 0;
  // "MySQL", "MSSQL".
  virtual std::wstring typeName() const = 0;
  // Runs a statement that returns rows.
  virtual VRecordSet query(const std::wstring& sql) = 0;
  // Runs a statement that returns no rows.
  virtual void execute(const std::wstring& sql) = 0;
  // The back end's text for the last failure, empty when there is none.
  virtual std::wstring lastError() const = 0;
};

// "MySQL" (exact) or "" give the MySQL provider, "MSSQL" the MSSQL provider.
// "Jet" names the Access engine, which does not exist on this platform: it
// raises "Unable to build database provider Jet: the Jet engine is not
// available on this system". Any other name raises "Unable to build database
// provider " + name (function CreateDatabaseProvider).
std::unique_ptr<IDatabaseProvider> CreateDatabaseProvider(const std::wstring& typeName);

// Logs "SQL: %s" at Info and runs the query.
VRecordSet sqlQuery(IDatabaseProvider& provider, const std::wstring& sql);

// `text` with every occurrence of a non-empty `secret` replaced by "***":
// back ends may echo what they were given, and a password must never reach
// a log or an exception.
std::wstring maskSecret(std::wstring text, const std::wstring& secret);

// A connect time-out setting of the configuration key in seconds: `fallback`
// when the DWORD is absent, never below `minimum`.
unsigned connectTimeoutSetting(const wchar_t* valueName, unsigned fallback, unsigned minimum);
