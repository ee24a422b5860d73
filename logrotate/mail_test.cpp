#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "logrotate/logrotate.h"
#include "logrotate/mail_message.h"
#include "logrotate/smtp_session.h"
#include "logrotate/test_support.h"
#include "support/registry.h"
#include "support/text.h"

using halvex::logging::LogStorage;
using lrtest::makeFile;
using lrtest::names;
using Names = std::vector<std::string>;

namespace {

constexpr int64_t kDay = 86400;

std::wstring w(const std::string& s) { return text::fromUtf8(s); }

void rotate(const DomainInfo& d, LogStorage& storage) { logrotate(&storage).start(d, L"admin@demo.example", L"Demo Admin"); }

bool contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

}  // namespace

TEST(LogMailTest, MailsEachDroppedLogAsAnAttachmentFromTheAdministrator) {
  testkit::Installation install;
  lrtest::SmtpServer server;
  lrtest::configureMail(server.port());
  const std::string logs = install.path("logs");
  std::string binary(70000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 % 256);
  makeFile(logs + "/access.log.rotated", binary, 2 * kDay);
  makeFile(logs + "/error.log.rotated", "line one\nline two\n", 3 * kDay);
  LogStorage storage;
  rotate(*lrtest::domain(L"beta.example", {logs}, L"daily", 0, false, L"logs@beta.example"), storage);

  const auto mails = server.messages();
  ASSERT_EQ(mails.size(), 2u) << "one message per dropped log";
  std::map<std::string, std::string> attached;
  for (const auto& m : mails) {
    EXPECT_EQ(m.envelopeFrom, "admin@demo.example");
    EXPECT_EQ(m.envelopeTo, Names{"logs@beta.example"});
    EXPECT_EQ(m.fromRaw, "\"Demo Admin\" <admin@demo.example>");
    ASSERT_EQ(m.parts.size(), 2u);
    EXPECT_TRUE(contains(m.parts[0].type, "text/plain")) << m.parts[0].type;
    EXPECT_TRUE(contains(m.parts[0].type, "UTF-8")) << m.parts[0].type;
    EXPECT_EQ(m.parts[0].encoding, "8bit");
    EXPECT_EQ(m.parts[0].content, "");
    EXPECT_EQ(m.parts[1].disposition, "attachment");
    EXPECT_EQ(m.parts[1].encoding, "base64");
    EXPECT_EQ(m.subject, "Domain beta.example log " + m.parts[1].filename);
    attached[m.parts[1].filename] = m.parts[1].content;
  }
  EXPECT_EQ(attached["access.log.rotated"], binary);
  EXPECT_EQ(attached["error.log.rotated"], "line one\nline two\n");
  EXPECT_TRUE(storage.contains(w(logs + "/access.log.rotated")));
  EXPECT_TRUE(storage.contains(w(logs + "/error.log.rotated")));
}

TEST(LogMailTest, AnEmptyAddressMailsNothingAndStillHandsTheLogOver) {
  testkit::Installation install;
  lrtest::configureMail(lrtest::closedPort());
  const std::string logs = install.path("logs");
  makeFile(logs + "/old.log.rotated", "r", 2 * kDay);
  LogStorage storage;
  lrtest::LogCapture capture;
  rotate(*lrtest::domain(L"alpha.example", {logs}, L"daily", 0), storage);
  EXPECT_TRUE(storage.contains(w(logs + "/old.log.rotated")));
  EXPECT_FALSE(contains(capture.text(), "Send mail")) << capture.text();
}

TEST(LogMailTest, AFailedDeliveryKeepsTheLogAndReportsItInTheDomainsUnicodeForm) {
  testkit::Installation install;
  lrtest::SmtpServer server(lrtest::SmtpOptions{.refuse = {"refused@beta.example"}, .user = {}, .password = {}, .certFile = {}, .keyFile = {}});
  const std::string logs = install.path("logs");
  makeFile(logs + "/access.log.rotated", "a", 2 * kDay);
  LogStorage storage;
  for (const int port : {server.port(), lrtest::closedPort()}) {
    lrtest::configureMail(port);
    lrtest::LogCapture capture;
    rotate(*lrtest::domain(L"xn--bcher-kva.example", {logs}, L"daily", 0, false, L"refused@beta.example"), storage);
    const std::string text = capture.text();
    EXPECT_TRUE(contains(text, "Process domain b\u00fccher.example log access.log.rotated")) << text;
    EXPECT_TRUE(contains(text, "Send log access.log.rotated for domain b\u00fccher.example to refused@beta.example")) << text;
    EXPECT_TRUE(contains(text, std::to_string(port))) << "the failure names the server: " << text;
    EXPECT_EQ(names(logs), Names{"access.log.rotated"});
    EXPECT_EQ(storage.size(), 0u) << "kept for the next run";
  }
  EXPECT_TRUE(server.messages().empty());
  EXPECT_TRUE(contains(lrtest::eventLog(install), "error\t")) << "a failed delivery is an error";
}

TEST(LogMailTest, ThePunycodeNameStaysAsStoredInTheSubject) {
  testkit::Installation install;
  lrtest::SmtpServer server;
  lrtest::configureMail(server.port());
  const std::string logs = install.path("logs");
  makeFile(logs + "/a.log", "a", 2 * kDay);
  logrotate::_sendLogByEmail(L"logs@example.com", L"xn--bcher-kva.example", w(logs + "/a.log"), L"admin@demo.example", L"Demo Admin");
  const auto mails = server.messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "Domain xn--bcher-kva.example log a.log");
}

TEST(LogMailTest, ANonAsciiSenderNameStillLeavesAValidEnvelopeSender) {
  testkit::Installation install;
  lrtest::SmtpServer server;
  lrtest::configureMail(server.port());
  const std::string logs = install.path("logs");
  makeFile(logs + "/a.log", "a", 2 * kDay);
  logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/a.log"), L"admin@demo.example", L"J\u00fcrgen M\u00fcller");
  const auto mails = server.messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].envelopeFrom, "admin@demo.example");
  EXPECT_EQ(mails[0].fromHeader, "J\u00fcrgen M\u00fcller <admin@demo.example>");
  EXPECT_TRUE(contains(mails[0].fromRaw, "=?UTF-8?")) << mails[0].fromRaw;
}

TEST(LogMailTest, NeverAttachesWhatALinkPointsTo) {
  testkit::Installation install;
  lrtest::SmtpServer server;
  lrtest::configureMail(server.port());
  const std::string logs = install.path("logs"), outside = install.path("outside");
  makeFile(outside + "/shadow", "root:secret", 2 * kDay);
  std::filesystem::create_directories(logs);
  ASSERT_EQ(symlink((outside + "/shadow").c_str(), (logs + "/access.log.rotated").c_str()), 0);
  try {
    logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/access.log.rotated"), L"admin@demo.example", L"Demo Admin");
    FAIL() << "a link was mailed";
  } catch (const vexception& e) {
    EXPECT_EQ(e.trace().back().context, L"Send log access.log.rotated for domain example.com to logs@example.com");
  }
  LogStorage storage;
  rotate(*lrtest::domain(L"example.com", {logs}, L"daily", 0, false, L"logs@example.com"), storage);
  EXPECT_TRUE(server.messages().empty());
  EXPECT_EQ(storage.size(), 0u);
  EXPECT_EQ(names(logs), Names{"access.log.rotated"});
}

TEST(LogMailTest, LogsInWithLoginWhenTheServerOffersLoginAndPlain) {
  testkit::Installation install;
  lrtest::SmtpServer server(lrtest::SmtpOptions{.refuse = {}, .user = "mailer", .password = "s3cret", .certFile = {}, .keyFile = {}});
  lrtest::configureMail(server.port(), 0, L"mailer");
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Secrets", L"mailMessageSendAuthPassword", L"s3cret");
  const std::string logs = install.path("logs");
  makeFile(logs + "/a.log", "a", 2 * kDay);
  lrtest::LogCapture capture;
  try {
    logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/a.log"), L"admin@demo.example", L"Demo \"Boss\"");
  } catch (const vexception& e) {
    FAIL() << text::toUtf8(e.fullText());
  }
  auto mails = server.messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].loginMechanism, "LOGIN");
  EXPECT_EQ(mails[0].loginUser, "mailer");
  EXPECT_EQ(mails[0].fromRaw, "\"Demo \\\"Boss\\\"\" <admin@demo.example>") << "quotes in the name are escaped";

  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Secrets", L"mailMessageSendAuthPassword", L"wrong-password");
  EXPECT_THROW(logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/a.log"), L"admin@demo.example", L"Demo Admin"), vexception);
  registry::deleteValue(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Secrets", L"mailMessageSendAuthPassword");
  EXPECT_THROW(logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/a.log"), L"admin@demo.example", L"Demo Admin"), vexception);
  EXPECT_EQ(server.messages().size(), 1u);
  EXPECT_TRUE(contains(capture.text(), "HalvexSrvClient::getPassword(mailMessageSendAuthPassword)")) << "a missing password is a warning";
  EXPECT_FALSE(contains(capture.text(), "s3cret"));
  EXPECT_FALSE(contains(capture.text(), "wrong-password"));
  EXPECT_FALSE(contains(lrtest::eventLog(install), "s3cret"));
}

TEST(LogMailTest, PicksTheStrongestLoginMethodTheServerOffers) {
  EXPECT_EQ(chooseLoginMethod("250-mail.example\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n"), SmtpLogin::Login);
  EXPECT_EQ(chooseLoginMethod("250-mail.example\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 OK\r\n"), SmtpLogin::CramMd5);
  EXPECT_EQ(chooseLoginMethod("250-mail.example\r\n250-AUTH=PLAIN CRAM-SHA1\r\n250 OK\r\n"), SmtpLogin::CramSha1);
  EXPECT_EQ(chooseLoginMethod("250-mail.example\r\n250 auth plain\r\n"), SmtpLogin::Plain);
  EXPECT_EQ(chooseLoginMethod("250-LOGIN.example greets you\r\n250 SIZE 100\r\n"), SmtpLogin::None) << "only the AUTH lines count";
}

TEST(LogMailTest, WithTlsRequiredSendsOnlyOverAVerifiedTlsSession) {
  testkit::Installation install;
  const std::string cert = install.path("cert.pem"), key = install.path("key.pem");
  lrtest::makeCertificate(cert, key);
  const std::string logs = install.path("logs");
  makeFile(logs + "/a.log", "over tls", 2 * kDay);
  const auto send = [&] {
    logrotate::_sendLogByEmail(L"logs@example.com", L"example.com", w(logs + "/a.log"), L"admin@demo.example", L"Demo Admin");
  };

  lrtest::SmtpServer tls(lrtest::SmtpOptions{.refuse = {}, .user = {}, .password = {}, .certFile = cert, .keyFile = key});
  lrtest::configureMail(tls.port(), 1, L"", w(cert));
  send();
  ASSERT_EQ(tls.messages().size(), 1u);
  EXPECT_TRUE(tls.messages()[0].tls);
  EXPECT_EQ(tls.messages()[0].parts.at(1).content, "over tls");

  lrtest::configureMail(tls.port(), 1);
  EXPECT_THROW(send(), vexception) << "a certificate no trusted authority signed";
  EXPECT_EQ(tls.messages().size(), 1u);

  lrtest::SmtpServer plain;
  lrtest::configureMail(plain.port(), 1, L"", w(cert));
  try {
    send();
    FAIL() << "sent without TLS";
  } catch (const vexception& e) {
    EXPECT_TRUE(contains(text::toUtf8(e.message()), "STARTTLS")) << text::toUtf8(e.fullText());
  }
  EXPECT_TRUE(plain.messages().empty());

  lrtest::configureMail(plain.port(), 2);
  send();
  ASSERT_EQ(plain.messages().size(), 1u) << "\"mailMessageSendSSL\" = 2 is not secure";
  EXPECT_FALSE(plain.messages()[0].tls);
}

TEST(LogMailTest, AMessageWithoutRecipientIsRefused) {
  testkit::Installation install;
  MailContent content;
  content.senderAddress = L"admin@demo.example";
  content.subject = L"s";
  PocoMailMessage message(std::move(content));
  try {
    message.send();
    FAIL() << "sent";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"No one recipient specified");
  }
}

// A tenant names a log so that its name would end the Subject and the
// attachment headers and start headers (and a body) of its choosing. The
// name arrives as one visible name: control characters as their pictures,
// in encoded words, and the message has exactly the headers it is meant to.
TEST(LogMailTest, ALogNameWithLineBreaksInjectsNoHeader) {
  testkit::Installation install;
  lrtest::SmtpServer server;
  lrtest::configureMail(server.port());
  const std::string logs = install.path("logs");
  const std::string name = "b\r\nBcc: victim@else.example\r\n\r\nbody\x1b[2J.rotated";
  makeFile(logs + "/" + name, "the log\n", 2 * kDay);
  LogStorage storage;
  rotate(*lrtest::domain(L"beta.example", {logs}, L"daily", 0, false, L"logs@beta.example"), storage);

  const auto mails = server.messages();
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_EQ(m.envelopeTo, Names{"logs@beta.example"});
  const std::string headers = m.raw.substr(0, m.raw.find("\r\n\r\n"));
  EXPECT_FALSE(contains(m.raw, "\nBcc:")) << m.raw;
  EXPECT_FALSE(contains(m.raw, "\x1b")) << m.raw;
  for (size_t at = 0; (at = headers.find('\n', at)) != std::string::npos; ++at) {
    // Each header line is a header of ours or the folded continuation of one.
    const std::string line = headers.substr(at + 1, headers.find('\n', at + 1) - at - 1);
    EXPECT_TRUE(line.starts_with(" ") || line.starts_with("\t") || line.starts_with("From:") || line.starts_with("To:") ||
                line.starts_with("Subject:") || line.starts_with("Date:") || line.starts_with("Content-") || line.starts_with("Mime-") ||
                line.starts_with("MIME-") || line.starts_with("Message-"))
        << line;
  }
  const std::string shown = "b\u240d\u240aBcc: victim@else.example\u240d\u240a\u240d\u240abody\u241b[2J.rotated";
  EXPECT_EQ(m.subject, "Domain beta.example log " + shown);
  ASSERT_EQ(m.parts.size(), 2u);
  EXPECT_EQ(m.parts[1].filename, shown);
  EXPECT_EQ(m.parts[1].content, "the log\n");
  EXPECT_TRUE(storage.contains(w(logs + "/" + name)));
}
