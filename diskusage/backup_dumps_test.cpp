#include "diskusage/backup_dumps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "config/domain.h"
#include "diskusage/du_test_support.h"
#include "diskusage/plugins/idump_repository.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace fs = std::filesystem;
using dutest::makeFile;

namespace {

class BackupDumpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string backups = install_.dataRoot() + "/backups";
    makeFile(backups + "/domains/guid-1/daily.tar", 1000);
    makeFile(backups + "/domains/guid-1/weekly/part1", 200);
    makeFile(backups + "/admin/guid-1/full.tar", 5000);
    makeFile(backups + "/domains/guid-2/only.tar", 70);
  }

  // Installs a built library as the repository of this installation.
  void installRepository(const char* built) const {
    fs::copy_file(built, repositoryPath(), fs::copy_options::overwrite_existing);
  }
  std::string repositoryPath() const { return install_.productRoot() + "/admin/bin/qmxrepository.so"; }

  uint64_t measure(BackupDumps& dumps, DomainInfo& domain, uint64_t before = 0) {
    DomainDiskUsage r;
    r.domaindumps = before;
    dumps.calculateBackupDumpSize(model_, domain, r);
    return r.domaindumps;
  }

  testkit::Installation install_;
  DomainModel model_;
};

}  // namespace

TEST_F(BackupDumpsTest, SumsTheDomainsDumpsAndLeavesTheAdministratorsOutByDefault) {
  installRepository(DU_QMXREPOSITORY_SO);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"guid-1";
  DomainInfo& other = dutest::addDomain(model_, L"2", L"other.example");
  other.guid = L"guid-2";
  DomainInfo& none = dutest::addDomain(model_, L"3", L"none.example");
  none.guid = L"guid-without-dumps";

  dutest::LogCapture capture({LogLevel::Info, LogLevel::Error});
  BackupDumps dumps;
  EXPECT_EQ(measure(dumps, domain), 1200u);
  EXPECT_EQ(measure(dumps, other), 70u);
  // The field is assigned, not added to.
  EXPECT_EQ(measure(dumps, none, 999), 0u);
  EXPECT_EQ(capture.count("Calculate dump disk space for example.com..."), 1u);
  EXPECT_EQ(capture.count("Count Backup dump disk space"), 0u) << capture.text();
}

TEST_F(BackupDumpsTest, CountsAdministratorDumpsWhenTheFirstDomainSeesIncludeTrueInAnyCase) {
  installRepository(DU_QMXREPOSITORY_SO);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"guid-1";

  model_.params[L"include_admindumps"] = L"TRUE";
  BackupDumps including;
  EXPECT_EQ(measure(including, domain), 6200u);
  // The decision of the first domain holds for the run.
  model_.params[L"include_admindumps"] = L"false";
  EXPECT_EQ(measure(including, domain), 6200u);

  BackupDumps excluding;
  EXPECT_EQ(measure(excluding, domain), 1200u);
  model_.params[L"include_admindumps"] = L"true";
  EXPECT_EQ(measure(excluding, domain), 1200u);

  model_.params[L"include_admindumps"] = L"tru";
  BackupDumps shortValue;
  EXPECT_EQ(measure(shortValue, domain), 1200u);
}

TEST_F(BackupDumpsTest, SkipsADomainWithoutGuid) {
  installRepository(DU_QMXREPOSITORY_SO);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  dutest::LogCapture capture({LogLevel::Info});
  BackupDumps dumps;
  EXPECT_EQ(measure(dumps, domain), 0u);
  EXPECT_EQ(capture.count("Skip calculation of dump disk space because domain GUID is empty"), 1u) << capture.text();
}

TEST_F(BackupDumpsTest, AMissingLibraryOrFactoryIsAnErrorAndLoadingIsTriedAgain) {
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"guid-1";
  BackupDumps dumps;
  {
    dutest::LogCapture errors({LogLevel::Error});
    EXPECT_EQ(measure(dumps, domain), 0u);
    EXPECT_EQ(errors.count("Unable to load library " + repositoryPath()), 1u) << errors.text();
    EXPECT_EQ(errors.count("Count Backup dump disk space(statistics::calculateBackupDumpSize"), 1u);
  }
  installRepository(DU_NO_FACTORY_SO);
  {
    dutest::LogCapture errors({LogLevel::Error});
    EXPECT_EQ(measure(dumps, domain), 0u);
    EXPECT_EQ(errors.count("Unable to find getDumpRepository in library " + repositoryPath()), 1u) << errors.text();
  }
  fs::remove(repositoryPath());
  installRepository(DU_QMXREPOSITORY_SO);
  EXPECT_EQ(measure(dumps, domain), 1200u);
}

TEST_F(BackupDumpsTest, AFactoryWithoutRepositoryDisablesDumpSizesForTheRun) {
  installRepository(DU_NULL_FACTORY_SO);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"guid-1";
  dutest::LogCapture errors({LogLevel::Warning, LogLevel::Error});
  BackupDumps dumps;
  EXPECT_EQ(measure(dumps, domain), 0u);
  // Not loaded again, even once a working library is in place.
  fs::remove(repositoryPath());
  installRepository(DU_QMXREPOSITORY_SO);
  EXPECT_EQ(measure(dumps, domain), 0u);
  EXPECT_EQ(errors.text(), "");
}

TEST_F(BackupDumpsTest, ARepositoryFailureIsAnErrorAndKeepsTheField) {
  installRepository(DU_QMXREPOSITORY_SO);
  DomainInfo& domain = dutest::addDomain(model_, L"1", L"example.com");
  domain.guid = L"../guid-1";
  dutest::LogCapture errors({LogLevel::Error});
  BackupDumps dumps;
  EXPECT_EQ(measure(dumps, domain, 77), 77u);
  EXPECT_EQ(errors.count("Invalid domain GUID '../guid-1'"), 1u) << errors.text();
  EXPECT_EQ(errors.count("Count Backup dump disk space(statistics::calculateBackupDumpSize"), 1u);
}

TEST_F(BackupDumpsTest, TheShippedRepositoryMeasuresOneDumpByName) {
  PluginLibrary library = PluginLibrary::load(text::fromAnsi(DU_QMXREPOSITORY_SO), "test");
  IDumpRepository* repository = library.function<GetDumpRepositoryFunction>("getDumpRepository", "test")();
  ASSERT_NE(repository, nullptr);
  EXPECT_EQ(repository->dumpSize("guid-1", "weekly", false), 200u);
  EXPECT_EQ(repository->dumpSize("guid-1", "full.tar", true), 0u);
  EXPECT_EQ(repository->dumpSize("guid-1", "full.tar", false), 5000u);
  EXPECT_EQ(repository->dumpSize("guid-1", "nothing", false), 0u);
  EXPECT_EQ(repository->dumpSize("guid-1", "", false), 6200u);

  // A link in the dumps is counted as itself, never followed.
  makeFile(install_.path("elsewhere/huge"), 100000);
  fs::create_directory_symlink(install_.path("elsewhere"), install_.dataRoot() + "/backups/domains/guid-2/linked");
  const uint64_t link = install_.path("elsewhere").size();
  EXPECT_EQ(repository->dumpSize("guid-2", "", true), 70u + link);

  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_THROW(repository->dumpSize(bad, "", true), std::exception) << bad;
  EXPECT_THROW(repository->dumpSize("guid-1", "../guid-2", true), std::exception);
}
