#include "mail/provider_loader.h"

#include <gtest/gtest.h>

#include "mail/testing/mail_test_support.h"
#include "support/logging.h"

using mailtest::pluginPath;

namespace {

// The full text of what loading that library raises; empty when it loads.
std::string loadFailure(const std::string& path) {
  try {
    mailhostctl::loadMailProviderFrom(text::fromAnsi(path));
  } catch (const vexception& e) {
    return text::toUtf8(e.fullText());
  }
  return "";
}

}  // namespace

TEST(ProviderLoaderTest, LoadsAWorkingProviderFromTheProductSetting) {
  testkit::Installation install;
  mailtest::useTestProvider("good");
  mailhostctl::ProviderPtr provider = mailhostctl::loadMailProvider();
  ASSERT_TRUE(provider);
  EXPECT_TRUE(provider->isSupported(mailhostctl::FeatureMailboxDiskUsage));
  EXPECT_FALSE(provider->isSupported(3));
  mailhostctl::MailboxPtr box(provider->getMailbox(L"info", L"a.example"));
  EXPECT_EQ(box->size(), 4009u);
}

TEST(ProviderLoaderTest, ReportsLibrariesThatCannotServe) {
  testkit::Installation install;
  const std::string missing = install.path("nowhere/libprovider.so");
  const std::string text = loadFailure(missing);
  EXPECT_NE(text.find("Unable to load library " + missing + ": "), std::string::npos) << text;

  const std::string notALibrary = install.path("libfake.so");
  testkit::writeFile(notALibrary, "not an ELF file");
  EXPECT_NE(loadFailure(notALibrary).find("Unable to load library " + notALibrary), std::string::npos);

  const std::string noFactory = pluginPath("mail_test_provider_no_factory");
  EXPECT_NE(loadFailure(noFactory).find("Unable to find getMailHostCtlProviderInstance in library " + noFactory), std::string::npos);

  const std::string null = pluginPath("mail_test_provider_null");
  const std::string corrupt = loadFailure(null);
  EXPECT_EQ(corrupt.rfind("Library " + null + " is corrupt\n", 0), 0u) << corrupt;
  EXPECT_NE(corrupt.find("(mailhostctl::imailhostctlprovider::load line "), std::string::npos) << corrupt;
}

TEST(ProviderLoaderTest, AddsTheLoadContextToEveryFailure) {
  testkit::Installation install;
  // No "MAIL_PROVIDERW_DLL" at all.
  try {
    mailhostctl::loadMailProvider();
    FAIL() << "a provider was loaded without a setting";
  } catch (const vexception& e) {
    const std::string text = text::toUtf8(e.fullText());
    EXPECT_NE(text.find("at Load mail provider(mailhostctl::imailhostctlprovider::load line "), std::string::npos) << text;
  }
  mailtest::useTestProvider("null");
  try {
    mailhostctl::loadMailProvider();
    FAIL() << "a null provider was accepted";
  } catch (const vexception& e) {
    const std::string text = text::toUtf8(e.fullText());
    EXPECT_EQ(text.rfind("Library " + pluginPath("mail_test_provider_null") + " is corrupt", 0), 0u) << text;
    EXPECT_NE(text.find("at Load mail provider("), std::string::npos) << text;
  }
}

TEST(ProviderLoaderTest, ProviderLogsThroughTheProgramsContext) {
  testkit::Installation install;
  mailtest::useTestProvider("good");
  OutputFlags& flags = LogManager::instance().flags();
  const OutputFlags saved = flags;
  // Info to the event log: only a provider that shares these flags writes its
  // Info message there (its own defaults would not).
  flags.flag[6 + static_cast<int>(LogLevel::Info)] = true;
  {
    mailhostctl::ProviderPtr provider = mailhostctl::loadMailProvider();
    mailhostctl::MailTrafficRequest request{{L"a.example", {}}};
    std::vector<std::wstring> files;
    mailhostctl::MailMessagesSent sent;
    provider->getMailTraffic({}, {2024, 3, 2, 0, 0, 0}, request, files, sent);
  }
  flags = saved;
  const std::string events = testkit::readFile(install.eventLogPath());
  EXPECT_NE(events.find("information\t"), std::string::npos) << events;
  EXPECT_NE(events.find("Test provider counted 1 domains"), std::string::npos) << events;
}

TEST(ProviderLoaderTest, ExceptionsOfAProviderAreCaught) {
  testkit::Installation install;
  mailtest::useTestProvider("throwing");
  mailhostctl::ProviderPtr provider = mailhostctl::loadMailProvider();
  EXPECT_THROW(provider->getMailbox(L"info", L"a.example"), std::exception);

  mailtest::useTestProvider("good");
  provider = mailhostctl::loadMailProvider();
  // A vexception made by the provider's own copy of the support library is
  // caught as the program's vexception.
  try {
    provider->getMailbox(L"vbroken", L"a.example");
    FAIL() << "no exception";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"mailbox vbroken is unreadable");
  }
}
