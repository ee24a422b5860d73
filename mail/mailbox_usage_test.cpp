#include "mail/mailbox_usage.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/business_lock.h"
#include "mail/testing/mail_test_support.h"
#include "support/testing/testenv.h"

using mailtest::addDomain;
using mailtest::LogCapture;
using mailtest::occurrences;

namespace {

class MailboxUsageTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  DomainModel model;

  // Runs the step over the model; returns the results document.
  std::string runStep() {
    mailtest::ResultsFile results(install.path("results.xml"));
    runMailboxUsageStep(results.writer, model);
    return results.finish();
  }
};

}  // namespace

TEST_F(MailboxUsageTest, MeasuresEveryMailboxAndWritesOneElementEach) {
  mailtest::useTestProvider("good");
  DomainInfo& a = addDomain(model, L"1", L"a.example", true, {L"sales", L"info"});
  DomainInfo& b = addDomain(model, L"2", L"b.example");
  LogCapture log({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  const std::string doc = runStep();

  EXPECT_EQ(a.mailboxUsage.at(L"info"), 4009u);
  EXPECT_EQ(a.mailboxUsage.at(L"sales"), 5009u);
  EXPECT_TRUE(b.mailboxUsage.empty()) << "a domain without mailboxes stores nothing";
  EXPECT_NE(doc.find("<mail dom-id=\"1\" name=\"info\" value=\"4009\"/><mail dom-id=\"1\" name=\"sales\" value=\"5009\"/>"), std::string::npos)
      << doc;
  EXPECT_EQ(occurrences(doc, "<mail "), 2u) << doc;

  const std::string text = log.text();
  EXPECT_NE(text.find("Mailbox usage for domain a.example\nCalculate mailbox usage for a.example...\n"
                      "Calculate mailbox usage for sales@a.example...\nCalculate mailbox usage for info@a.example..."),
            std::string::npos)
      << "mailboxes are measured in configuration order:\n" << text;
  EXPECT_NE(text.find("Mailbox usage for domain b.example"), std::string::npos);
  EXPECT_EQ(text.find("Warning"), std::string::npos);
  EXPECT_EQ(text.find("Error"), std::string::npos) << text;
  // The domains' locks were released.
  uint32_t status = 7;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"MailBoxUsageStatus", status, RegView32);
  EXPECT_EQ(status, 0u);
}

TEST_F(MailboxUsageTest, AFailingMailboxIsReportedAndTheOthersAreMeasured) {
  mailtest::useTestProvider("good");
  DomainInfo& a = addDomain(model, L"1", L"a.example", true, {L"info", L"broken", L"vbroken", L"sales"});
  std::string text;
  {
    LogCapture log({LogLevel::Warning, LogLevel::Error});
    runStep();
    text = log.text();
  }
  EXPECT_EQ(a.mailboxUsage.size(), 2u);
  EXPECT_EQ(a.mailboxUsage.count(L"broken"), 0u);
  EXPECT_EQ(a.mailboxUsage.at(L"sales"), 5009u);
  EXPECT_NE(text.find("mailbox broken is unreadable\n   at Calculate mailbox usage for broken@a.example(statistics::calculateMailBoxUsage line "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("mailbox vbroken is unreadable\n   at (TestProvider::getMailbox line "), std::string::npos) << text;
  EXPECT_NE(text.find("   at Calculate mailbox usage for vbroken@a.example(statistics::calculateMailBoxUsage line "), std::string::npos) << text;
  EXPECT_EQ(text.find("Error"), std::string::npos) << "a mailbox failure is a warning:\n" << text;
}

TEST_F(MailboxUsageTest, AProviderWithoutMailboxSizesWarnsOncePerRun) {
  mailtest::useTestProvider("no_feature");
  for (int i = 1; i <= 3; ++i) addDomain(model, std::to_wstring(i), L"d" + std::to_wstring(i) + L".example", true, {L"info"});
  LogCapture log({LogLevel::Warning, LogLevel::Error});
  const std::string doc = runStep();
  EXPECT_EQ(occurrences(log.text(), "Mail server does not support calculating mail disk usage."), 1u) << log.text();
  EXPECT_EQ(occurrences(doc, "<mail "), 0u);
  for (const auto& [id, d] : model.domainsById) EXPECT_TRUE(d->mailboxUsage.empty());
}

TEST_F(MailboxUsageTest, NotCountingMailDiskUsageSkipsOnlyForExactlyTrue) {
  // A provider that cannot load shows whether a load was tried.
  mailtest::useProvider(install.path("missing/libprovider.so"));
  addDomain(model, L"1", L"a.example", true, {L"info"});
  addDomain(model, L"2", L"b.example", true, {L"info"});
  model.params[L"not_count_mail_disk_usage"] = L"true";
  {
    LogCapture log({LogLevel::Warning, LogLevel::Error});
    const std::string doc = runStep();
    EXPECT_EQ(occurrences(log.text(), "Calculating mail disk usage is been skipping due to mail disk usage has not been counted."), 1u)
        << log.text();
    EXPECT_EQ(log.text().find("Error"), std::string::npos) << "no provider is loaded:\n" << log.text();
    EXPECT_EQ(occurrences(doc, "<mail "), 0u);
  }
  mailtest::useTestProvider("good");
  model.params[L"not_count_mail_disk_usage"] = L"TRUE";
  LogCapture log({LogLevel::Warning, LogLevel::Error});
  const std::string doc = runStep();
  EXPECT_EQ(occurrences(doc, "<mail "), 2u) << doc;
  EXPECT_EQ(log.text(), "");
}

TEST_F(MailboxUsageTest, AProviderThatCannotServeFailsEachDomainAndTheStepGoesOn) {
  addDomain(model, L"1", L"a.example", true, {L"info"});
  addDomain(model, L"2", L"b.example", true, {L"info"});
  const std::string missing = install.path("missing/libprovider.so");
  mailtest::useProvider(missing);
  {
    LogCapture log({LogLevel::Error});
    runStep();
    const std::string text = log.text();
    EXPECT_EQ(occurrences(text, "Unable to load library " + missing), 2u) << text;
    EXPECT_NE(text.find("   at Load mail provider(mailhostctl::imailhostctlprovider::load line "), std::string::npos) << text;
    EXPECT_NE(text.find("   at calculateMailBoxUsage domainName=a.example(statistics::calculateMailBoxUsage line "), std::string::npos) << text;
    EXPECT_NE(text.find("   at Calculate domain a.example mailbox usage(statistics::start line "), std::string::npos) << text;
    EXPECT_NE(text.find("   at Calculate domain b.example mailbox usage(statistics::start line "), std::string::npos) << text;
  }
  mailtest::useTestProvider("null");
  LogCapture log({LogLevel::Error});
  runStep();
  EXPECT_EQ(occurrences(log.text(), "Library " + mailtest::pluginPath("mail_test_provider_null") + " is corrupt"), 2u) << log.text();

  // Calls that throw only cost their mailboxes.
  mailtest::useTestProvider("throwing");
  LogCapture warnings({LogLevel::Warning, LogLevel::Error});
  runStep();
  EXPECT_EQ(occurrences(warnings.text(), "the test provider cannot reach its mail server\n   at Calculate mailbox usage for info@"), 2u)
      << warnings.text();
  EXPECT_EQ(warnings.text().find("Error"), std::string::npos);
}

TEST_F(MailboxUsageTest, ADomainLockedByAnotherLiveProcessIsSkippedSilently) {
  mailtest::useTestProvider("good");
  DomainInfo& a = addDomain(model, L"1", L"a.example", true, {L"info"});
  DomainInfo& b = addDomain(model, L"2", L"b.example", true, {L"info"});
  // A live process of its own holds the lock: a shell that prints its id and
  // then waits on its input.
  testenv::Child holder("/bin/sh", {"-c", "echo $$; exec cat"});
  const uint32_t holderPid = static_cast<uint32_t>(std::stoul(holder.readLine()));
  ASSERT_NE(holderPid, 0u);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"MailBoxUsageStatus", holderPid, RegView32);

  LogCapture log({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  const std::string doc = runStep();
  EXPECT_TRUE(a.mailboxUsage.empty());
  EXPECT_EQ(b.mailboxUsage.size(), 1u);
  EXPECT_EQ(doc.find("dom-id=\"1\""), std::string::npos) << doc;
  EXPECT_EQ(log.text().find("a.example"), std::string::npos) << "skipped without a message:\n" << log.text();
  uint32_t status = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"1"), L"MailBoxUsageStatus", status, RegView32);
  EXPECT_EQ(status, holderPid) << "another process's lock is left alone";
}

TEST(MailboxUsageCrashTest, AProviderThatFaultsEndsTheProcessWithACrashReport) {
  testkit::Installation install;
  const std::string dumps = install.path("dumps");
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"CrashDumpsEnabled", 1);
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"CrashDumpsLocation", text::fromAnsi(dumps));
  mailtest::useTestProvider("crashing");
  const auto crashed = testkit::runProgram(testkit::programPath("mail_test_child"), {}, install.environment());
  EXPECT_EQ(crashed.exitCode, 1) << crashed.output;
  int reports = 0;
  for (const auto& e : std::filesystem::directory_iterator(dumps)) reports += e.path().extension() == ".dmp";
  EXPECT_EQ(reports, 1);

  // The same child with a working provider completes its document.
  mailtest::useTestProvider("good");
  const auto fine = testkit::runProgram(testkit::programPath("mail_test_child"), {}, install.environment());
  EXPECT_EQ(fine.exitCode, 0) << fine.output;
  EXPECT_NE(fine.output.find("<mail dom-id=\"1\" name=\"info\" value=\"4013\"/>"), std::string::npos) << fine.output;
}
