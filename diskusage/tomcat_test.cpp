#include "diskusage/tomcat.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/domain.h"
#include "diskusage/disk_usage.h"
#include "diskusage/du_test_support.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace fs = std::filesystem;

namespace {

const std::wstring kTomcatKey = std::wstring(kConfigKey) + L"\\Packages\\tomcat";

class TomcatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    domain_ = &dutest::addDomain(model_, L"3", L"gamma.example");
    domain_->tomcatService = true;
    dutest::makeFile(install_.dataRoot() + "/var/tomcat/qmx-wars/gamma.example/shop/WEB-INF/web.xml", 321);
    dutest::makeFile(install_.dataRoot() + "/var/tomcat/qmx-wars/gamma.example/shop.war", 1000);
    dutest::makeFile(install_.dataRoot() + "/var/tomcat/qmx-wars/other.example/big.war", 99999);
  }

  void configure(const std::wstring& current, const std::wstring& dll) const {
    registry::setString(HKEY_LOCAL_MACHINE, kTomcatKey, L"", current);
    if (!current.empty()) registry::setString(HKEY_LOCAL_MACHINE, kTomcatKey + L"\\" + current, L"dll", dll);
  }

  uint64_t webapps() const {
    DomainDiskUsage r;
    calculateTomcatDiskSpace(*domain_, r);
    return r.webapps;
  }

  testkit::Installation install_;
  DomainModel model_;
  DomainInfo* domain_ = nullptr;
};

}  // namespace

TEST_F(TomcatTest, NoConfiguredProviderGivesNoFigure) {
  EXPECT_EQ(webapps(), 0u);
  configure(L"", L"");
  EXPECT_EQ(webapps(), 0u);

  configure(L"none", text::fromAnsi(DU_NULL_FACTORY_SO));
  dutest::LogCapture capture({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  EXPECT_EQ(webapps(), 0u);
  EXPECT_EQ(capture.text(), "Calculate tomcat service disk space for gamma.example...");

  // A package whose implementation key names no library.
  registry::setString(HKEY_LOCAL_MACHINE, kTomcatKey, L"", L"tomcat9");
  EXPECT_EQ(webapps(), 0u);
}

TEST_F(TomcatTest, AnInstalledProviderAddsTheDomainsWebApplications) {
  configure(L"tomcat9", text::fromAnsi(DU_TOMCATPROVIDER_SO));
  EXPECT_EQ(webapps(), 1321u);

  // The name the panel gives with ".dll" is loaded as ".so".
  const std::string copy = install_.productRoot() + "/admin/bin/tomcatprovider.so";
  fs::copy_file(DU_TOMCATPROVIDER_SO, copy);
  configure(L"tomcat9", text::fromAnsi(install_.productRoot()) + L"/admin/bin/tomcatprovider.dll");
  EXPECT_EQ(webapps(), 1321u);

  // Without the Tomcat service nothing is loaded, not even a broken library.
  configure(L"tomcat9", text::fromAnsi(DU_NULL_FACTORY_SO));
  domain_->tomcatService = false;
  EXPECT_EQ(webapps(), 0u);
}

TEST_F(TomcatTest, TheProviderIsReleasedBeforeItsLibraryIsUnloaded) {
  // Holding the library keeps its counters alive across the loader's unload.
  const PluginLibrary probe = PluginLibrary::load(text::fromAnsi(DU_COUNTING_TOMCAT_SO), "test");
  const int* made = static_cast<const int*>(probe.symbol("halvexTestTomcatMade", "test"));
  const int* released = static_cast<const int*>(probe.symbol("halvexTestTomcatReleased", "test"));
  const int madeBefore = *made, releasedBefore = *released;

  configure(L"counting", text::fromAnsi(DU_COUNTING_TOMCAT_SO));
  EXPECT_EQ(webapps(), 1321u);
  EXPECT_EQ(*made - madeBefore, 1);
  EXPECT_EQ(*released - releasedBefore, 1);
}

TEST_F(TomcatTest, ABrokenProviderLibraryRaises) {
  const std::wstring nullFactory = text::fromAnsi(DU_NULL_FACTORY_SO);
  configure(L"tomcat9", nullFactory);
  try {
    webapps();
    FAIL() << "a factory without provider was accepted";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Library " + nullFactory + L" is corrupted");
    EXPECT_EQ(e.trace().front().function, "DefPackageProviderInstance<class ITomcatProvider>::DefPackageProviderInstance");
  }

  configure(L"tomcat9", text::fromAnsi(DU_NO_FACTORY_SO));
  try {
    webapps();
    FAIL() << "a library without factory was accepted";
  } catch (const vosexception& e) {
    EXPECT_EQ(e.code(), 127u);
    EXPECT_NE(e.message().find(L"Unable to find getTomcatProviderInstance in library " + text::fromAnsi(DU_NO_FACTORY_SO)), std::wstring::npos);
  }

  configure(L"tomcat9", text::fromAnsi(install_.path("missing.so")));
  try {
    webapps();
    FAIL() << "a missing library was accepted";
  } catch (const vosexception& e) {
    EXPECT_EQ(e.code(), 126u);
  }
}

TEST_F(TomcatTest, ABrokenProviderEndsTheDomainsDiskUsageWithItsContext) {
  configure(L"tomcat9", text::fromAnsi(DU_NULL_FACTORY_SO));
  DiskUsageCalculator calculator(model_);
  try {
    calculator.calculateDiskSpace(*domain_);
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.trace().back().context, L"calculateDiskSpace domainName=gamma.example");
    EXPECT_NE(e.message().find(L"is corrupted"), std::wstring::npos);
  }
}
