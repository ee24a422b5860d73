// The program as an operator runs it: exit codes, logs and the results document.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <filesystem>

#include "antivirus/av_log_writer.h"
#include "app/params.h"
#include "app/temp_directory.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class StatisticsRunTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  testkit::TempDir tmp;

  void SetUp() override { registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1); }

  testkit::ProgramResult run(const std::vector<std::string>& args) {
    auto env = install.environment();
    env["TMPDIR"] = tmp.path();
    return testkit::runProgram(testkit::programPath("statistics"), args, env);
  }

  // Every debug log entry of the installation, decoded.
  std::string debugLog() {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(install.logsDir()))
      if (e.path().filename().string().rfind("halvexlog_debug", 0) == 0) all += testkit::readUtf16File(e.path().string());
    return all;
  }

  std::string config(const std::string& body) {
    const std::string path = install.path("config.xml");
    testkit::writeFile(path, "<?xml version=\"1.0\"?>\n<config>" + body + "</config>\n");
    return path;
  }

  int privateTempDirs() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path()))
      if (e.path().filename().string().rfind("{stat-", 0) == 0) ++n;
    return n;
  }
};

}  // namespace

TEST_F(StatisticsRunTest, HelpPrintsTheUsageTextAndAnUnknownOptionFails) {
  auto help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output, kUsageText);

  auto bogus = run({"--help", "--bogus"});
  EXPECT_EQ(bogus.exitCode, 1);
  const std::string log = debugLog();
  EXPECT_NE(log.find("Info: start "), std::string::npos) << log;
  EXPECT_NE(log.find(" --help --bogus"), std::string::npos) << log;
  EXPECT_NE(log.find("Error: Unexpected parameter --bogus. Possible parameters:\n    [-h]"), std::string::npos) << log;
  EXPECT_NE(log.find("with code 1\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\n   at execute "), std::string::npos) << "the frame's context is in the trace";
  EXPECT_EQ(privateTempDirs(), 0) << "the private temporary directory is gone after a failed run";
}

TEST_F(StatisticsRunTest, NotifyAloneWritesAnEmptyDocument) {
  const std::string results = install.path("results.xml");
  auto r = run({"--notify", "--config=" + config("<domain id=\"1\" name=\"a.example\"/>"), "--save-results-to=" + results});
  EXPECT_EQ(r.exitCode, 0) << r.output << debugLog();
  const std::string doc = testkit::readFile(results);
  EXPECT_NE(doc.find("<data/>"), std::string::npos) << doc;
  EXPECT_NE(debugLog().find("Info: Done"), std::string::npos);
  EXPECT_EQ(privateTempDirs(), 0);

  // Without --save-results-to the document goes to standard output.
  auto out = run({"--notify", "--config=" + config("")});
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_NE(out.output.find("<data/>"), std::string::npos) << out.output;
}

TEST_F(StatisticsRunTest, PreparationFailuresEndTheRunWithCodeOne) {
  auto noConfig = run({"--notify"});
  EXPECT_EQ(noConfig.exitCode, 1);
  EXPECT_NE(debugLog().find("Required parameter --config is not specified"), std::string::npos);

  auto missingDir = run({"--notify", "--config=" + config(""), "--save-results-to=" + install.path("nowhere/r.xml")});
  EXPECT_EQ(missingDir.exitCode, 1);

  const std::string bad = install.path("bad.xml");
  testkit::writeFile(bad, "<config>\n<domain id=\"1\"\n</config>");
  auto malformed = run({"--notify", "--config=" + bad, "--save-results-to=" + install.path("r.xml")});
  EXPECT_EQ(malformed.exitCode, 1);
  EXPECT_NE(debugLog().find(" at load " + bad), std::string::npos);

  registry::deleteKey(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Packages\\ftpserver");
  auto noFtpKey = run({"--notify", "--config=" + config(""), "--save-results-to=" + install.path("r2.xml")});
  EXPECT_EQ(noFtpKey.exitCode, 1);
  EXPECT_NE(debugLog().find("lookup subKey=SOFTWARE\\Halvex\\QMX Config\\Config\\Packages\\ftpserver"), std::string::npos);
  EXPECT_EQ(privateTempDirs(), 0);
}

TEST_F(StatisticsRunTest, RegistryValueOfTheWrongTypeEndsTheRun) {
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsLogExpirationTime", L"10");
  auto r = run({"--notify", "--config=" + config(""), "--save-results-to=" + install.path("r.xml")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(debugLog().find("RegQueryValueEx invalid type of 'SOFTWARE\\Halvex\\QMX Config\\Config\\StatisticsLogExpirationTime'"),
            std::string::npos);
}

TEST(TempDirectoryTest, NamesItselfInTheEnvironmentWhileItLives) {
  testkit::TempDir base;
  const std::wstring before = process::getEnv(L"TMPDIR");
  process::setEnv(L"TMPDIR", base.wpath());
  std::wstring path;
  {
    TempDirectory dir(L"stat");
    path = dir.path();
    EXPECT_EQ(path.rfind(base.wpath() + L"/{stat-", 0), 0u);
    EXPECT_EQ(path.size(), base.wpath().size() + 1 + 1 + 4 + 1 + 36 + 1);
    EXPECT_EQ(process::getEnv(L"TEMP"), path);
    EXPECT_EQ(process::getEnv(L"TMP"), path);
    EXPECT_EQ(process::getEnv(L"TMPDIR"), path);
    EXPECT_EQ(std::filesystem::status(text::toAnsi(path)).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    testkit::writeFile(text::toAnsi(path) + "/scratch", "x");
  }
  EXPECT_FALSE(std::filesystem::exists(text::toAnsi(path)));
  EXPECT_EQ(process::getEnv(L"TMPDIR"), base.wpath());
  process::setEnv(L"TMPDIR", before);
}

namespace {

std::vector<std::string> avstatFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("halvexlog_avstat", 0) == 0) out.push_back(e.path().string());
  return out;
}

}  // namespace

TEST_F(StatisticsRunTest, AntivirusLogsAreRemovedOnlyAfterTheDocumentIsDelivered) {
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"log_avstat_enabled", 1);
  appendAvLogEntry(L"avstat", AvLogEntry{L"infected", L"from@x", L"\"Doe, J\" <J.DOE@EXAMPLE.COM>, b@example.com", L"EICAR"});
  appendAvLogEntry(L"avstat", AvLogEntry{L"clean", L"from@x", L"c@example.com", L""});
  ASSERT_EQ(avstatFiles(install.logsDir()).size(), 1u);

  // A results document that cannot be completed commits nothing: the logs stay.
  auto full = run({"--antivirus", "--config=" + config(""), "--save-results-to=/dev/full"});
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(avstatFiles(install.logsDir()).size(), 1u) << "logs removed although the figures were not delivered";

  const std::string results = install.path("av.xml");
  auto ok = run({"--antivirus", "--config=" + config(""), "--save-results-to=" + results});
  EXPECT_EQ(ok.exitCode, 0) << debugLog();
  const std::string doc = testkit::readFile(results);
  EXPECT_NE(doc.find("<av type=\"summary\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("name=\"infected\" value=\"1\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("type=\"recipients\"") , std::string::npos);
  EXPECT_NE(doc.find("name=\"j.doe@example.com\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("type=\"viruses\""), std::string::npos);
  EXPECT_TRUE(avstatFiles(install.logsDir()).empty()) << "the logs read are removed after delivery";
  uint32_t lockValue = 1;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"AntivirusLockStatus", lockValue, RegView32);
  EXPECT_EQ(lockValue, 0u) << "the step lock is released after the commit";
}

TEST_F(StatisticsRunTest, AntivirusStepIsSkippedSilentlyWhileAnotherInstanceHoldsItsLock) {
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"log_avstat_enabled", 1);
  appendAvLogEntry(L"avstat", AvLogEntry{L"clean", L"f", L"a@example.com", L""});
  // A live process of our own stands in for the other instance.
  FILE* p = popen("sleep 300 & echo $!", "r");
  ASSERT_NE(p, nullptr);
  unsigned pid = 0;
  ASSERT_EQ(fscanf(p, "%u", &pid), 1);
  pclose(p);
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"AntivirusLockStatus", pid, RegView32);

  const std::string results = install.path("av.xml");
  auto r = run({"--antivirus", "--config=" + config(""), "--save-results-to=" + results});
  kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(testkit::readFile(results).find("<av "), std::string::npos);
  EXPECT_EQ(avstatFiles(install.logsDir()).size(), 1u);
  EXPECT_EQ(debugLog().find("Antivirus statistics"), std::string::npos) << "no message for a busy step";
}
