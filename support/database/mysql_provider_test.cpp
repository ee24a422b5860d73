#include "support/database/mysql_provider.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/database/mariadb_test_server.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class MySQLProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = testkit::MariaDbServer::shared();
    if (!server_) GTEST_SKIP() << "mariadbd is not installed";
  }
  void connect(MySQLDatabaseProvider& p, const std::wstring& database = L"") {
    p.connect(L"127.0.0.1", database, L"root", L"", server_->port(), L"");
  }

  testkit::Installation install_;
  testkit::MariaDbServer* server_ = nullptr;
};


}  // namespace

TEST_F(MySQLProviderTest, ReadsRowsByColumnNameInAPreparedSession) {
  server_->sql(
      "CREATE DATABASE IF NOT EXISTS provider_rows;"
      "CREATE OR REPLACE TABLE provider_rows.t (id INT, label VARCHAR(20) CHARACTER SET utf8mb4, note VARCHAR(20));"
      "INSERT INTO provider_rows.t VALUES (1, 'Gr\xc3\xbc\xc3\x9f" "e', NULL), (2, 'plain', 'x');");
  MySQLDatabaseProvider p;
  connect(p, L"provider_rows");

  VRecordSet rs = p.query(L"SELECT id, label, note FROM t ORDER BY id");
  ASSERT_TRUE(rs.fetch());
  std::wstring value = L"untouched";
  ASSERT_TRUE(rs.lookup(L"label", value));
  EXPECT_EQ(value, L"Gr\u00fc\u00dfe");
  value = L"untouched";
  EXPECT_FALSE(rs.lookup(L"note", value));
  EXPECT_EQ(value, L"untouched");
  try {
    rs.lookup(L"missing", value);
    FAIL() << "an unknown column was looked up";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Unexpected query for column missing");
    EXPECT_EQ(e.trace().back().function, "VRecordSet::lookup");
  }
  ASSERT_TRUE(rs.fetch());
  ASSERT_TRUE(rs.lookup(L"id", value));
  EXPECT_EQ(value, L"2");
  EXPECT_FALSE(rs.fetch());

  // A copy of the handle keeps the rows after the original is gone.
  VRecordSet kept;
  {
    VRecordSet first = p.query(L"SELECT @@SESSION.tx_isolation AS iso, @@character_set_client AS cs");
    kept = first;
  }
  ASSERT_TRUE(kept.fetch());
  ASSERT_TRUE(kept.lookup(L"iso", value));
  EXPECT_EQ(value, L"READ-UNCOMMITTED");
  ASSERT_TRUE(kept.lookup(L"cs", value));
  EXPECT_EQ(value.rfind(L"utf8", 0), 0u) << text::toUtf8(value);
}

TEST_F(MySQLProviderTest, ConnectTimeoutComesFromTheRegistryButNeverBelowSixty) {
  MySQLDatabaseProvider p;
  connect(p);
  EXPECT_EQ(p.connectTimeout(), 120u);

  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"MySQLConnectionTimeout", 30);
  connect(p);
  EXPECT_EQ(p.connectTimeout(), 60u);

  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"MySQLConnectionTimeout", 300);
  connect(p);
  EXPECT_EQ(p.connectTimeout(), 300u);
}

TEST_F(MySQLProviderTest, AFailedConnectRaisesConnectExceptionWithoutThePassword) {
  const std::wstring password = L"S3cret-pw";
  MySQLDatabaseProvider p;
  try {
    p.connect(L"127.0.0.1", L"", L"root", password, testkit::MariaDbServer::closedPort(), L"");
    FAIL() << "connected to a closed port";
  } catch (const VDatabase::ConnectException& e) {
    EXPECT_EQ(e.message().rfind(L"Failed to connect to database: ", 0), 0u);
    EXPECT_EQ(e.trace().back().function, "MySQLDatabaseProvider::connect");
    EXPECT_EQ(e.fullText().find(password), std::wstring::npos);
  }
  EXPECT_FALSE(p.connected());

  server_->sql("CREATE USER IF NOT EXISTS 'guarded'@'127.0.0.1' IDENTIFIED BY 'right-one';");
  try {
    p.connect(L"127.0.0.1", L"", L"guarded", password, server_->port(), L"");
    FAIL() << "a wrong password was accepted";
  } catch (const VDatabase::ConnectException& e) {
    EXPECT_NE(e.message().find(L"Access denied"), std::wstring::npos) << text::toUtf8(e.message());
    EXPECT_EQ(e.fullText().find(password), std::wstring::npos);
  }
}

TEST_F(MySQLProviderTest, ReconnectsOnceWhenTheServerDropsTheConnection) {
  MySQLDatabaseProvider victim, killer;
  connect(victim);
  connect(killer);
  victim.enableReconnect();
  const unsigned long firstId = victim.connectionId();
  killer.execute(L"KILL " + std::to_wstring(firstId));

  testkit::LogCapture capture{LogLevel::Info};
  VRecordSet rs = victim.query(L"SELECT 7 AS n");
  std::wstring n;
  ASSERT_TRUE(rs.fetch());
  ASSERT_TRUE(rs.lookup(L"n", n));
  EXPECT_EQ(n, L"7");
  EXPECT_NE(victim.connectionId(), firstId);
  EXPECT_NE(capture.text().find("MySQLDatabaseProvider::query reconnect"), std::string::npos);

  // Without a handler the lost connection is reported.
  victim.setReconnectHandler(nullptr);
  killer.execute(L"KILL " + std::to_wstring(victim.connectionId()));
  try {
    victim.execute(L"DO 1");
    FAIL() << "a killed connection executed a statement";
  } catch (const vexception& e) {
    const bool lost = e.message().find(L"MySql error 2006:") != std::wstring::npos || e.message().find(L"MySql error 2013:") != std::wstring::npos;
    EXPECT_TRUE(lost) << text::toUtf8(e.message());
    EXPECT_EQ(e.message().rfind(L"Can't execute DO 1: ", 0), 0u);
  }
}

TEST_F(MySQLProviderTest, ReportsFailedStatementsWithTheServerError) {
  MySQLDatabaseProvider p;
  connect(p);
  try {
    p.query(L"SELEC 1");
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Can't query SELEC 1: MySQLDatabaseProvider error 1064:", 0), 0u) << text::toUtf8(e.message());
    EXPECT_EQ(e.trace().back().function, "MySQLDatabaseProvider::query");
  }
  try {
    p.query(L"DO 1");
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Can't get result for query DO 1 MySQLDatabaseProvider error ", 0), 0u) << text::toUtf8(e.message());
  }
  try {
    p.execute(L"DROP TABLE no_such_db.no_such_table");
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Can't execute DROP TABLE no_such_db.no_such_table: MySql error 1051:", 0), 0u) << text::toUtf8(e.message());
  }
  // The connection is still usable after failures.
  EXPECT_FALSE(p.version().empty());
}
