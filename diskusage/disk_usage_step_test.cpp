#include "diskusage/disk_usage_step.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/business_lock.h"
#include "app/results_writer.h"
#include "diskusage/du_test_support.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class DiskUsageStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(DU_QMXREPOSITORY_SO, install_.productRoot() + "/admin/bin/qmxrepository.so");
  }
  DomainInfo& domain(const std::wstring& id, const std::wstring& name, size_t bytes) {
    dutest::makeFile(install_.vhostsRoot() + "/" + text::toAnsi(name) + "/httpdocs/index.html", bytes);
    return dutest::addDomain(model_, id, name);
  }
  std::string run() {
    return dutest::writeResults(install_.path("results.xml"), [&](ResultsWriter& results) { runDiskUsageStep(model_, results); });
  }
  uint32_t lockValue(const std::wstring& id) const {
    uint32_t value = 0;
    registry::lookup(HKEY_LOCAL_MACHINE, domainKey(id), L"DiskUsageStatus", value);
    return value;
  }

  testkit::Installation install_;
  DomainModel model_;
};

}  // namespace

TEST_F(DiskUsageStepTest, SavesEveryDomainInIdOrderAndReleasesItsLock) {
  domain(L"2", L"beta.example", 20);
  domain(L"1", L"alpha.example", 10);
  const std::string document = run();

  const size_t alpha = document.find("<du dom-id=\"1\"");
  const size_t beta = document.find("<du dom-id=\"2\"");
  ASSERT_NE(alpha, std::string::npos) << document;
  ASSERT_NE(beta, std::string::npos) << document;
  EXPECT_LT(alpha, beta);
  EXPECT_EQ(dutest::duAttributes(document, "1").at("httpdocs"), 10u);
  EXPECT_EQ(dutest::duAttributes(document, "2").at("totalSpace"), 20u);
  EXPECT_EQ(lockValue(L"1"), 0u);
  EXPECT_EQ(lockValue(L"2"), 0u);
}

TEST_F(DiskUsageStepTest, SkipsADomainThatAnotherProcessIsMeasuringWithoutAMessage) {
  domain(L"1", L"alpha.example", 10);
  domain(L"2", L"beta.example", 20);
  // Process 1 is alive for as long as the system runs.
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"2"), L"DiskUsageStatus", 1);

  dutest::LogCapture capture({LogLevel::Warning, LogLevel::Error});
  const std::string document = run();
  EXPECT_FALSE(dutest::duAttributes(document, "1").empty());
  EXPECT_TRUE(dutest::duAttributes(document, "2").empty()) << document;
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(lockValue(L"2"), 1u);
}

TEST_F(DiskUsageStepTest, AFailingDomainIsReportedAndTheOthersAreSaved) {
  domain(L"1", L"alpha.example", 10);
  DomainInfo& broken = domain(L"2", L"broken.example", 20);
  domain(L"3", L"gamma.example", 30);
  broken.tomcatService = true;
  const std::wstring tomcat = std::wstring(kConfigKey) + L"\\Packages\\tomcat";
  registry::setString(HKEY_LOCAL_MACHINE, tomcat, L"", L"tomcat9");
  registry::setString(HKEY_LOCAL_MACHINE, tomcat + L"\\tomcat9", L"dll", text::fromAnsi(DU_NULL_FACTORY_SO));

  dutest::LogCapture errors({LogLevel::Error});
  const std::string document = run();
  EXPECT_FALSE(dutest::duAttributes(document, "1").empty());
  EXPECT_TRUE(dutest::duAttributes(document, "2").empty());
  EXPECT_FALSE(dutest::duAttributes(document, "3").empty());
  EXPECT_EQ(errors.count("Calculate domain broken.example disk space(statistics::start"), 1u) << errors.text();
  EXPECT_EQ(errors.count("calculateDiskSpace domainName=broken.example(statistics::calculateDiskSpace"), 1u);
  // The failed domain's lock is released as well.
  EXPECT_EQ(lockValue(L"2"), 0u);
}
