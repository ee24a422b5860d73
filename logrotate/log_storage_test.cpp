#include "logrotate/log_storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "support/text.h"
#include "tests/testkit.h"

using halvex::logging::LogStorage;

TEST(LogStorageTest, MovesFilesUnderOwnerStampAndName) {
  testkit::Installation install;
  const std::string save = install.path("saved/http");
  const std::string a = install.path("logs/access.log"), b = install.path("logs/mail.log");
  testkit::writeFile(a, "aaa");
  testkit::writeFile(b, "bbb");
  LogStorage storage;
  storage.setDirectory(text::fromAnsi(save));
  EXPECT_TRUE(std::filesystem::is_directory(save)) << "a missing save directory is created";
  storage.add(text::fromAnsi(a), L"example.com");
  storage.add(text::fromAnsi(a), L"example.com");  // registered twice, handled once
  storage.add(text::fromAnsi(b), L"");
  storage.add(L"", L"ignored");
  storage.add(text::fromAnsi(install.path("logs/vanished.log")), L"x");
  EXPECT_TRUE(storage.contains(text::fromAnsi(a)));
  EXPECT_EQ(storage.size(), 3u);
  storage.processAll();
  EXPECT_EQ(storage.size(), 0u);
  EXPECT_FALSE(testkit::fileExists(a));
  EXPECT_FALSE(testkit::fileExists(b));

  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(save)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{17}_mail\.log)"))) << names[0];
  EXPECT_TRUE(std::regex_match(names[1], std::regex(R"(example\.com_\d{17}_access\.log)"))) << names[1];
  EXPECT_EQ(testkit::readFile(save + "/" + names[1]), "aaa");
}

TEST(LogStorageTest, RemovesFilesWithoutASaveDirectoryReadOnlyOnesIncluded) {
  testkit::Installation install;
  const std::string a = install.path("logs/old.log");
  testkit::writeFile(a, "x");
  chmod(a.c_str(), 0444);
  LogStorage storage;
  storage.add(text::fromAnsi(a), L"d");
  storage.processAll();
  EXPECT_FALSE(testkit::fileExists(a));
}
