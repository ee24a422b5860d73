#include "support/database/mysql_provider.h"

#include <mysql.h>
#include <errmsg.h>

#include "support/logging.h"
#include "support/text.h"

namespace {

// An empty text stands for "none" in the client's interface.
const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

std::vector<long long> versionNumbers(const std::wstring& version) {
  std::vector<long long> numbers;
  size_t at = 0;
  for (;;) {
    numbers.push_back(text::parseLeadingInt64(std::wstring_view(version).substr(at)));
    const size_t dot = version.find(L'.', at);
    if (dot == std::wstring::npos) return numbers;
    at = dot + 1;
  }
}

}  // namespace

// ---- MySQLDatabaseProvider ---------------------------------------------------

MySQLDatabaseProvider::~MySQLDatabaseProvider() { disconnect(); }

void MySQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring& user,
                                    const std::wstring& password, unsigned port, const std::wstring& socket) {
  disconnect();
  last_ = ConnectArguments{host, database, user, password, socket, port};
  mysql_ = mysql_init(nullptr);
  if (!mysql_) throw vexception(L"Insufficient memory to allocate new object", VLOC(L"", "MySQLDatabaseProvider::connect"));

  unsigned timeout = connectTimeoutSetting(L"MySQLConnectionTimeout", 120, 60);
  mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);

  const std::string h = text::toAnsi(host), d = text::toAnsi(database), u = text::toAnsi(user), p = text::toAnsi(password),
                    s = text::toAnsi(socket);
  if (!mysql_real_connect(mysql_, orNull(h), u.c_str(), p.c_str(), orNull(d), port, orNull(s), 0)) {
    const std::wstring error = maskSecret(errorText(), password);
    disconnect();
    throw VDatabase::ConnectException(L"Failed to connect to database: " + error, VLOC(L"", "MySQLDatabaseProvider::connect"));
  }
  try {
    execute(L"SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
    if (versionAtLeast(version(), L"4.1")) execute(L"SET NAMES 'utf8'");
  } catch (...) {
    // A half-prepared session would read with the wrong isolation or charset.
    disconnect();
    throw;
  }
}

void MySQLDatabaseProvider::disconnect() noexcept {
  if (mysql_) mysql_close(mysql_);
  mysql_ = nullptr;
}

void MySQLDatabaseProvider::enableReconnect() {
  setReconnectHandler([](MySQLDatabaseProvider& self) {
    const ConnectArguments a = self.last_;
    self.connect(a.host, a.database, a.user, a.password, a.port, a.socket);
  });
}

unsigned MySQLDatabaseProvider::connectTimeout() const {
  if (!mysql_) return 0;
  unsigned timeout = 0;
  mysql_get_optionv(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  return timeout;
}

unsigned long MySQLDatabaseProvider::connectionId() const { return mysql_ ? mysql_thread_id(mysql_) : 0; }

std::wstring MySQLDatabaseProvider::errorText() const {
  if (!mysql_) return L"not connected";
  return text::fromAnsi(mysql_error(mysql_));
}

std::wstring MySQLDatabaseProvider::lastError() const { return mysql_ ? text::fromAnsi(mysql_error(mysql_)) : std::wstring(); }

unsigned MySQLDatabaseProvider::send(const std::wstring& sql, const wchar_t* reconnectMessage) {
  const std::string bytes = text::toUtf8(sql);
  bool retried = false;
  for (;;) {
    if (!mysql_) return CR_SERVER_GONE_ERROR;
    if (mysql_real_query(mysql_, bytes.data(), bytes.size()) == 0) return 0;
    const unsigned error = mysql_errno(mysql_);
    if ((error != CR_SERVER_LOST && error != CR_SERVER_GONE_ERROR) || !reconnect_ || retried) return error;
    logMessage(LogLevel::Info, reconnectMessage);
    retried = true;
    reconnect_(*this);
  }
}

VRecordSet MySQLDatabaseProvider::query(const std::wstring& sql) {
  logMessage(LogLevel::Info, L"MySQLDatabaseProvider Query: %s", sql);
  if (const unsigned error = send(sql, L"MySQLDatabaseProvider::query reconnect"))
    throw vexception(L"Can't query " + sql + L": MySQLDatabaseProvider error " + std::to_wstring(error) + L":" + errorText(),
                     VLOC(L"", "MySQLDatabaseProvider::query"));
  MYSQL_RES* result = mysql_store_result(mysql_);
  if (!result)
    throw vexception(L"Can't get result for query " + sql + L" MySQLDatabaseProvider error " + errorText(), VLOC(L"", "MySQLDatabaseProvider::query"));
  return VRecordSet(new VMySQLRecordSet(result));
}

void MySQLDatabaseProvider::execute(const std::wstring& sql) {
  logMessage(LogLevel::Info, L"MySQLDatabaseProvider Execute: %s", sql);
  if (const unsigned error = send(sql, L"MySQLDatabaseProvider::execute reconnect"))
    throw vexception(L"Can't execute " + sql + L": MySql error " + std::to_wstring(error) + L":" + errorText(), VLOC(L"", "MySQLDatabaseProvider::execute"));
  // A statement that did return rows must not leave them pending on the connection.
  if (MYSQL_RES* result = mysql_store_result(mysql_)) mysql_free_result(result);
}

std::wstring MySQLDatabaseProvider::version() {
  VRecordSet rs = query(L"select version()");
  std::wstring text;
  if (!rs.fetch() || !rs->value(0, text)) throw vexception(L"The server did not report its version", VLOC(L"", "MySQLDatabaseProvider::version"));
  return text;
}

// ---- VMySQLRecordSet ---------------------------------------------------------

VMySQLRecordSet::VMySQLRecordSet(st_mysql_res* result) : result_(result) {
  const unsigned count = mysql_num_fields(result_);
  const MYSQL_FIELD* fields = mysql_fetch_fields(result_);
  for (unsigned i = 0; i < count; ++i) {
    names_.push_back(text::fromUtf8(std::string_view(fields[i].name, fields[i].name_length)));
    // The first of two equal names wins, as a lookup by name can reach only one.
    indexByName_.emplace(names_.back(), static_cast<int>(i));
  }
}

VMySQLRecordSet::~VMySQLRecordSet() { mysql_free_result(result_); }

void VMySQLRecordSet::release() {
  if (--references_ == 0) delete this;
}

bool VMySQLRecordSet::fetch() {
  row_ = mysql_fetch_row(result_);
  lengths_ = row_ ? mysql_fetch_lengths(result_) : nullptr;
  return row_ != nullptr;
}

std::wstring VMySQLRecordSet::columnName(int index) const {
  return index >= 0 && index < columnCount() ? names_[static_cast<size_t>(index)] : std::wstring();
}

int VMySQLRecordSet::columnIndex(const std::wstring& name) const {
  const auto it = indexByName_.find(name);
  return it == indexByName_.end() ? -1 : it->second;
}

bool VMySQLRecordSet::value(int index, std::wstring& out) const {
  if (!row_) throw vexception(L"No current row", VLOC(L"", "VMySQLRecordSet::value"));
  if (index < 0 || index >= columnCount()) throw vexception(L"No column " + std::to_wstring(index), VLOC(L"", "VMySQLRecordSet::value"));
  const char* cell = row_[index];
  if (!cell) return false;
  out = text::fromUtf8(std::string_view(cell, lengths_[index]));
  return true;
}

// ---- Versions ----------------------------------------------------------------

bool versionAtLeast(const std::wstring& version, const std::wstring& minimum) {
  const std::vector<long long> have = versionNumbers(version), want = versionNumbers(minimum);
  for (size_t i = 0; i < std::max(have.size(), want.size()); ++i) {
    const long long h = i < have.size() ? have[i] : 0, w = i < want.size() ? want[i] : 0;
    if (h != w) return h > w;
  }
  return true;
}
