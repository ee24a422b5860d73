#include "support/database/ado.h"

#include <sql.h>
#include <sqlext.h>

#include <climits>

#include "support/database/ado_connection_string.h"
#include "support/database/database.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

// The driver's diagnostic records of a handle: "[state] message; ...".
std::wstring diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::wstring out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLCHAR message[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    if (!out.empty()) out += L"; ";
    out += L"[" + text::fromAnsi(reinterpret_cast<const char*>(state)) + L"] " + text::fromAnsi(reinterpret_cast<const char*>(message));
  }
  return out.empty() ? L"no diagnostics from the driver" : out;
}

std::wstring odbcDriverPath() {
  std::wstring path;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"MSSQLODBCDriver", path) != 0 || path.empty()) return kDefaultOdbcDriver;
  return path;
}

SQLULEN cursorTypeOf(int adoType) {
  switch (adoType) {
    case adOpenKeyset: return SQL_CURSOR_KEYSET_DRIVEN;
    case adOpenDynamic: return SQL_CURSOR_DYNAMIC;
    case adOpenStatic: return SQL_CURSOR_STATIC;
    default: return SQL_CURSOR_FORWARD_ONLY;
  }
}

SQLULEN concurrencyOf(int adoLock) {
  switch (adoLock) {
    case adLockPessimistic: return SQL_CONCUR_LOCK;
    case adLockOptimistic: return SQL_CONCUR_VALUES;
    default: return SQL_CONCUR_READ_ONLY;
  }
}

}  // namespace

// ---- VADOConnection ------------------------------------------------------------

struct VADOConnection::Impl {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;

  ~Impl() { release(); }
  void release() noexcept {
    if (connected) SQLDisconnect(dbc);
    connected = false;
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    dbc = SQL_NULL_HDBC;
    env = SQL_NULL_HENV;
  }
};

VADOConnection::VADOConnection() : impl_(std::make_unique<Impl>()) {}
VADOConnection::~VADOConnection() = default;

void VADOConnection::open(const std::wstring& connectionString, const std::wstring& user, const std::wstring& password, long /*options*/,
                          int mode) {
  close();
  const ado::OdbcConnectionString target = ado::toOdbcConnectionString(connectionString, user, password, odbcDriverPath());
  Impl& c = *impl_;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c.env)))
    throw vexception(L"Unable to allocate an ODBC environment", VLOC(L"", "VADOConnection::open"));
  SQLSetEnvAttr(c.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, c.env, &c.dbc)))
    throw vexception(L"Unable to allocate an ODBC connection: " + diagnostics(SQL_HANDLE_ENV, c.env), VLOC(L"", "VADOConnection::open"));

  const unsigned timeout = connectTimeoutSetting(L"ADOConnectionTimeout", 60, 60);
  guarded(LogLevel::Warning, VLOC(L"Set ADOConnectionTimeout parameter", "VADOConnection::open"), [&] {
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(c.dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(timeout)), 0)))
      throw vexception(diagnostics(SQL_HANDLE_DBC, c.dbc), VLOC(L"", "VADOConnection::open"));
  });
  if (mode == adModeRead) SQLSetConnectAttr(c.dbc, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);

  std::string text = target.text;
  const SQLRETURN rc = SQLDriverConnect(c.dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  // The copy held the password: wipe it rather than leave it to the allocator.
  std::fill(text.begin(), text.end(), '\0');
  if (!SQL_SUCCEEDED(rc))
    throw vexception(L"Unable to connect to SQL Server " + target.server + L": " + maskSecret(diagnostics(SQL_HANDLE_DBC, c.dbc), target.password),
                     VLOC(L"", "VADOConnection::open"));
  c.connected = true;
}

void VADOConnection::close() noexcept { impl_->release(); }

bool VADOConnection::isOpen() const { return impl_->connected; }

unsigned VADOConnection::loginTimeout() const {
  if (impl_->dbc == SQL_NULL_HDBC) return 0;
  SQLUINTEGER seconds = 0;
  SQLGetConnectAttr(impl_->dbc, SQL_ATTR_LOGIN_TIMEOUT, &seconds, sizeof seconds, nullptr);
  return seconds;
}

// ---- VADORecordSet ---------------------------------------------------------------

struct VADORecordSet::Impl {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  std::vector<std::wstring> names;
  std::vector<std::optional<std::wstring>> row;
  bool eof = true;

  ~Impl() { release(); }
  void release() noexcept {
    if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    stmt = SQL_NULL_HSTMT;
    names.clear();
    row.clear();
    eof = true;
  }

  [[noreturn]] void fail(const std::wstring& what, const char* function) const {
    throw vexception(what + L": " + diagnostics(SQL_HANDLE_STMT, stmt), VLOC(L"", function));
  }

  // Moves to the first result that has columns; false when there is none.
  bool seekResultWithColumns() {
    for (;;) {
      SQLSMALLINT columns = 0;
      if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) fail(L"Unable to read the result", "VADORecordSet::open");
      if (columns > 0) {
        readNames(columns);
        return true;
      }
      const SQLRETURN rc = SQLMoreResults(stmt);
      if (rc == SQL_NO_DATA) return false;
      if (!SQL_SUCCEEDED(rc)) fail(L"Unable to read the result", "VADORecordSet::open");
    }
  }

  void readNames(SQLSMALLINT columns) {
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
      SQLCHAR name[256] = {};
      SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, i, name, sizeof name, &length, &type, &size, &digits, &nullable)))
        fail(L"Unable to describe the result", "VADORecordSet::open");
      names.push_back(text::fromUtf8(reinterpret_cast<const char*>(name)));
    }
  }

  void fetch(const char* function) {
    row.clear();
    const SQLRETURN rc = SQLFetch(stmt);
    if (rc == SQL_NO_DATA) {
      eof = true;
      return;
    }
    if (!SQL_SUCCEEDED(rc)) fail(L"Unable to fetch a row", function);
    eof = false;
    // Every column of the row at once: a forward-only driver delivers them in order only.
    for (SQLUSMALLINT i = 1; i <= names.size(); ++i) row.push_back(readColumn(i, function));
  }

  std::optional<std::wstring> readColumn(SQLUSMALLINT column, const char* function) {
    std::string bytes;
    char chunk[4096];
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_CHAR, chunk, sizeof chunk, &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) fail(L"Unable to read column " + names[column - 1], function);
      if (indicator == SQL_NULL_DATA) return std::nullopt;
      // Each chunk but the last is full and ends with the terminating zero.
      const size_t got = (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof chunk)) ? sizeof chunk - 1 : static_cast<size_t>(indicator);
      bytes.append(chunk, got);
      if (rc == SQL_SUCCESS) break;
    }
    return text::fromUtf8(bytes);
  }
};

VADORecordSet::VADORecordSet() : impl_(std::make_unique<Impl>()) {}
VADORecordSet::~VADORecordSet() = default;

void VADORecordSet::open(const std::wstring& source, VADOConnection& connection, int cursorType, int lockType, long options) {
  logMessage(LogLevel::Info, L"ADO open recordset: %s", source);
  close();
  if (!connection.isOpen()) throw vexception(L"The connection is not open", VLOC(L"", "VADORecordSet::open"));
  Impl& r = *impl_;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.impl_->dbc, &r.stmt)))
    throw vexception(L"Unable to allocate a statement: " + diagnostics(SQL_HANDLE_DBC, connection.impl_->dbc), VLOC(L"", "VADORecordSet::open"));
  if (!SQL_SUCCEEDED(SQLSetStmtAttr(r.stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(cursorTypeOf(cursorType)), 0)) ||
      !SQL_SUCCEEDED(SQLSetStmtAttr(r.stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(concurrencyOf(lockType)), 0)))
    r.fail(L"Unable to set the cursor of " + source, "VADORecordSet::open");

  std::string sql = text::toUtf8(options == adCmdStoredProc ? L"{call " + source + L"}" : source);
  const SQLRETURN rc = SQLExecDirect(r.stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) r.fail(L"Unable to open " + source, "VADORecordSet::open");
  if (rc == SQL_NO_DATA || !r.seekResultWithColumns()) return;
  r.fetch("VADORecordSet::open");
}

bool VADORecordSet::eof() const { return impl_->eof; }

int VADORecordSet::fieldCount() const { return static_cast<int>(impl_->names.size()); }

std::wstring VADORecordSet::fieldName(int index) const {
  return index >= 0 && index < fieldCount() ? impl_->names[static_cast<size_t>(index)] : std::wstring();
}

int VADORecordSet::fieldIndex(const std::wstring& name) const {
  // Field names of SQL Server are matched ignoring case, as ADO does.
  for (size_t i = 0; i < impl_->names.size(); ++i)
    if (text::equalsIgnoreCase(impl_->names[i], name)) return static_cast<int>(i);
  return -1;
}

std::optional<std::wstring> VADORecordSet::text(int index) const {
  if (impl_->eof) throw vexception(L"No current row", VLOC(L"", "VADORecordSet::text"));
  if (index < 0 || index >= fieldCount()) throw vexception(L"No field " + std::to_wstring(index), VLOC(L"", "VADORecordSet::text"));
  return impl_->row[static_cast<size_t>(index)];
}

std::optional<std::wstring> VADORecordSet::text(const std::wstring& field) const {
  const int index = fieldIndex(field);
  if (index < 0) throw vexception(L"Item cannot be found in the collection: " + field, VLOC(L"", "VADORecordSet::text"));
  return text(index);
}

std::optional<int32_t> VADORecordSet::integer(const std::wstring& field) const {
  const std::optional<std::wstring> value = text(field);
  if (!value) return std::nullopt;
  return adoIntegerValue(field, *value);
}

void VADORecordSet::moveNext() {
  if (impl_->eof) throw vexception(L"Either BOF or EOF is true", VLOC(L"", "VADORecordSet::moveNext"));
  impl_->fetch("VADORecordSet::moveNext");
}

void VADORecordSet::close() noexcept { impl_->release(); }

int32_t adoIntegerValue(const std::wstring& name, const std::wstring& value) {
  const std::wstring v = text::trim(value);
  size_t i = (!v.empty() && (v[0] == L'-' || v[0] == L'+')) ? 1 : 0;
  const bool digits = i < v.size() && v.size() - i <= 10 && v.find_first_not_of(L"0123456789", i) == std::wstring::npos;
  const long long n = digits ? text::parseLeadingInt64(v) : 0;
  if (!digits || n < INT32_MIN || n > INT32_MAX) throw vexception(L"Field " + name + L" is not an integer: " + value, VLOC(L"", "VADORecordSet::integer"));
  return static_cast<int32_t>(n);
}
