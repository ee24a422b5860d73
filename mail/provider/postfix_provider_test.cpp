#include "mail/provider/postfix_provider.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>

#include "mail/provider_loader.h"
#include "mail/testing/mail_log_builder.h"
#include "mail/testing/mail_test_support.h"
#include "support/testing/testenv.h"

using mailprovider::unixTime;
using mailprovider::UnixTime;
using mailtest::describe;
using mailtest::MailLogBuilder;

namespace {

void setLastWrite(const std::string& path, UnixTime t) {
  std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{t}}));
}

void writeGzip(const std::string& path, const std::string& content) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_TRUE(gz);
  ASSERT_EQ(gzwrite(gz, content.data(), static_cast<unsigned>(content.size())), static_cast<int>(content.size()));
  gzclose(gz);
}

mailhostctl::MailDateTime windowTime(UnixTime t) { return mailprovider::mailDateTime(t); }

class PostfixProviderTest : public ::testing::Test {
 protected:
  testenv::ScopedEnv tz{"TZ", std::string("UTC")};
  testkit::Installation install;
  std::string logs = install.path("log");
  const UnixTime start = unixTime(2024, 2, 28, 6, 0, 0), end = unixTime(2024, 3, 1, 18, 0, 0);
  // Daily rotations at 06:25, the oldest compressed.
  const UnixTime rotation1 = unixTime(2024, 2, 28, 6, 25, 0), rotation2 = unixTime(2024, 3, 1, 6, 25, 0);
  MailLogBuilder builder{start, end, {"alpha.example", "beta.example"}};

  void SetUp() override {
    tzset();
    std::filesystem::create_directories(logs);
    for (int day = 27; day <= 29; ++day) builder.randomDay(2024, 2, day, 300);
    builder.randomDay(2024, 3, 1, 300);
    writeGzip(logs + "/mail.log.2.gz", builder.classicLog(mailprovider::kBeginningOfTime, rotation1));
    setLastWrite(logs + "/mail.log.2.gz", rotation1);
    testkit::writeFile(logs + "/mail.log.1", builder.classicLog(rotation1, rotation2));
    setLastWrite(logs + "/mail.log.1", rotation2);
    testkit::writeFile(logs + "/mail.log", builder.classicLog(rotation2, end + 3600));
    setLastWrite(logs + "/mail.log", end + 3600);
    // Neither read nor reported: other names, a link, and a log last written
    // long before the window (its lines would be counted twice if read).
    testkit::writeFile(logs + "/mail.err", builder.classicLog());
    testkit::writeFile(logs + "/mail.log.1.old", builder.classicLog());
    std::filesystem::create_symlink(logs + "/mail.log.1", logs + "/mail.log.3");
    testkit::writeFile(logs + "/mail.log.4", builder.classicLog(rotation1, rotation2));
    setLastWrite(logs + "/mail.log.4", unixTime(2024, 2, 26, 6, 25, 0));
  }
  void TearDown() override { tzset(); }

  mailprovider::ProviderSettings settings(bool retire) {
    mailprovider::ProviderSettings s;
    s.mailLog = text::fromAnsi(logs + "/mail.log");
    s.retireRotatedLogs = retire;
    return s;
  }

  struct Outcome {
    mailhostctl::MailTrafficRequest request{{L"alpha.example", {}}, {L"beta.example", {}}};
    std::vector<std::wstring> consumed;
    mailhostctl::MailMessagesSent messages;
  };
  Outcome count(mailhostctl::IMailHostCtlProvider& provider) {
    Outcome o;
    provider.getMailTraffic(windowTime(start), windowTime(end), o.request, o.consumed, o.messages);
    return o;
  }
};

}  // namespace

TEST_F(PostfixProviderTest, CountsRotatedAndCompressedLogsToTheGeneratedFigures) {
  mailtest::LogCapture log({LogLevel::Info, LogLevel::Warning});
  mailprovider::PostfixDovecotProvider provider(settings(false));
  const Outcome o = count(provider);
  mailtest::Figures figures;
  for (const auto& [name, days] : o.request)
    if (!days.empty()) figures[name] = days;
  EXPECT_EQ(describe(figures), describe(builder.expected()));
  EXPECT_EQ(describe(o.messages), describe(builder.expectedMessages()));
  EXPECT_TRUE(o.consumed.empty()) << "logs are only retired when the operator asks for it";

  const std::string text = log.text();
  const size_t oldest = text.find("Read mail log " + logs + "/mail.log.2.gz\n"), middle = text.find("Read mail log " + logs + "/mail.log.1\n"),
               active = text.find("Read mail log " + logs + "/mail.log\n");
  ASSERT_NE(active, std::string::npos) << text;
  EXPECT_LT(oldest, middle) << "oldest first:\n" << text;
  EXPECT_LT(middle, active) << text;
  EXPECT_EQ(text.find("mail.log.4"), std::string::npos) << "a log older than the window is not read:\n" << text;
  EXPECT_EQ(text.find("mail.err"), std::string::npos);
  EXPECT_EQ(text.find("mail.log.3"), std::string::npos);
  EXPECT_NE(text.find("lines of the mail log " + logs + "/mail.log.1 that could not be read"), std::string::npos) << text;
}

TEST_F(PostfixProviderTest, RetiresRotatedLogsWhollyBeforeTheWindowsEndAndNotInUse) {
  mailprovider::PostfixDovecotProvider provider(settings(true));
  {
    // Another process still has the file open.
    testenv::Child holder("/bin/sh", {"-c", "exec 3<\"$0\"; echo ready; exec cat", logs + "/mail.log.1"});
    ASSERT_EQ(holder.readLine(), "ready");
    const Outcome o = count(provider);
    ASSERT_EQ(o.consumed.size(), 1u);
    EXPECT_EQ(o.consumed[0], text::fromAnsi(logs + "/mail.log.2.gz"));
  }
  // Lines before the window's start were counted by the windows before: at
  // nightly cadence every rotated file goes once its lines are counted.
  const Outcome o = count(provider);
  ASSERT_EQ(o.consumed.size(), 2u);
  EXPECT_EQ(o.consumed[0], text::fromAnsi(logs + "/mail.log.2.gz"));
  EXPECT_EQ(o.consumed[1], text::fromAnsi(logs + "/mail.log.1")) << "mail.log is still written";
}

TEST_F(PostfixProviderTest, TheBuiltPluginReadsItsSettingsFromTheRegistry) {
  const std::string mailRoot = install.path("vmail");
  const std::string box = mailRoot + "/alpha.example/info/Maildir";
  for (const char* sub : {"/cur", "/new", "/tmp"}) std::filesystem::create_directories(box + sub);
  testkit::writeFile(box + "/cur/1:2,S", std::string(1500, 'a'));
  testkit::writeFile(box + "/new/2", std::string(25, 'b'));
  registry::setString(HKEY_LOCAL_MACHINE, mailprovider::kProviderKey, L"MailRoot", text::fromAnsi(mailRoot));
  registry::setString(HKEY_LOCAL_MACHINE, mailprovider::kProviderKey, L"MailLog", text::fromAnsi(logs + "/mail.log"));

  mailhostctl::ProviderPtr provider = mailhostctl::loadMailProviderFrom(text::fromAnsi(mailtest::pluginPath("halvex_mailprovider")));
  EXPECT_TRUE(provider->isSupported(mailhostctl::FeatureMailboxDiskUsage));
  EXPECT_FALSE(provider->isSupported(1));
  mailhostctl::MailboxPtr mailbox(provider->getMailbox(L"info", L"alpha.example"));
  EXPECT_EQ(mailbox->size(), 1525u);
  EXPECT_EQ(mailhostctl::MailboxPtr(provider->getMailbox(L"nobody", L"alpha.example"))->size(), 0u) << "never used";
  std::filesystem::create_directories(mailRoot + "/alpha.example/half/Maildir/new");
  EXPECT_THROW(provider->getMailbox(L"half", L"alpha.example"), vexception);

  const Outcome o = count(*provider);
  EXPECT_EQ(describe(o.messages), describe(builder.expectedMessages()));
  EXPECT_TRUE(o.consumed.empty()) << "retiring is off unless set";
}

TEST(PostfixProviderSettingsTest, DefaultsApplyToMissingValues) {
  testkit::Installation install;
  mailprovider::ProviderSettings s = mailprovider::readProviderSettings();
  EXPECT_EQ(s.mailRoot, L"/var/mail/vhosts");
  EXPECT_EQ(s.mailLog, L"/var/log/mail.log");
  EXPECT_FALSE(s.retireRotatedLogs);
  registry::setDword(HKEY_LOCAL_MACHINE, mailprovider::kProviderKey, L"RetireRotatedLogs", 1);
  registry::setString(HKEY_LOCAL_MACHINE, mailprovider::kProviderKey, L"MailLog", L"/srv/log/maillog");
  s = mailprovider::readProviderSettings();
  EXPECT_TRUE(s.retireRotatedLogs);
  EXPECT_EQ(s.mailLog, L"/srv/log/maillog");
}

TEST(MailLogFilesTest, ReadsJoinedGzipMembersAndCutsOverlongLines) {
  testkit::TempDir dir;
  const std::string path = dir.file("mail.log.2.gz");
  std::string joined;
  for (const std::string& part : std::vector<std::string>{"one\ntwo\n", "three\r\n" + std::string(100, 'x') + "\nlast"}) {
    const std::string member = dir.file("member.gz");
    writeGzip(member, part);
    joined += testkit::readFile(member);
  }
  testkit::writeFile(path, joined);
  std::vector<std::string> lines;
  auto read = [&](const std::string& p) {
    mailprovider::OpenedMailLog log{{text::fromAnsi(p), true, mailprovider::Compression::Gzip}, vfs::openRead(text::fromAnsi(p))};
    return mailprovider::readLines(log, [&](std::string_view l) { lines.emplace_back(l); }, 10);
  };
  EXPECT_EQ(read(path).overlong, 1u);
  ASSERT_EQ(lines.size(), 4u) << "an overlong line is skipped whole, never cut";
  EXPECT_EQ(lines[0], "one");
  EXPECT_EQ(lines[2], "three\r");
  EXPECT_EQ(lines[3], "last");

  testkit::writeFile(path, joined.substr(0, joined.size() - 12));
  EXPECT_THROW(read(path), vexception);
  testkit::writeFile(path, "not gzip data at all");
  EXPECT_THROW(read(path), vexception);
}
