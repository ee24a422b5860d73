#include "support/crashdump.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class CrashDumpTest : public ::testing::Test {
 protected:
  std::wstring child() const { return text::fromAnsi(testkit::programPath("support_testchild")); }
  std::string defaultDirectory() const { return inst_.productRoot() + "/etc/crashdumps"; }
  // The reports in a directory, by name.
  std::vector<std::wstring> reports(const std::string& dir) const {
    std::vector<std::wstring> names;
    if (!testkit::fileExists(dir)) return names;
    for (const vfs::DirEntry& e : vfs::listDirectory(text::fromAnsi(dir))) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }
  void enable() { ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"CrashDumpsEnabled", 1), 0u); }

  testkit::Installation inst_;
};

TEST_F(CrashDumpTest, NullDereferenceEndsWithCode1AndLeavesAReport) {
  enable();
  const process::RunResult r = process::run(child(), {L"segv"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("0xc0000005"), std::string::npos) << r.output;

  const std::vector<std::wstring> names = reports(defaultDirectory());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::wregex(L"support_testchild\\d{8}_\\d{6}\\.dmp"))) << text::toUtf8(names[0]);
  EXPECT_NE(r.output.find(text::toUtf8(names[0])), std::string::npos) << "the stderr line names the report";
  const std::string report = testkit::readFile(defaultDirectory() + "/" + text::toUtf8(names[0]));
  EXPECT_NE(report.find("C structured exception: 0xc0000005 (access violation)"), std::string::npos) << report;
  EXPECT_NE(report.find("SIGSEGV"), std::string::npos);
  EXPECT_NE(report.find("Address: 0x0"), std::string::npos);
  EXPECT_NE(report.find("Backtrace:\n"), std::string::npos);
  EXPECT_GT(std::count(report.begin(), report.end(), '\n'), 6) << "no backtrace lines";
  struct stat st;
  ASSERT_EQ(::stat(defaultDirectory().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "reports show the process's memory contents; others must not read them";
}

TEST_F(CrashDumpTest, OtherFaultsAreReportedWithTheirCodes) {
  enable();
  const std::string location = inst_.path("dumps here");
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"CrashDumpsLocation", text::fromAnsi(location)), 0u);

  const process::RunResult divide = process::run(child(), {L"divide"});
  EXPECT_EQ(divide.exitCode, 1);
  EXPECT_NE(divide.output.find("0xc0000094"), std::string::npos) << divide.output;
  const process::RunResult overflow = process::run(child(), {L"overflow"});
  EXPECT_EQ(overflow.exitCode, 1) << "a stack overflow must reach the handler";
  EXPECT_NE(overflow.output.find("0xc00000fd"), std::string::npos) << overflow.output;

  std::string all;
  for (const std::wstring& name : reports(location)) all += testkit::readFile(location + "/" + text::toUtf8(name));
  EXPECT_NE(all.find("0xc0000094 (integer divide by zero)"), std::string::npos) << all;
  EXPECT_NE(all.find("0xc00000fd (stack overflow)"), std::string::npos) << all;
  EXPECT_FALSE(testkit::fileExists(defaultDirectory())) << "CrashDumpsLocation replaces the default directory";
}

TEST_F(CrashDumpTest, FaultWithReportsOffStillEndsWithCode1) {
  const process::RunResult r = process::run(child(), {L"segv"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("crash reports are disabled"), std::string::npos) << r.output;
  EXPECT_FALSE(testkit::fileExists(defaultDirectory()));

  const CrashDumpInfo info;
  EXPECT_FALSE(info.enabled());
  try {
    info.getFileName();
    FAIL() << "a file name while disabled";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Crash dumping does not enabled");
    EXPECT_EQ(e.trace().at(0).function, "CrashDumpInfo::getFileName");
  }
}

TEST_F(CrashDumpTest, EmptyProductRootLeavesReportsOff) {
  enable();
  ASSERT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", L""), 0u);
  EXPECT_FALSE(CrashDumpInfo().enabled());
}

TEST_F(CrashDumpTest, OnlyTheNewestReportsAreKept) {
  enable();
  ASSERT_EQ(registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"CrashDumpsMaxCount", 3), 0u);
  const CrashDumpInfo info;
  ASSERT_TRUE(info.enabled());
  EXPECT_EQ(info.maxCount(), 3u);
  EXPECT_EQ(info.prefix(), L"support_tests");
  EXPECT_TRUE(std::regex_match(info.getFileName(), std::wregex(text::fromAnsi(defaultDirectory()) + L"/support_tests\\d{8}_\\d{6}\\.dmp")));

  const std::string dir = defaultDirectory();
  for (int i = 0; i < 5; ++i) {
    const std::string file = dir + "/old" + std::to_string(i) + ".dmp";
    testkit::writeFile(file, "x");
    const struct timespec times[2] = {{1600000000 + i * 100, 0}, {1600000000 + i * 100, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }
  testkit::writeFile(dir + "/kept.dmp.zip", "z");
  ASSERT_EQ(::mkdir((dir + "/folder.dmp").c_str(), 0700), 0);
  info.pruneOldDumps();
  EXPECT_EQ(reports(dir), (std::vector<std::wstring>{L"folder.dmp", L"kept.dmp.zip", L"old2.dmp", L"old3.dmp", L"old4.dmp"}));
}

TEST_F(CrashDumpTest, SignalsMapToWindowsExceptionCodes) {
  EXPECT_EQ(faultExceptionCode(SIGSEGV, SEGV_MAPERR), 0xc0000005u);
  EXPECT_EQ(faultExceptionCode(SIGFPE, FPE_INTDIV), 0xc0000094u);
  EXPECT_EQ(faultExceptionCode(SIGILL, ILL_ILLOPC), 0xc000001du);
  EXPECT_EQ(faultExceptionCode(SIGTERM, 0), 0u);
}

}  // namespace
