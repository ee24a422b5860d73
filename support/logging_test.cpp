#include "support/logging.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/registry.h"
#include "tests/testkit.h"


TEST(LoggingTest, ConsoleMessagesAreSeparatedBySingleNewlines) {
  testkit::Installation install;
  testkit::LogCapture console{LogLevel::Result, LogLevel::Error};
  LogManager::instance().applyInteractivePreset();
  logMessage(LogLevel::Result, L"%s", L"one");
  logMessage(LogLevel::Info, L"not on the console");
  logMessage(LogLevel::Result, L"two");
  logMessage(LogLevel::Result, L"three");
  EXPECT_EQ(console.text(), "one\ntwo\nthree");
  LogManager::instance().applyServicePreset();
  logMessage(LogLevel::Crash, L"the service preset prints nothing");
  EXPECT_EQ(console.text(), "one\ntwo\nthree");
}

TEST(LoggingTest, PresetsFollowTheDebugSwitchForTheEventLog) {
  testkit::Installation install;
  OutputFlags saved = LogManager::instance().flags();
  LogManager::instance().applyInteractivePreset();
  const OutputFlags& f = LogManager::instance().flags();
  EXPECT_FALSE(f.flag[0]);
  EXPECT_FALSE(f.flag[1]);
  EXPECT_TRUE(f.flag[2]);
  EXPECT_TRUE(f.flag[3]);
  EXPECT_TRUE(f.flag[6 + 3]) << "errors always reach the event log";
  EXPECT_EQ(std::string(logLevelName(7)), "Unknown level");
  LogManager::instance().flags() = saved;
}

TEST(LoggingTest, AnUnwritableLogDirectoryLosesTheMessageAndNothingElse) {
  testkit::Installation install;
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1);
  // The log directory is a plain file: the debug log cannot be written.
  std::filesystem::remove_all(install.logsDir());
  testkit::writeFile(install.logsDir(), "not a directory");
  testkit::LogCapture console{LogLevel::Result, LogLevel::Error};
  LogManager::instance().flags().flag[static_cast<int>(LogLevel::Error)] = true;
  for (int i = 0; i < 20; ++i) logMessage(LogLevel::Error, L"message %d", i);  // the debug switch is read on the first call
  EXPECT_NE(console.text().find("message 19"), std::string::npos) << "the other outputs still work";
  EXPECT_EQ(testkit::readFile(install.logsDir()), "not a directory");
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 0);
  for (int i = 0; i < 20; ++i) logMessage(LogLevel::Info, L"refresh the cached switch");
}
