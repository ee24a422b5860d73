#include "support/database/ado.h"

#include <gtest/gtest.h>

#include "support/database/ado_connection_string.h"
#include "support/database/mariadb_test_server.h"
#include "support/database/mssql_provider.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

const std::wstring kDriver = L"/drivers/libtdsodbc.so";

std::string odbc(const std::wstring& ado, const std::wstring& user = L"sa", const std::wstring& password = L"pw") {
  return ado::toOdbcConnectionString(ado, user, password, kDriver).text;
}

std::wstring invalidReason(const std::wstring& ado) {
  try {
    odbc(ado);
  } catch (const vexception& e) {
    return e.message();
  }
  return L"accepted";
}

}  // namespace

TEST(AdoConnectionStringTest, MapsTheDataSourceFormsToServerAndPort) {
  EXPECT_EQ(odbc(L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=db.example"),
            "DRIVER=/drivers/libtdsodbc.so;SERVER=db.example;PORT=1433;DATABASE=master;UID=sa;PWD=pw;TDS_Version=7.4;ClientCharset=UTF-8");
  EXPECT_EQ(odbc(L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=10.0.0.5,14330"),
            "DRIVER=/drivers/libtdsodbc.so;SERVER=10.0.0.5;PORT=14330;DATABASE=master;UID=sa;PWD=pw;TDS_Version=7.4;ClientCharset=UTF-8");
  EXPECT_EQ(odbc(L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=db\\SQLEXPRESS"),
            "DRIVER=/drivers/libtdsodbc.so;SERVER=db\\SQLEXPRESS;DATABASE=master;UID=sa;PWD=pw;TDS_Version=7.4;ClientCharset=UTF-8");
  EXPECT_NE(odbc(L"Data Source=db\\SQLEXPRESS,1500").find("SERVER=db;PORT=1500;"), std::string::npos);
  EXPECT_NE(odbc(L"Data Source=tcp:db,1500").find("SERVER=db;PORT=1500;"), std::string::npos);
  EXPECT_NE(odbc(L"data source=(local)").find("SERVER=127.0.0.1;PORT=1433;"), std::string::npos);
  EXPECT_NE(odbc(L"Server=.\\SQLEXPRESS").find("SERVER=127.0.0.1\\SQLEXPRESS;"), std::string::npos);
}

TEST(AdoConnectionStringTest, EscapesValuesAndLetTheGivenLoginWin) {
  // Braces protect what would end or open an attribute; "}" is doubled.
  EXPECT_NE(odbc(L"Data Source=db", L"sa", L"a;b}c").find(";PWD={a;b}}c};"), std::string::npos);
  EXPECT_NE(odbc(L"Data Source=db;Password=\"x;\"\"y\"", L"sa", L"").find(";PWD={x;\"y};"), std::string::npos);
  EXPECT_NE(odbc(L"Data Source=db;User ID=inline;Password=p1", L"given", L"p2").find(";UID=given;PWD=p2;"), std::string::npos);
  EXPECT_NE(odbc(L"Data Source=db;User ID=inline;Password=p1", L"", L"").find(";UID=inline;PWD=p1;"), std::string::npos);
  EXPECT_EQ(ado::odbcValue(L" padded"), L"{ padded}");
  EXPECT_EQ(ado::odbcValue(L"plain"), L"plain");
}

TEST(AdoConnectionStringTest, RefusesWhatItCannotMapWithoutShowingThePassword) {
  EXPECT_EQ(invalidReason(L"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x"),
            L"Invalid connection string: the provider Microsoft.Jet.OLEDB.4.0 is not supported");
  EXPECT_EQ(invalidReason(L"Provider=SQLOLEDB.1;Initial Catalog=master"), L"Invalid connection string: no data source");
  EXPECT_EQ(invalidReason(L"Data Source=db,99999"), L"Invalid connection string: the port '99999' of data source db,99999");
  EXPECT_EQ(invalidReason(L"Data Source=db,x"), L"Invalid connection string: the port 'x' of data source db,x");
  EXPECT_EQ(invalidReason(L"Data Source=db\\"), L"Invalid connection string: an empty instance name in data source db\\");
  EXPECT_EQ(invalidReason(L"Data Source=db;Password=\"open"), L"Invalid connection string: an unterminated quote in the value of password");
  EXPECT_EQ(invalidReason(L"Data Source=db;garbage"), L"Invalid connection string: a part without '='");
}

TEST(AdoConnectionTest, AClosedPortFailsWithTheDriversTextAndALoginTimeoutOfAtLeastSixty) {
  testkit::Installation install;
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"ADOConnectionTimeout", 30);
  const std::wstring password = L"Pa;ss{w}rd-42";
  const std::wstring source = L"127.0.0.1," + std::to_wstring(testkit::MariaDbServer::closedPort());
  VADOConnection connection;
  try {
    connection.open(L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=" + source, L"sa", password, -1, adModeReadWrite);
    FAIL() << "connected to a closed port";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Unable to connect to SQL Server 127.0.0.1: ", 0), 0u) << text::toUtf8(e.message());
    EXPECT_EQ(e.trace().back().function, "VADOConnection::open");
    EXPECT_EQ(e.fullText().find(password), std::wstring::npos);
  }
  EXPECT_FALSE(connection.isOpen());
  EXPECT_EQ(connection.loginTimeout(), 60u);

  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"ADOConnectionTimeout", 75);
  EXPECT_THROW(connection.open(L"Data Source=" + source, L"sa", password), vexception);
  EXPECT_EQ(connection.loginTimeout(), 75u);

  // The provider interface over the same path reports a connect failure.
  MSSQLDatabaseProvider provider;
  EXPECT_THROW(provider.connect(L"127.0.0.1", L"", L"sa", password, testkit::MariaDbServer::closedPort(), L""), VDatabase::ConnectException);
  EXPECT_EQ(provider.lastError().find(password), std::wstring::npos);
}

TEST(AdoConnectionTest, AMissingDriverLibraryIsReported) {
  testkit::Installation install;
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"MSSQLODBCDriver", text::fromAnsi(install.path("no-driver.so")));
  VADOConnection connection;
  try {
    connection.open(L"Data Source=127.0.0.1,1", L"sa", L"pw");
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Unable to connect to SQL Server 127.0.0.1: [", 0), 0u) << text::toUtf8(e.message());
  }
}

TEST(AdoRecordSetTest, ConvertsIntegerFieldsStrictly) {
  EXPECT_EQ(adoIntegerValue(L"DATABASE_SIZE", L"10"), 10);
  EXPECT_EQ(adoIntegerValue(L"DATABASE_SIZE", L" -2147483648 "), INT32_MIN);
  EXPECT_EQ(adoIntegerValue(L"DATABASE_SIZE", L"2147483647"), INT32_MAX);
  for (const wchar_t* bad : {L"", L"2147483648", L"12kb", L"1.5", L"-"}) {
    try {
      adoIntegerValue(L"DATABASE_SIZE", bad);
      ADD_FAILURE() << "accepted " << text::toUtf8(bad);
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), L"Field DATABASE_SIZE is not an integer: " + std::wstring(bad));
    }
  }
}

TEST(AdoRecordSetTest, RefusesToOpenOnAConnectionThatIsNotOpen) {
  VADOConnection connection;
  VADORecordSet rs;
  EXPECT_THROW(rs.open(L"exec sp_databases", connection), vexception);
  EXPECT_TRUE(rs.eof());
}
