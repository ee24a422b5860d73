#include "support/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/exceptions.h"
#include "support/testing/testenv.h"
#include "support/text.h"

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Halvex\\Test";

std::string narrow(const std::wstring& s) { return text::toUtf8(s); }

class RegistryTest : public ::testing::Test {
 protected:
  testenv::IsolatedEnvironment env;
};

TEST_F(RegistryTest, ReadsBackEachTypeAsWindowsKeepsIt) {
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey, L"Text", L"h\u00e9llo"), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"Number", 0xA1B2C3D4u), 0u);
  ASSERT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"Big", {REG_QWORD, registry::encodeQword(0x0102030405060708ull)}), 0u);
  ASSERT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"Bytes", {REG_BINARY, std::string("\x00\xff\x10", 3)}), 0u);

  std::wstring text;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Text", text), 0u);
  EXPECT_EQ(text, L"h\u00e9llo");
  uint32_t number = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Number", number), 0u);
  EXPECT_EQ(number, 0xA1B2C3D4u);

  registry::RawValue raw;
  ASSERT_EQ(registry::readValue(HKEY_LOCAL_MACHINE, kKey, L"Text", raw), 0u);
  EXPECT_EQ(raw.type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(raw.data, std::string("h\0\xe9\0l\0l\0o\0\0\0", 12));  // (characters + 1) * 2 bytes
  ASSERT_EQ(registry::readValue(HKEY_LOCAL_MACHINE, kKey, L"Number", raw), 0u);
  EXPECT_EQ(raw.data, std::string("\xd4\xc3\xb2\xa1", 4));
  ASSERT_EQ(registry::readValue(HKEY_LOCAL_MACHINE, kKey, L"Big", raw), 0u);
  EXPECT_EQ(raw.type, static_cast<uint32_t>(REG_QWORD));
  EXPECT_EQ(raw.data, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  ASSERT_EQ(registry::readValue(HKEY_LOCAL_MACHINE, kKey, L"Bytes", raw), 0u);
  EXPECT_EQ(raw.data, std::string("\x00\xff\x10", 3));

  // The default value has the empty name; the store keeps values in the order written.
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey, L"", L"default"), 0u);
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kKey, L""), L"default");
  EXPECT_EQ(registry::valueNames(HKEY_LOCAL_MACHINE, kKey), (std::vector<std::wstring>{L"Text", L"Number", L"Big", L"Bytes", L""}));
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstCase) {
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex\\MixedKey", L"MixedName", 1), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"software\\HALVEX\\mixedkey", L"MIXEDNAME", 2), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"Software\\Halvex\\\u00c4rger", L"\u00c9t\u00e9", 3), 0u);

  uint32_t value = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, L"SoftWare\\halvex\\MIXEDKEY", L"mixedname", value), 0u);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVEX\\\u00e4RGER", L"\u00e9T\u00c9", value), 0u);
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(registry::valueNames(HKEY_LOCAL_MACHINE, L"software\\halvex\\mixedkey"), std::vector<std::wstring>{L"MixedName"});
  EXPECT_EQ(registry::storedKeyPath(HKEY_LOCAL_MACHINE, L"software\\halvex\\mixedkey"), L"SOFTWARE\\Halvex\\MixedKey");
  EXPECT_EQ(registry::subKeyNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVEX"), (std::vector<std::wstring>{L"MixedKey", L"\u00c4rger"}));
  EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, L"\\software\\halvex\\"));
}

TEST_F(RegistryTest, MissingKeyOrValueGivesCode2AndKeepsTheDefault) {
  uint32_t expiration = 259200;
  std::wstring text = L"preset";
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"StatisticsLogExpirationTime", expiration), 2u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Missing", text), 2u);
  EXPECT_EQ(expiration, 259200u);
  EXPECT_EQ(text, L"preset");
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kKey));
  // Reading never creates the store.
  EXPECT_FALSE(std::filesystem::exists(env.registryPath));

  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"Other", 1), 0u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"StatisticsLogExpirationTime", expiration), 2u);
  EXPECT_EQ(expiration, 259200u);
  EXPECT_EQ(registry::deleteValue(HKEY_LOCAL_MACHINE, kKey, L"Missing"), 2u);
  EXPECT_EQ(registry::deleteKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nothing"), 2u);
  try {
    registry::getstr(HKEY_LOCAL_MACHINE, kKey, L"PRODUCT_ROOT_D");
    FAIL() << "getstr of a missing value returned";
  } catch (const VFileNotFoundException& e) {
    EXPECT_NE(e.message().find(L"lookup subKey=SOFTWARE\\Halvex\\Test value=PRODUCT_ROOT_D"), std::wstring::npos) << narrow(e.message());
    EXPECT_EQ(e.trace().at(0).function, "registry::getstr");
  }
}

TEST_F(RegistryTest, WrongTypeOrSizeRaises) {
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey, L"Debug", L"1"), 0u);
  ASSERT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"Short", {REG_DWORD, std::string("\x01\x00", 2)}), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"Number", 7), 0u);
  uint32_t number = 5;
  std::wstring text;
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const vexception& e) {
      EXPECT_EQ(e.trace().at(0).function, "registry::lookup");
      return e.message();
    }
    return std::wstring(L"nothing raised");
  };
  EXPECT_EQ(message([&] { registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Debug", number); }),
            L"RegQueryValueEx invalid type of 'SOFTWARE\\Halvex\\Test\\Debug'");
  EXPECT_EQ(message([&] { registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Short", number); }),
            L"RegQueryValueEx invalid size of 'SOFTWARE\\Halvex\\Test\\Short'");
  EXPECT_EQ(message([&] { registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Number", text); }),
            L"RegQueryValueEx invalid type of 'SOFTWARE\\Halvex\\Test\\Number'");
  EXPECT_EQ(number, 5u);
  // REG_SZ and REG_EXPAND_SZ are taken for each other.
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Debug", text, REG_EXPAND_SZ), 0u);
  EXPECT_EQ(text, L"1");
}

TEST_F(RegistryTest, ExpandStringTakesTheEnvironment) {
  testenv::ScopedEnv root("HALVEX_TEST_SYSTEMROOT", std::string("/srv/windows"));
  testenv::ScopedEnv unset("HALVEX_TEST_UNSET", std::nullopt);
  ASSERT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"Temp", {REG_EXPAND_SZ, registry::encodeString(L"%HALVEX_TEST_SYSTEMROOT%\\Temp")}), 0u);
  ASSERT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"Odd", {REG_EXPAND_SZ, registry::encodeString(L"%HALVEX_TEST_UNSET%/x 100%")}), 0u);
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey, L"Plain", L"%HALVEX_TEST_SYSTEMROOT%"), 0u);
  std::wstring text;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Temp", text), 0u);
  EXPECT_EQ(text, L"/srv/windows\\Temp");
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"Odd", text), 0u);
  EXPECT_EQ(text, L"%HALVEX_TEST_UNSET%/x 100%");
  // Only REG_EXPAND_SZ is expanded.
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kKey, L"Plain"), L"%HALVEX_TEST_SYSTEMROOT%");
}

TEST_F(RegistryTest, DeleteKeyTakesSubkeysButNotNeighbours) {
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"A\\Key\\Sub\\Deeper", L"v", 1), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"A\\Key", L"v", 1), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"A\\Key2", L"v", 1), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, L"A\\Key!", L"v", 1), 0u);
  EXPECT_EQ(registry::deleteKey(HKEY_LOCAL_MACHINE, L"a\\KEY"), 0u);
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, L"A\\Key"));
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, L"A\\Key\\Sub\\Deeper"));
  uint32_t v = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, L"A\\Key\\Sub\\Deeper", L"v", v), 2u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, L"A\\Key2", L"v", v), 0u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, L"A\\Key!", L"v", v), 0u);
  EXPECT_EQ(registry::deleteKey(HKEY_LOCAL_MACHINE, L""), 5u);
  // create() makes the key and its parents; a set under a missing key creates it too.
  registry::create(HKEY_LOCAL_MACHINE, L"B\\C\\D");
  EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, L"B\\C"));
  EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, L"B\\C\\D"));
}

TEST_F(RegistryTest, StoreIsCreatedPrivateWithItsDirectory) {
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"v", 1), 0u);
  struct stat st;
  ASSERT_EQ(stat(env.registryPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((env.dir / "registry").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(registry::storePath(), env.registryPath);
}

TEST_F(RegistryTest, StoreThatCannotBeWrittenGivesCode5) {
  testenv::writeFile(env.dir / "plain-file", "x");
  testenv::ScopedEnv store("HALVEX_REGISTRY", env.dir / "plain-file/registry.db");
  EXPECT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"v", 1), 5u);
  EXPECT_EQ(registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"v", {REG_DWORD, registry::encodeDword(1)}), 5u);
  EXPECT_THROW(registry::create(HKEY_LOCAL_MACHINE, kKey), VAccessDeniedException);
}

TEST_F(RegistryTest, CorruptStoreRaisesNamingTheFileAndStaysAsItWas) {
  std::filesystem::create_directories(env.dir / "registry");
  std::string garbage;
  for (int i = 0; i < 300; ++i) garbage += "this is not a registry store ";
  testenv::writeFile(env.registryPath, garbage);

  auto expectNamesFile = [&](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception for a corrupt store";
    } catch (const vosexception& e) {
      EXPECT_NE(e.message().find(text::fromUtf8(env.registryPath)), std::wstring::npos) << narrow(e.message());
    }
  };
  registry::RawValue raw;
  uint32_t number = 0;
  expectNamesFile([&] { registry::readValue(HKEY_LOCAL_MACHINE, kKey, L"v", raw); });
  expectNamesFile([&] { registry::lookup(HKEY_LOCAL_MACHINE, kKey, L"v", number); });
  expectNamesFile([&] { registry::writeValue(HKEY_LOCAL_MACHINE, kKey, L"v", {REG_DWORD, registry::encodeDword(1)}); });
  expectNamesFile([&] { registry::keyExists(HKEY_LOCAL_MACHINE, kKey); });
  EXPECT_NE(registry::setDword(HKEY_LOCAL_MACHINE, kKey, L"v", 1), 0u);
  EXPECT_EQ(testenv::readFile(env.registryPath), garbage);
  EXPECT_FALSE(std::filesystem::exists(env.registryPath + "-wal"));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNoWrite) {
  const std::string child = testenv::binDir() + "/support_test_child";
  std::vector<std::unique_ptr<testenv::Child>> children;
  for (int i = 0; i < 4; ++i)
    children.push_back(std::make_unique<testenv::Child>(child, std::vector<std::string>{"write-values", "p" + std::to_string(i), "200"}));
  for (auto& c : children) EXPECT_EQ(c->wait(), 0);

  const std::wstring key = L"SOFTWARE\\Halvex\\Test\\Concurrent";
  EXPECT_EQ(registry::valueNames(HKEY_LOCAL_MACHINE, key).size(), 800u);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 200; j += 37) {
      uint32_t v = 9999;
      EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, key, L"p" + std::to_wstring(i) + L"_" + std::to_wstring(j), v), 0u);
      EXPECT_EQ(v, static_cast<uint32_t>(j));
    }
  }
}

TEST_F(RegistryTest, ProductSettingsComeFromTheConfigurationKey) {
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HTTPD_VHOSTS_D", L"C:\\vhosts\\\\x/"), 0u);
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Secrets", L"smtp", L"s3cret"), 0u);
  EXPECT_EQ(getProductSetting(L"HTTPD_VHOSTS_D"), L"C:/vhosts//x/");
  EXPECT_EQ(HalvexSrvClient::instance().getPassword(L"smtp"), L"s3cret");
  try {
    getProductSetting(L"PRODUCT_DATA_D");
    FAIL() << "a missing setting was returned";
  } catch (const vexception& e) {
    ASSERT_EQ(e.trace().size(), 2u);
    EXPECT_EQ(e.trace()[1].context, L"getString(PRODUCT_DATA_D)");
    EXPECT_EQ(e.trace()[1].function, "HalvexSrvClient::getString");
  }
  try {
    HalvexSrvClient::instance().getPassword(L"HTTPD_VHOSTS_D");
    FAIL() << "a setting was taken for a password";
  } catch (const vexception& e) {
    EXPECT_EQ(e.fullText().find(L"vhosts"), std::wstring::npos);
  }
}

}  // namespace

TEST_F(RegistryTest, ValuesReadTogetherAreTheValuesReadOneByOne) {
  const std::wstring key = kKey;
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, key + L"\\A", L"Name", L"first"), 0u);
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, key + L"\\B", L"Count", 7), 0u);
  const auto values = registry::readValues(HKEY_LOCAL_MACHINE, {{key + L"\\a", L"NAME"}, {key + L"\\Missing", L"Name"},
                                                                {key + L"\\B", L"Count"}, {key + L"\\B", L"Other"}});
  ASSERT_EQ(values.size(), 4u);
  ASSERT_TRUE(values[0]);
  EXPECT_EQ(values[0]->type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(registry::decodeString(values[0]->data), L"first") << "names compare without case";
  EXPECT_FALSE(values[1]) << "a missing key";
  ASSERT_TRUE(values[2]);
  EXPECT_EQ(values[2]->data, registry::encodeDword(7));
  EXPECT_FALSE(values[3]) << "a missing value";
}
