// Runs the built halvex-reg as an operator would.
#include <gtest/gtest.h>

#include "support/registry.h"
#include "support/testing/testenv.h"

namespace {

constexpr const char* kKey = "HKLM\\SOFTWARE\\Halvex\\QMX Config\\Config";

class HalvexRegTest : public ::testing::Test {
 protected:
  testenv::Result reg(const std::vector<std::string>& args, const std::string& input = "") {
    return testenv::run(testenv::binDir() + "/halvex-reg", args, env.dir.path(), input);
  }
  void add(const std::vector<std::string>& args) {
    std::vector<std::string> all{"add", kKey};
    all.insert(all.end(), args.begin(), args.end());
    const testenv::Result r = reg(all);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  testenv::IsolatedEnvironment env;
};

TEST_F(HalvexRegTest, WritesAndReadsBackStringExpandAndDwordValues) {
  testenv::ScopedEnv var("HALVEX_TEST_ROOT", std::string("/srv/root"));
  add({"/v", "PRODUCT_ROOT_D", "/t", "REG_SZ", "/d", "/opt/halvex", "/f"});
  add({"/v", "TempDir", "/t", "REG_EXPAND_SZ", "/d", "%HALVEX_TEST_ROOT%/temp"});
  add({"/v", "Debug", "/t", "REG_DWORD", "/d", "0x1F"});
  add({"/v", "Count", "/t", "REG_DWORD", "/d", "4294967295"});
  add({"/v", "Big", "/t", "REG_QWORD", "/d", "0x100000000"});
  add({"/v", "Raw", "/t", "REG_BINARY", "/d", "00ff10"});
  add({"/ve", "/d", "default text"});

  const testenv::Result q = reg({"query", kKey});
  ASSERT_EQ(q.exitCode, 0) << q.err;
  EXPECT_EQ(q.out,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvex\\QMX Config\\Config\n"
            "    PRODUCT_ROOT_D    REG_SZ    /opt/halvex\n"
            "    TempDir    REG_EXPAND_SZ    %HALVEX_TEST_ROOT%/temp\n"
            "    Debug    REG_DWORD    0x1f\n"
            "    Count    REG_DWORD    0xffffffff\n"
            "    Big    REG_QWORD    0x100000000\n"
            "    Raw    REG_BINARY    00FF10\n"
            "    (Default)    REG_SZ    default text\n");

  // The program reads what the tool wrote, typed and expanded.
  uint32_t debug = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", debug), 0u);
  EXPECT_EQ(debug, 31u);
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"TempDir"), L"/srv/root/temp");
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D"), L"/opt/halvex");

  const testenv::Result one = reg({"query", kKey, "/v", "Debug"});
  EXPECT_EQ(one.exitCode, 0);
  EXPECT_EQ(one.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvex\\QMX Config\\Config\n    Debug    REG_DWORD    0x1f\n");
}

TEST_F(HalvexRegTest, KeyAndValueNamesAreCaseInsensitive) {
  add({"/v", "LastStatisticsRun", "/d", "2024/01/02 03:04:05"});
  add({"/v", "Sub", "/d", "x"});
  ASSERT_EQ(reg({"add", "HKLM\\SOFTWARE\\Halvex\\QMX Config\\Config\\Statistics", "/f"}).exitCode, 0);
  const testenv::Result q = reg({"query", "hkey_local_machine\\software\\HALVEX\\qmx config\\CONFIG", "/v", "laststatisticsrun"});
  ASSERT_EQ(q.exitCode, 0) << q.err;
  EXPECT_EQ(q.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvex\\QMX Config\\Config\n    LastStatisticsRun    REG_SZ    2024/01/02 03:04:05\n");

  add({"/v", "LASTSTATISTICSRUN", "/d", "later", "/f"});
  EXPECT_EQ(registry::valueNames(HKEY_LOCAL_MACHINE, kConfigKey), (std::vector<std::wstring>{L"LastStatisticsRun", L"Sub"}));
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"laststatisticsrun"), L"later");
  // Subkeys follow the values, after an empty line.
  const testenv::Result all = reg({"query", kKey});
  EXPECT_NE(all.out.find("\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Halvex\\QMX Config\\Config\\Statistics\n"), std::string::npos) << all.out;
}

TEST_F(HalvexRegTest, FailuresExitWithCode1AndChangeNothing) {
  add({"/v", "Kept", "/t", "REG_DWORD", "/d", "7"});
  const std::vector<std::vector<std::string>> failing = {
      {"query", "HKLM\\SOFTWARE\\Nothing"},
      {"query", kKey, "/v", "Missing"},
      {"query", kKey, "/ve"},
      {"query", "HKCU\\Software"},
      {"add", kKey, "/v", "Kept", "/t", "REG_DWORD", "/d", "12x", "/f"},
      {"add", kKey, "/v", "Kept", "/t", "REG_DWORD", "/d", "4294967296", "/f"},
      {"add", kKey, "/v", "Kept", "/t", "REG_DWORD", "/d", "-1", "/f"},
      {"add", kKey, "/v", "Kept", "/t", "REG_MULTI", "/d", "1", "/f"},
      {"add", kKey, "/v", "Raw", "/t", "REG_BINARY", "/d", "abc", "/f"},
      {"add", kKey, "/d", "no name"},
      {"delete", kKey, "/v", "Missing", "/f"},
      {"frobnicate", kKey},
      {},
  };
  for (const auto& args : failing) {
    const testenv::Result r = reg(args);
    EXPECT_EQ(r.exitCode, 1) << (args.empty() ? "" : args[0]) << " " << (args.size() > 2 ? args.back() : "");
    EXPECT_FALSE(r.err.empty());
  }
  uint32_t kept = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"Kept", kept), 0u);
  EXPECT_EQ(kept, 7u);
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nothing"));
}

TEST_F(HalvexRegTest, OverwriteAndDeleteAskUnlessForced) {
  add({"/v", "Asked", "/d", "one"});
  EXPECT_EQ(reg({"add", kKey, "/v", "Asked", "/d", "two"}, "").exitCode, 1);  // no answer is a no
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"Asked"), L"one");
  EXPECT_EQ(reg({"add", kKey, "/v", "Asked", "/d", "two"}, "yes\n").exitCode, 0);
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"Asked"), L"two");

  EXPECT_EQ(reg({"delete", kKey, "/v", "Asked"}, "n\n").exitCode, 1);
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"Asked"), L"two");
  EXPECT_EQ(reg({"delete", kKey, "/v", "asked", "/f"}).exitCode, 0);
  EXPECT_EQ(reg({"query", kKey, "/v", "Asked"}).exitCode, 1);

  EXPECT_EQ(reg({"delete", "HKLM\\SOFTWARE\\Halvex", "/f"}).exitCode, 0);
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kConfigKey));
  EXPECT_EQ(reg({"delete", "HKLM", "/f"}).exitCode, 1);
}

}  // namespace
