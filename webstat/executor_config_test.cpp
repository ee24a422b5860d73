#include "webstat/executor_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "webstat/webstat_testing.h"

using namespace webstat_testing;
namespace fs = std::filesystem;

namespace {

class ExecutorConfigTest : public ::testing::Test {
 protected:
  std::string logsOf(const std::string& domain) {
    const std::string dir = temp.path() + "/vhosts/" + domain + "/logs";
    fs::create_directories(dir);
    return dir;
  }
  testkit::Installation installation;
  testkit::TempDir temp;
  DomainModel model;
};

}  // namespace

TEST_F(ExecutorConfigTest, HostedDomainGetsItsSettingsAndAliases) {
  const std::string logs = logsOf("alpha.example");
  DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(logs));
  alpha.webspaceName = L"alpha-space";
  alpha.defaultDocuments = L"index.php;a\"b&c.html";
  alpha.aliases = {L"www.alpha.example", L"shop.alpha.example"};

  writeWebStatExecutorConfig(alpha);
  EXPECT_EQ(testkit::readFile(logs + "/web_stat_executor.conf"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<config><domain name=\"alpha.example\" logs_directory=\"" + logs +
                "\" webspaceName=\"alpha-space\" default_doc=\"index.php;a&quot;b&amp;c.html\">"
                "<webstat type=\"webalizer\"/><alias name=\"www.alpha.example\"/><alias name=\"shop.alpha.example\"/>"
                "</domain></config>\n");

  const WebStatExecutorConfig read = readWebStatExecutorConfig(vfs::Directory::open(text::fromAnsi(logs)));
  EXPECT_EQ(read.name, L"alpha.example");
  EXPECT_EQ(read.logsDirectory, text::fromAnsi(logs));
  EXPECT_EQ(read.webspaceName, L"alpha-space");
  EXPECT_EQ(read.defaultDocument, L"index.php;a\"b&c.html");
  EXPECT_EQ(read.webStatType, L"webalizer");
  EXPECT_EQ(read.aliases, (std::vector<std::wstring>{L"www.alpha.example", L"shop.alpha.example"}));
}

TEST_F(ExecutorConfigTest, DomainWithoutEntriesOrAliasesGetsEmptyDefaultDocument) {
  const std::string logs = logsOf("gamma.example");
  DomainInfo& gamma = addDomain(model, L"3", L"gamma.example", L"none", text::fromAnsi(logs));
  writeWebStatExecutorConfig(gamma);
  const std::string first = testkit::readFile(logs + "/web_stat_executor.conf");
  EXPECT_NE(first.find("default_doc=\"\"><webstat type=\"none\"/></domain>"), std::string::npos) << first;

  // Running again leaves one file with the second run's content.
  gamma.defaultDocuments = L"home.html";
  writeWebStatExecutorConfig(gamma);
  EXPECT_NE(testkit::readFile(logs + "/web_stat_executor.conf").find("default_doc=\"home.html\""), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(logs), fs::directory_iterator()), 1) << "no scratch file is left";
}

TEST_F(ExecutorConfigTest, NoFileWithoutHostingOrReportedLogsDirectory) {
  const std::string logs = logsOf("delta.example");
  DomainInfo& noHosting = addDomain(model, L"4", L"delta.example", L"webalizer", text::fromAnsi(logs));
  noHosting.hosting = false;
  writeWebStatExecutorConfig(noHosting);
  EXPECT_FALSE(fs::exists(logs + "/web_stat_executor.conf"));

  DomainInfo& unreported = addDomain(model, L"5", L"epsilon.example", L"webalizer");
  EXPECT_NO_THROW(writeWebStatExecutorConfig(unreported)) << "none reported";
}

TEST_F(ExecutorConfigTest, MissingOrReadOnlyLogsDirectoryRaisesNamingTheFile) {
  const std::string missing = temp.path() + "/vhosts/alpha.example/logs";
  DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(missing));
  try {
    writeWebStatExecutorConfig(alpha);
    FAIL() << "a missing directory must raise";
  } catch (const vexception& e) {
    EXPECT_NE(e.fullText().find(text::fromAnsi(missing)), std::wstring::npos) << text::toAnsi(e.fullText());
  }

  const std::string readOnly = logsOf("beta.example");
  DomainInfo& beta = addDomain(model, L"2", L"beta.example", L"awstats", text::fromAnsi(readOnly));
  const bool immutable = process::run(L"/usr/bin/chattr", {L"+i", text::fromAnsi(readOnly)}).exitCode == 0;
  if (!immutable) fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_THROW(writeWebStatExecutorConfig(beta), vexception);
  if (immutable)
    process::run(L"/usr/bin/chattr", {L"-i", text::fromAnsi(readOnly)});
  else
    fs::permissions(readOnly, fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(readOnly + "/web_stat_executor.conf"));
}

TEST_F(ExecutorConfigTest, PlantedLinkIsReplacedAndNeverFollowed) {
  const std::string logs = logsOf("alpha.example");
  DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(logs));
  const std::string victim = temp.file("victim.txt");
  testkit::writeFile(victim, "precious\n");
  fs::create_symlink(victim, logs + "/web_stat_executor.conf");

  // The reader refuses the link too.
  EXPECT_THROW(readWebStatExecutorConfig(vfs::Directory::open(text::fromAnsi(logs))), vexception);

  writeWebStatExecutorConfig(alpha);
  EXPECT_EQ(testkit::readFile(victim), "precious\n");
  EXPECT_FALSE(fs::is_symlink(logs + "/web_stat_executor.conf"));
  EXPECT_NE(testkit::readFile(logs + "/web_stat_executor.conf").find("alpha.example"), std::string::npos);
}

TEST_F(ExecutorConfigTest, ReaderNamesTheFileItCannotUse) {
  const std::string logs = logsOf("alpha.example");
  const vfs::Directory dir = vfs::Directory::open(text::fromAnsi(logs));
  const std::wstring path = text::fromAnsi(logs + "/web_stat_executor.conf");
  for (const std::string& content : {std::string("<config><domain name=\"x\""), std::string("<config><other/></config>"), std::string()}) {
    if (!content.empty() || fs::exists(logs + "/web_stat_executor.conf")) testkit::writeFile(logs + "/web_stat_executor.conf", content);
    try {
      readWebStatExecutorConfig(dir);
      ADD_FAILURE() << "accepted: " << content;
    } catch (const vexception& e) {
      EXPECT_NE(e.fullText().find(path), std::wstring::npos) << text::toAnsi(e.fullText());
    }
  }
}

// A run's batch: files that changed are replaced, unchanged ones are left
// as they are (the same inode: neither written nor flushed again), a file
// that is in place but no longer the program's own is written anew, and a
// domain whose logs directory is gone is logged naming its file while the
// others are still written. Nothing scratch is left behind.
TEST_F(ExecutorConfigTest, BatchWritesOnlyWhatChangedAndGoesOnPastAFailedDomain) {
  const std::string alphaLogs = logsOf("alpha.example"), betaLogs = logsOf("beta.example"), gammaLogs = logsOf("gamma.example");
  DomainInfo& alpha = addDomain(model, L"1", L"alpha.example", L"webalizer", text::fromAnsi(alphaLogs));
  DomainInfo& beta = addDomain(model, L"2", L"beta.example", L"awstats", text::fromAnsi(betaLogs));
  DomainInfo& gamma = addDomain(model, L"3", L"gamma.example", L"awstats", text::fromAnsi(gammaLogs));
  const std::string missing = temp.path() + "/vhosts/delta.example/logs";
  DomainInfo& delta = addDomain(model, L"4", L"delta.example", L"webalizer", text::fromAnsi(missing));
  {
    WebStatExecutorConfigBatch batch;
    for (DomainInfo* d : {&alpha, &beta, &gamma}) batch.add(*d);
    batch.commit();
  }
  struct stat before[3];
  const std::string dirs[3] = {alphaLogs, betaLogs, gammaLogs};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::stat((dirs[i] + "/web_stat_executor.conf").c_str(), &before[i]), 0) << dirs[i];
  const std::string gammaFirst = testkit::readFile(gammaLogs + "/web_stat_executor.conf");
  fs::permissions(gammaLogs + "/web_stat_executor.conf", fs::perms::others_write, fs::perm_options::add);

  beta.aliases = {L"www.beta.example"};
  testkit::LogCapture capture({LogLevel::Error});
  {
    WebStatExecutorConfigBatch batch;
    for (DomainInfo* d : {&alpha, &beta, &gamma, &delta}) batch.add(*d);
    batch.commit();
  }
  struct stat after[3];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::stat((dirs[i] + "/web_stat_executor.conf").c_str(), &after[i]), 0) << dirs[i];
  EXPECT_EQ(after[0].st_ino, before[0].st_ino) << "unchanged: left in place";
  EXPECT_NE(after[1].st_ino, before[1].st_ino) << "changed: replaced";
  EXPECT_NE(readWebStatExecutorConfig(vfs::Directory::open(text::fromAnsi(betaLogs))).aliases, std::vector<std::wstring>{});
  EXPECT_NE(after[2].st_ino, before[2].st_ino) << "writable by others: written anew";
  EXPECT_EQ(after[2].st_mode & 022, 0u);
  EXPECT_EQ(testkit::readFile(gammaLogs + "/web_stat_executor.conf"), gammaFirst);
  EXPECT_EQ(capture.count("Save domain delta.example status"), 1u) << capture.text();
  EXPECT_EQ(capture.count(missing + "/web_stat_executor.conf"), 1u) << capture.text();
  for (const std::string& dir : dirs) EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << dir;

  // The single write keeps an unchanged file too.
  writeWebStatExecutorConfig(alpha);
  struct stat again;
  ASSERT_EQ(::stat((alphaLogs + "/web_stat_executor.conf").c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, before[0].st_ino);
}
