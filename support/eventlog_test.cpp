#include "support/eventlog.h"

#include <gtest/gtest.h>

#include "support/registry.h"
#include "support/testing/testenv.h"
#include "support/text.h"

namespace {

using halvex::logging::closeEventLog;
using halvex::logging::reportEvent;

constexpr const wchar_t* kHalvexLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvex";

std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(testenv::readFile(path));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    closeEventLog();  // registration is per process: start each test unregistered
    ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService", L"/opt/halvex/admin/bin/halvexsrv"), 0u);
  }
  void TearDown() override { closeEventLog(); }

  testenv::IsolatedEnvironment env;
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string source = std::filesystem::path(program).filename().string();
};

TEST_F(EventLogTest, EventLineHasTheDocumentedForm) {
  reportEvent(1, L"path C:\\dir\nnext\r\nlast\tcolumn");
  reportEvent(0, L"info");
  reportEvent(2, L"result");
  reportEvent(3, L"error");
  reportEvent(7, L"unknown level");
  const std::vector<std::string> got = lines(env.eventLog);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], "warning\t" + source + "\tpath C:\\\\dir\\nnext\\nlast\\tcolumn\t" + program);
  EXPECT_EQ(got[1], "information\t" + source + "\tinfo\t" + program);
  EXPECT_EQ(got[2], "success\t" + source + "\tresult\t" + program);
  EXPECT_EQ(got[3], "error\t" + source + "\terror\t" + program);
  EXPECT_EQ(got[4], "error\t" + source + "\tunknown level\t" + program);
}

TEST_F(EventLogTest, RegistrationWritesTheSourceKeysOrDropsTheEventUntilItCan) {
  ASSERT_EQ(registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService"), 0u);
  reportEvent(3, L"dropped");
  EXPECT_FALSE(std::filesystem::exists(env.eventLog));

  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService", L"/srv/halvexsrv"), 0u);
  reportEvent(3, L"kept");
  EXPECT_EQ(lines(env.eventLog), std::vector<std::string>{"error\t" + source + "\tkept\t" + program});

  uint32_t number = 0;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kHalvexLog, L"MaxSize", number), 0u);
  EXPECT_EQ(number, 8388608u);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, kHalvexLog, L"Retention", number), 0u);
  EXPECT_EQ(number, 0u);
  const std::wstring sourceKey = std::wstring(kHalvexLog) + L"\\" + text::fromUtf8(source);
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, sourceKey, L"TypesSupported", number), 0u);
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile"), L"/srv/halvexsrv");
}

TEST_F(EventLogTest, SourceOfAnApplicationWithTheSameNameGetsThePrefix) {
  registry::create(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\EventLog\\Application\\" + text::fromUtf8(source));
  reportEvent(0, L"prefixed");
  EXPECT_EQ(lines(env.eventLog), std::vector<std::string>{"information\tHalvex:  " + source + "\tprefixed\t" + program});
  EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, std::wstring(kHalvexLog) + L"\\Halvex:  " + text::fromUtf8(source)));
}

TEST_F(EventLogTest, FailedReportIsRetriedWithANewRegistration) {
  testenv::ScopedEnv unwritable("HALVEX_EVENT_LOG", env.dir / "missing-dir/events.log");
  reportEvent(3, L"lost");
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService", L"/changed"), 0u);
  testenv::ScopedEnv writable("HALVEX_EVENT_LOG", env.eventLog);
  reportEvent(3, L"found");
  EXPECT_EQ(lines(env.eventLog), std::vector<std::string>{"error\t" + source + "\tfound\t" + program});
  // The source was registered again, with the message file of now.
  EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, std::wstring(kHalvexLog) + L"\\" + text::fromUtf8(source), L"EventMessageFile"), L"/changed");
}

}  // namespace
