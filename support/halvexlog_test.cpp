#include "support/halvexlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/registry.h"
#include "support/testing/testenv.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

using halvex::logging::HalvexLog;

// The local date `days` from today as "YYYYMMDD".
std::string dateFromToday(int days) {
  const VDateTime d = VDateTime::nowLocal().datePart().addSeconds(static_cast<int64_t>(days) * 86400);
  return text::toUtf8(vaformat(L"%04d%02d%02d", d.year, d.month, d.day));
}

std::string utf16(const std::string& ascii) { return text::toUtf16le(text::fromUtf8(ascii)); }

class HalvexLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", text::fromUtf8(root)), 0u);
  }
  std::string file(const std::string& name, int days) const { return logDir + "/halvexlog_" + name + dateFromToday(days) + ".log"; }
  void precreate(const std::string& path) const {
    std::filesystem::create_directories(logDir);
    testenv::writeFile(path, "\xff\xfe" + utf16("old\r\n"));
  }
  void setDword(const std::wstring& name, uint32_t value) const {
    ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, name, value), 0u);
  }
  testenv::Result runChild(const std::vector<std::string>& args) const {
    return testenv::run(testenv::binDir() + "/support_test_child", args, env.dir.path());
  }

  testenv::IsolatedEnvironment env;
  std::string root = env.dir / "product";
  std::string logDir = root + "/admin/logs";
};

TEST_F(HalvexLogTest, NewFileBeginsWithTheMarkAndTheFirstLine) {
  HalvexLog(L"unit", true).write(L"first line");
  const std::string path = file("unit", 0);
  const std::string data = testenv::readFile(path);
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data.substr(0, 2), "\xff\xfe");
  const std::string line = text::toUtf8(text::fromUtf16le(data.substr(2)));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{3} (\d+) (\d+) first line\r\n)"))) << line;
  EXPECT_EQ(m[1].str(), std::to_string(getpid()));
  EXPECT_EQ(m[2].str(), std::to_string(gettid()));

  // Another writer appends without a second mark.
  HalvexLog(L"unit", true).write(L"second line");
  const std::string both = testenv::readFile(path);
  EXPECT_EQ(both.substr(0, data.size()), data);
  EXPECT_EQ(both.find("\xff\xfe", 2), std::string::npos);
  EXPECT_NE(text::fromUtf16le(both.substr(data.size())).find(L" second line\r\n"), std::wstring::npos);

  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0137, 0u);  // 0640 or stricter
  ASSERT_EQ(stat(logDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0027, 0u);  // 0750 or stricter
}

TEST_F(HalvexLogTest, FileWithContentGetsNoMark) {
  std::filesystem::create_directories(logDir);
  const std::string path = file("pre", 0);
  testenv::writeFile(path, utf16("earlier\r\n"));
  HalvexLog(L"pre", true).write(L"later");
  const std::string data = testenv::readFile(path);
  EXPECT_EQ(data.substr(0, 16), utf16("earlier\r"));
  EXPECT_EQ(data.find("\xff\xfe"), std::string::npos);
}

TEST_F(HalvexLogTest, RotationAfterMidnightKeepsHistoryPlusOneFiles) {
  for (int days : {-10, -9, -8, -7, -1}) precreate(file("rot", days));
  const std::string otherLog = logDir + "/halvexlog_rotator20000101.log";
  const std::string undated = logDir + "/halvexlog_rot_notes.log";
  precreate(otherLog);
  precreate(undated);

  HalvexLog(L"rot", true).write(L"after midnight");
  EXPECT_FALSE(std::filesystem::exists(file("rot", -10)));
  EXPECT_FALSE(std::filesystem::exists(file("rot", -9)));
  for (int days : {-8, -7, -1}) EXPECT_TRUE(std::filesystem::exists(file("rot", days))) << days;
  EXPECT_EQ(testenv::readFile(file("rot", 0)).substr(0, 2), "\xff\xfe");
  EXPECT_EQ(testenv::readFile(file("rot", -1)), "\xff\xfe" + utf16("old\r\n"));
  EXPECT_TRUE(std::filesystem::exists(otherLog));
  EXPECT_TRUE(std::filesystem::exists(undated));

  setDword(L"log_rot_history", 1);
  HalvexLog(L"rot", true).write(L"fewer kept");
  EXPECT_FALSE(std::filesystem::exists(file("rot", -8)));
  EXPECT_FALSE(std::filesystem::exists(file("rot", -7)));
  EXPECT_TRUE(std::filesystem::exists(file("rot", -1)));
  EXPECT_TRUE(std::filesystem::exists(file("rot", 0)));
}

TEST_F(HalvexLogTest, NewestFileKeepsLinesUntilItsRotationDate) {
  // Dated in the future (the clock was set back): written to until that date plus the rotation.
  precreate(file("future", 2));
  HalvexLog(L"future", true).write(L"still here");
  EXPECT_FALSE(std::filesystem::exists(file("future", 0)));
  EXPECT_NE(text::fromUtf16le(testenv::readFile(file("future", 2))).find(L"still here"), std::wstring::npos);

  // A rotation of three days keeps a file of two days ago.
  precreate(file("slow", -2));
  setDword(L"log_slow_rotation", 3);
  HalvexLog(L"slow", true).write(L"same file");
  EXPECT_FALSE(std::filesystem::exists(file("slow", 0)));
  EXPECT_NE(text::fromUtf16le(testenv::readFile(file("slow", -2))).find(L"same file"), std::wstring::npos);
}

TEST_F(HalvexLogTest, DisabledLogTouchesNothing) {
  HalvexLog(L"util_exec", false).write(L"not written");
  setDword(L"log_quiet_enabled", 0);
  HalvexLog(L"quiet", true).write(L"not written");
  EXPECT_FALSE(std::filesystem::exists(logDir));
  setDword(L"log_util_exec_enabled", 1);
  HalvexLog(L"util_exec", false).write(L"written");
  EXPECT_TRUE(std::filesystem::exists(file("util_exec", 0)));
}

TEST_F(HalvexLogTest, MissingProductRootFailsToBuild) {
  ASSERT_EQ(registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D"), 0u);
  try {
    HalvexLog log(L"debug", true);
    FAIL() << "built without PRODUCT_ROOT_D";
  } catch (const VFileNotFoundException& e) {
    EXPECT_NE(e.message().find(L"value=PRODUCT_ROOT_D"), std::wstring::npos);
  }
}

TEST(GetRotationDateTest, AddsTheRotationToTheDateInTheName) {
  using halvex::logging::getRotationDate;
  const std::wstring future = text::fromUtf8(dateFromToday(5));
  const std::wstring sixDays = text::fromUtf8(dateFromToday(6));
  const std::wstring today = text::fromUtf8(dateFromToday(0));
  EXPECT_EQ(getRotationDate(L"/logs/halvexlog_debug" + future + L".log", L"debug", 1), sixDays);
  EXPECT_EQ(getRotationDate(L"/logs/halvexlog_debug20000101.log", L"debug", 1), today);
  EXPECT_EQ(getRotationDate(L"/logs/halvexlog_debug20240228.log", L"debug", 36500), L"21240204");
  for (const wchar_t* bad : {L"/logs/halvexlog_de.log", L"/logs/halvexlog_debug_old.log"}) {
    try {
      getRotationDate(bad, L"debug", 1);
      ADD_FAILURE() << "parsed " << text::toUtf8(bad);
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), L"Failed to parse name");
      EXPECT_EQ(e.trace().at(0).function, "halvex::logging::getRotationDate");
    }
  }
}

TEST_F(HalvexLogTest, DebugSwitchDecidesWhetherTheDebugLogIsTouched) {
  const std::string path = file("debug", 0);
  EXPECT_EQ(runChild({"log-message", "unset switch"}).exitCode, 0);
  setDword(L"Debug", 0);
  EXPECT_EQ(runChild({"log-message", "switched off"}).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(logDir));

  setDword(L"Debug", 1);
  EXPECT_EQ(runChild({"log-message", "switched on"}).exitCode, 0);
  const std::string data = testenv::readFile(path);
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data.substr(0, 2), "\xff\xfe");
  const std::wstring lines = text::fromUtf16le(data.substr(2));
  EXPECT_NE(lines.find(L" Info: switched on\r\n"), std::wstring::npos) << text::toUtf8(lines);
}

TEST_F(HalvexLogTest, FailedRemovalIsLoggedOnceWithoutRotatingAgain) {
  setDword(L"Debug", 1);
  for (int days : {-10, -9, -8, -7, -6}) precreate(file("debug", days));
  const testenv::Result r = runChild({"failing-removal", file("debug", -10)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");  // -10 (fails, once) and -9
  EXPECT_TRUE(std::filesystem::exists(file("debug", -10)));
  EXPECT_FALSE(std::filesystem::exists(file("debug", -9)));
  const std::wstring lines = text::fromUtf16le(testenv::readFile(file("debug", 0)).substr(2));
  const size_t warning = lines.find(L"Warning: cannot remove");
  ASSERT_NE(warning, std::wstring::npos) << text::toUtf8(lines);
  EXPECT_EQ(lines.find(L"Warning:", warning + 1), std::wstring::npos);
  EXPECT_NE(lines.find(L"Failed to remove log file(halvex::logging::HalvexLog::removeOld line "), std::wstring::npos);
  EXPECT_NE(lines.find(L"Info: message that rotates"), std::wstring::npos);
}

}  // namespace
