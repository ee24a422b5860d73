#include "diskusage/database_sizes.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "diskusage/du_test_support.h"
#include "support/database/ado.h"
#include "support/database/mariadb_test_server.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

// ---- MySQL against a real server -------------------------------------------

class MySqlSizesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = testkit::MariaDbServer::shared();
    if (!server_) GTEST_SKIP() << "mariadbd is not installed";
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    server_->sql(
        "CREATE DATABASE du_shop;"
        "CREATE TABLE du_shop.orders (id INT PRIMARY KEY, note TEXT, KEY k_note (note(20))) ENGINE=InnoDB;"
        "INSERT INTO du_shop.orders SELECT seq, REPEAT('n', seq % 300) FROM du_shop.seq_1_to_3000;"
        "CREATE TABLE du_shop.journal (line VARCHAR(200), KEY (line)) ENGINE=MyISAM;"
        "INSERT INTO du_shop.journal SELECT REPEAT('j', seq % 150) FROM du_shop.seq_1_to_2000;"
        "CREATE VIEW du_shop.recent AS SELECT id FROM du_shop.orders;"
        "CREATE DATABASE du_empty;"
        "CREATE DATABASE `du-blog`;"
        "CREATE TABLE `du-blog`.posts (body VARCHAR(100)) ENGINE=Aria;"
        "INSERT INTO `du-blog`.posts SELECT REPEAT('p', seq % 90) FROM du_shop.seq_1_to_500;"
        "CREATE DATABASE `du``tick`;"
        "CREATE TABLE `du``tick`.t (v INT) ENGINE=MyISAM;"
        "INSERT INTO `du``tick`.t SELECT seq FROM du_shop.seq_1_to_100;"
        "ANALYZE TABLE du_shop.orders, du_shop.journal, `du-blog`.posts, `du``tick`.t;");
  }

  // What the server itself reports for the databases.
  uint64_t expectedSize(const std::string& schemas) const {
    const std::string out = server_->sql(
        "SELECT COALESCE(SUM(COALESCE(DATA_LENGTH, 0) + COALESCE(INDEX_LENGTH, 0)), 0) FROM information_schema.TABLES WHERE TABLE_SCHEMA IN (" +
        schemas + ")");
    return std::stoull(out);
  }

  DatabaseServer serverEntry(int32_t id, unsigned port) const {
    DatabaseServer s;
    s.id = id;
    s.type = L"mysql";
    s.host = L"127.0.0.1";
    s.login = L"root";
    s.port = static_cast<int32_t>(port);
    return s;
  }

  testkit::Installation install_;
  testkit::MariaDbServer* server_ = nullptr;
  DomainModel model_;
};

// ---- MSSQL through a double of the record set -------------------------------

struct ScriptedRow {
  std::optional<std::wstring> name;
  std::optional<int32_t> sizeKb;
};

class ScriptedRecordSet final : public IADORecordSet {
 public:
  ScriptedRecordSet(std::vector<ScriptedRow> rows, size_t failAfter) : rows_(std::move(rows)), failAfter_(failAfter) {}
  bool eof() const override { return at_ >= rows_.size(); }
  std::optional<std::wstring> text(const std::wstring& field) const override {
    if (field != L"DATABASE_NAME") throw std::runtime_error("unexpected field");
    return rows_.at(at_).name;
  }
  std::optional<int32_t> integer(const std::wstring& field) const override {
    if (field != L"DATABASE_SIZE") throw std::runtime_error("unexpected field");
    return rows_.at(at_).sizeKb;
  }
  void moveNext() override {
    if (++at_ >= failAfter_ && at_ < rows_.size()) throw vexception(L"connection lost", VLOC(L"", "ScriptedRecordSet::moveNext"));
  }
  void close() noexcept override {}

 private:
  std::vector<ScriptedRow> rows_;
  size_t failAfter_;
  size_t at_ = 0;
};

class ScriptedConnector final : public IMsSqlConnector {
 public:
  struct Script {
    std::vector<ScriptedRow> rows;
    bool refuse = false;
    size_t failAfter = SIZE_MAX;
  };
  std::map<int32_t, Script> servers;
  std::map<int32_t, int> calls;

  std::unique_ptr<IADORecordSet> openDatabaseList(const DatabaseServer& server) override {
    ++calls[server.id];
    const Script& s = servers.at(server.id);
    if (s.refuse) throw vexception(L"Unable to connect to SQL Server " + server.host, VLOC(L"", "VADOConnection::open"));
    return std::make_unique<ScriptedRecordSet>(s.rows, s.failAfter);
  }
};

DatabaseServer msSqlServer(int32_t id, const std::wstring& host) {
  DatabaseServer s;
  s.id = id;
  s.type = L"mssql";
  s.host = host;
  s.login = L"sa";
  s.password = L"MsSql-Secret";
  return s;
}

}  // namespace

TEST_F(MySqlSizesTest, AddsTheDataAndIndexLengthsTheServerReports) {
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.mysqlDatabases[serverEntry(1, server_->port())] = {L"du_shop", L"du_empty", L"du-blog", L"du`tick"};
  const uint64_t expected = expectedSize("'du_shop', 'du_empty', 'du-blog', 'du`tick'");
  ASSERT_GT(expected, expectedSize("'du_shop'"));
  ASSERT_GT(expectedSize("'du_shop'"), 100000u);
  EXPECT_EQ(expectedSize("'du_empty'"), 0u);

  dutest::LogCapture capture({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  DomainDiskUsage r;
  calculateMySqlDatabases(domain, r);
  EXPECT_EQ(r.mysql_dbases, expected);
  EXPECT_EQ(capture.count("Calculate MySQL database usage for example.com..."), 1u);
  EXPECT_EQ(capture.count("Calculate size of database du-blog..."), 1u);
  EXPECT_EQ(capture.count("SQL: SHOW TABLE STATUS FROM `du``tick`"), 1u) << capture.text();
  EXPECT_EQ(capture.count("Sizeof MySQL database"), 0u) << capture.text();
  EXPECT_EQ(capture.count("Count MySQL databases sizes"), 0u);
}

TEST_F(MySqlSizesTest, ARefusingServerGivesOneErrorAndTheNextServerIsMeasured) {
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  DatabaseServer refusing = serverEntry(1, testkit::MariaDbServer::closedPort());
  refusing.password = L"Never-Logged-7";
  domain.mysqlDatabases[refusing] = {L"du_shop"};
  domain.mysqlDatabases[serverEntry(2, server_->port())] = {L"du_shop"};

  dutest::LogCapture errors({LogLevel::Error});
  DomainDiskUsage r;
  calculateMySqlDatabases(domain, r);
  EXPECT_EQ(r.mysql_dbases, expectedSize("'du_shop'"));
  EXPECT_EQ(errors.count("Count MySQL databases sizes(statistics::calculateMySqlDatabases"), 1u) << errors.text();
  EXPECT_EQ(errors.count("Failed to connect to database: "), 1u);
  EXPECT_EQ(errors.count("Never-Logged-7"), 0u);
}

TEST_F(MySqlSizesTest, AFailingDatabaseIsWarnedAboutAndCannotChangeTheStatement) {
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  // Unquoted, the second name would be a valid statement sizing one table only.
  domain.mysqlDatabases[serverEntry(1, server_->port())] = {L"du_missing", L"du_shop WHERE Name='orders'", L"du_shop"};

  dutest::LogCapture capture({LogLevel::Warning, LogLevel::Error});
  DomainDiskUsage r;
  calculateMySqlDatabases(domain, r);
  EXPECT_EQ(r.mysql_dbases, expectedSize("'du_shop'"));
  EXPECT_EQ(capture.count("Sizeof MySQL database 'du_missing'(statistics::calculateMySqlDatabases"), 1u) << capture.text();
  EXPECT_EQ(capture.count("Sizeof MySQL database 'du_shop WHERE Name='orders''("), 1u);
  EXPECT_EQ(capture.count("Count MySQL databases sizes"), 0u);
}

TEST(MySqlStatementTest, QuotesTheDatabaseNameAsAnIdentifier) {
  EXPECT_EQ(mysqlTableStatusQuery(L"alpha_shop2"), L"SHOW TABLE STATUS FROM `alpha_shop2`");
  EXPECT_EQ(mysqlTableStatusQuery(L"a`b"), L"SHOW TABLE STATUS FROM `a``b`");
  EXPECT_EQ(mysqlTableStatusQuery(L"x`; DROP DATABASE y; -- "), L"SHOW TABLE STATUS FROM `x``; DROP DATABASE y; -- `");
}

TEST(MsSqlSizesTest, AsksEachServerOncePerRunAndAddsKilobytesAsBytes) {
  testkit::Installation install;
  auto connector = std::make_shared<ScriptedConnector>();
  connector->servers[5].rows = {{L"master", 6000}, {L"shop", 10}, {L"blog", 3}};
  DomainModel model;
  DomainInfo& first = dutest::addDomain(model, L"1", L"first.example");
  DomainInfo& second = dutest::addDomain(model, L"2", L"second.example");
  first.mssqlDatabases[msSqlServer(5, L"sql.example")] = {L"shop", L"ghost"};
  second.mssqlDatabases[msSqlServer(5, L"sql.example")] = {L"blog"};

  dutest::LogCapture capture({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  MsSqlSizes sizes(connector);
  DomainDiskUsage a, b;
  sizes.calculateMsSqlDatabases(first, a);
  sizes.calculateMsSqlDatabases(second, b);
  EXPECT_EQ(a.mssql_dbases, 10240u);  // "ghost" is not listed and adds 0
  EXPECT_EQ(b.mssql_dbases, 3072u);
  EXPECT_EQ(connector->calls[5], 1);
  EXPECT_EQ(capture.count("Precalculate size of MSSQL databases for server sql.example..."), 1u);
  EXPECT_EQ(capture.count("Calculate MSSQL database usage for first.example..."), 1u);
  EXPECT_EQ(capture.count("Calculate MSSQL database usage for second.example..."), 1u);

  // A domain without MSSQL databases asks nothing.
  const DomainInfo third(L"3", L"third.example");
  DomainDiskUsage none;
  sizes.calculateMsSqlDatabases(third, none);
  EXPECT_EQ(none.mssql_dbases, 0u);
  EXPECT_EQ(connector->calls[5], 1);
}

TEST(MsSqlSizesTest, AServerThatFailsIsWarnedAboutAndAskedAgainUntilItDeliversRows) {
  testkit::Installation install;
  auto connector = std::make_shared<ScriptedConnector>();
  connector->servers[1] = {{}, true, SIZE_MAX};
  connector->servers[2] = {{{L"shop", 10}, {L"blog", 20}, {L"wiki", 30}}, false, 2};
  connector->servers[3] = {{}, false, SIZE_MAX};  // lists no databases
  DomainModel model;
  DomainInfo& domain = dutest::addDomain(model, L"1", L"example.com");
  domain.mssqlDatabases[msSqlServer(1, L"down.example")] = {L"shop"};
  domain.mssqlDatabases[msSqlServer(2, L"flaky.example")] = {L"shop", L"blog", L"wiki"};
  domain.mssqlDatabases[msSqlServer(3, L"empty.example")] = {L"shop"};

  MsSqlSizes sizes(connector);
  for (int round = 1; round <= 2; ++round) {
    dutest::LogCapture warnings({LogLevel::Warning, LogLevel::Error});
    DomainDiskUsage r;
    sizes.calculateMsSqlDatabases(domain, r);
    // The rows read before the failure count; the rest are lost for the run.
    EXPECT_EQ(r.mssql_dbases, (10u + 20u) * 1024u);
    EXPECT_EQ(connector->calls[1], round);
    EXPECT_EQ(connector->calls[2], 1);
    EXPECT_EQ(connector->calls[3], round);
    const size_t expectedWarnings = round == 1 ? 2u : 1u;
    EXPECT_EQ(warnings.count("Calculation of MSSQL databases size(statistics::calculateMsSqlDatabases"), expectedWarnings) << warnings.text();
    EXPECT_EQ(warnings.count("MsSql-Secret"), 0u);
  }
}

TEST(MsSqlSizesTest, ARowWithoutSizeIsWarnedAboutAndTheRestAreRead) {
  testkit::Installation install;
  auto connector = std::make_shared<ScriptedConnector>();
  connector->servers[1].rows = {{L"huge", std::nullopt}, {L"shop", 10}, {std::nullopt, 4}, {L"odd", -1}};
  DomainModel model;
  DomainInfo& domain = dutest::addDomain(model, L"1", L"example.com");
  domain.mssqlDatabases[msSqlServer(1, L"sql.example")] = {L"huge", L"shop", L"odd"};

  dutest::LogCapture warnings({LogLevel::Warning, LogLevel::Error});
  MsSqlSizes sizes(connector);
  DomainDiskUsage r;
  sizes.calculateMsSqlDatabases(domain, r);
  EXPECT_EQ(r.mssql_dbases, 10240u);
  EXPECT_EQ(warnings.count("Size of MSSQL database 'huge' on server sql.example is not reported"), 1u) << warnings.text();
  EXPECT_EQ(warnings.count("Size of MSSQL database 'odd' on server sql.example is not reported"), 1u);
  EXPECT_EQ(warnings.count("Size of MSSQL database '' on server sql.example is not reported"), 1u);
}

TEST(MsSqlSizesTest, TheRealDriverAgainstAClosedPortGivesTheWarningAndNoFigure) {
  testkit::Installation install;
  DomainModel model;
  DomainInfo& domain = dutest::addDomain(model, L"1", L"example.com");
  domain.mssqlDatabases[msSqlServer(1, L"127.0.0.1," + std::to_wstring(testkit::MariaDbServer::closedPort()))] = {L"shop"};

  dutest::LogCapture warnings({LogLevel::Warning, LogLevel::Error});
  MsSqlSizes sizes;
  DomainDiskUsage r;
  sizes.calculateMsSqlDatabases(domain, r);
  EXPECT_EQ(r.mssql_dbases, 0u);
  EXPECT_EQ(warnings.count("Calculation of MSSQL databases size(statistics::calculateMsSqlDatabases"), 1u) << warnings.text();
  EXPECT_EQ(warnings.count("Unable to connect to SQL Server 127.0.0.1"), 1u);
  EXPECT_EQ(warnings.count("MsSql-Secret"), 0u);
}
