#include "support/database/mssql_provider.h"

#include <map>

#include "support/database/ado.h"
#include "support/logging.h"

namespace {

// The provider's record set over an ADO record set that is already on its
// first row: the first fetch only reports whether there is one.
class VADODatabaseRecordSet final : public IDatabaseRecordSet {
 public:
  VADODatabaseRecordSet(std::shared_ptr<VADOConnection> connection, std::unique_ptr<VADORecordSet> rs)
      : connection_(std::move(connection)), rs_(std::move(rs)) {}

  bool fetch() override {
    if (!started_) {
      started_ = true;
      return !rs_->eof();
    }
    if (rs_->eof()) return false;
    rs_->moveNext();
    return !rs_->eof();
  }
  int columnCount() const override { return rs_->fieldCount(); }
  std::wstring columnName(int index) const override { return rs_->fieldName(index); }
  int columnIndex(const std::wstring& name) const override { return rs_->fieldIndex(name); }
  bool value(int index, std::wstring& out) const override {
    const std::optional<std::wstring> v = rs_->text(index);
    if (!v) return false;
    out = *v;
    return true;
  }
  void addRef() override { ++references_; }
  void release() override {
    if (--references_ == 0) delete this;
  }

 private:
  ~VADODatabaseRecordSet() override = default;
  // Declared first so that it outlives the statement of the record set.
  std::shared_ptr<VADOConnection> connection_;
  std::unique_ptr<VADORecordSet> rs_;
  bool started_ = false;
  long references_ = 1;
};

}  // namespace

std::wstring adoValue(const std::wstring& value) {
  if (value.find_first_of(L";\"'") == std::wstring::npos) return value;
  std::wstring out = L"\"";
  for (wchar_t c : value) {
    out += c;
    if (c == L'"') out += L'"';
  }
  return out + L"\"";
}

MSSQLDatabaseProvider::MSSQLDatabaseProvider() = default;
MSSQLDatabaseProvider::~MSSQLDatabaseProvider() { disconnect(); }

void MSSQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring& user,
                                    const std::wstring& password, unsigned port, const std::wstring& /*socket*/) {
  disconnect();
  std::wstring source = host;
  if (port != 0 && host.find(L',') == std::wstring::npos) source += L"," + std::to_wstring(port);
  const std::wstring connectionString =
      L"Provider=SQLOLEDB.1;Initial Catalog=" + adoValue(database.empty() ? L"master" : database) + L";Data Source=" + adoValue(source);
  auto connection = std::make_shared<VADOConnection>();
  try {
    connection->open(connectionString, user, password);
  } catch (const vexception& e) {
    lastError_ = e.message();
    throw VDatabase::ConnectException(L"Failed to connect to database: " + e.message(), VLOC(L"", "MSSQLDatabaseProvider::connect"));
  }
  connection_ = std::move(connection);
}

void MSSQLDatabaseProvider::disconnect() noexcept { connection_.reset(); }

std::wstring MSSQLDatabaseProvider::version() {
  VRecordSet rs = query(L"SELECT CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128))");
  std::wstring text;
  if (!rs.fetch() || !rs->value(0, text)) throw vexception(L"The server did not report its version", VLOC(L"", "MSSQLDatabaseProvider::version"));
  return text;
}

VRecordSet MSSQLDatabaseProvider::query(const std::wstring& sql) {
  logMessage(LogLevel::Info, L"MSSQLDatabaseProvider Query: %s", sql);
  if (!connection_) throw vexception(L"Can't query " + sql + L": not connected", VLOC(L"", "MSSQLDatabaseProvider::query"));
  auto rs = std::make_unique<VADORecordSet>();
  try {
    rs->open(sql, *connection_);
  } catch (const vexception& e) {
    lastError_ = e.message();
    throw;
  }
  return VRecordSet(new VADODatabaseRecordSet(connection_, std::move(rs)));
}

void MSSQLDatabaseProvider::execute(const std::wstring& sql) {
  logMessage(LogLevel::Info, L"MSSQLDatabaseProvider Execute: %s", sql);
  if (!connection_) throw vexception(L"Can't execute " + sql + L": not connected", VLOC(L"", "MSSQLDatabaseProvider::execute"));
  VADORecordSet rs;
  try {
    rs.open(sql, *connection_);
  } catch (const vexception& e) {
    lastError_ = e.message();
    throw;
  }
}
