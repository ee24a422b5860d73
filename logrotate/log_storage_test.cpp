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

// Between the hand-over and the clean-up the tenant puts something else at
// the registered name: a link to a file of root's, a whole directory, another
// file. None of them is moved into root's save directory or removed; the
// file that was handed over is, wherever the name now points.
TEST(LogStorageTest, CleanUpActsOnlyOnTheFileThatWasHandedOver) {
  testkit::Installation install;
  namespace fs = std::filesystem;
  const std::string save = install.path("saved"), logs = install.path("logs");
  testkit::writeFile(install.path("root/secret"), "root's");
  for (const bool saving : {true, false}) {
    SCOPED_TRACE(saving ? "moved to a save directory" : "removed");
    for (const char* n : {"link.log", "dir.log", "other.log", "kept.log"}) testkit::writeFile(logs + "/" + n, n);
    LogStorage storage;
    if (saving) storage.setDirectory(text::fromAnsi(save));
    for (const char* n : {"link.log", "dir.log", "other.log", "kept.log"}) storage.add(text::fromAnsi(logs + "/" + n), L"d");
    for (const char* n : {"link.log", "dir.log", "other.log"}) fs::rename(logs + "/" + n, logs + "/" + n + ".was");
    fs::create_symlink(install.path("root/secret"), logs + "/link.log");
    fs::create_directories(logs + "/dir.log/inside");
    testkit::writeFile(logs + "/other.log", "another file");
    storage.processAll();

    EXPECT_TRUE(fs::is_symlink(logs + "/link.log"));
    EXPECT_TRUE(fs::is_directory(logs + "/dir.log/inside"));
    EXPECT_EQ(testkit::readFile(logs + "/other.log"), "another file");
    EXPECT_EQ(testkit::readFile(install.path("root/secret")), "root's");
    EXPECT_FALSE(testkit::fileExists(logs + "/kept.log")) << "the untouched one is handled";
    std::vector<std::string> saved;
    if (saving)
      for (const auto& e : fs::directory_iterator(save)) saved.push_back(testkit::readFile(e.path().string()));
    EXPECT_EQ(saved, saving ? std::vector<std::string>{"kept.log"} : std::vector<std::string>{});
    fs::remove_all(logs);
    fs::remove_all(save);
  }
}
