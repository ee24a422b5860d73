#include "support/database/database.h"

#include <gtest/gtest.h>

#include "support/database/mysql_provider.h"
#include "support/registry.h"
#include "tests/testkit.h"

TEST(DatabaseProviderTest, CreatesProvidersByExactTypeName) {
  EXPECT_EQ(CreateDatabaseProvider(L"MySQL")->typeName(), L"MySQL");
  EXPECT_EQ(CreateDatabaseProvider(L"")->typeName(), L"MySQL");
  EXPECT_EQ(CreateDatabaseProvider(L"MSSQL")->typeName(), L"MSSQL");

  try {
    CreateDatabaseProvider(L"mysql");
    FAIL() << "a lower-case type name was accepted";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Unable to build database provider mysql");
    ASSERT_EQ(e.trace().size(), 1u);
    EXPECT_EQ(e.trace()[0].function, "CreateDatabaseProvider");
  }
  try {
    CreateDatabaseProvider(L"Jet");
    FAIL() << "the Jet engine was offered";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message().rfind(L"Unable to build database provider Jet", 0), 0u);
  }
}

TEST(DatabaseProviderTest, MasksEverySecretOccurrence) {
  EXPECT_EQ(maskSecret(L"user pw at pw", L"pw"), L"user *** at ***");
  EXPECT_EQ(maskSecret(L"nothing to hide", L""), L"nothing to hide");
  // A replacement that contains the secret is not masked again.
  EXPECT_EQ(maskSecret(L"**", L"*"), L"******");
}

TEST(DatabaseProviderTest, ConnectTimeoutSettingHasAFloorAndAFallback) {
  testkit::Installation install;
  EXPECT_EQ(connectTimeoutSetting(L"SomeTimeout", 120, 60), 120u);
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"SomeTimeout", 30);
  EXPECT_EQ(connectTimeoutSetting(L"SomeTimeout", 120, 60), 60u);
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"SomeTimeout", 200);
  EXPECT_EQ(connectTimeoutSetting(L"SomeTimeout", 120, 60), 200u);
}

TEST(DatabaseProviderTest, ComparesVersionsNumberByNumber) {
  EXPECT_TRUE(versionAtLeast(L"10.11.19-MariaDB-0+deb12u1", L"4.1"));
  EXPECT_TRUE(versionAtLeast(L"4.1", L"4.1"));
  EXPECT_TRUE(versionAtLeast(L"4.10.0", L"4.1"));
  EXPECT_FALSE(versionAtLeast(L"4.0.27-log", L"4.1"));
  EXPECT_FALSE(versionAtLeast(L"3.23.58", L"4.1"));
  EXPECT_FALSE(versionAtLeast(L"", L"4.1"));
}
