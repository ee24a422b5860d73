#include "mail/provider/mail_log_accounting.h"

#include <gtest/gtest.h>

#include <sstream>

#include "mail/testing/mail_log_builder.h"
#include "support/testing/testenv.h"

using mailprovider::MailLogAccounting;
using mailprovider::unixTime;
using mailtest::describe;
using mailtest::MailLogBuilder;

namespace {

const std::vector<std::wstring> kRequested = {L"alpha.example", L"beta.example"};

class MailLogAccountingTest : public ::testing::Test {
 protected:
  testenv::ScopedEnv tz{"TZ", std::string("UTC")};
  void SetUp() override { tzset(); }
  void TearDown() override { tzset(); }

  static void feed(MailLogAccounting& accounting, const std::string& log) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) accounting.addLine(line);
  }
};

}  // namespace

TEST_F(MailLogAccountingTest, CountsEveryDomainAndDayOfAGeneratedLogExactly) {
  const auto start = unixTime(2024, 2, 28, 6, 0, 0), end = unixTime(2024, 3, 1, 18, 0, 0);
  MailLogBuilder log(start, end, {"alpha.example", "beta.example"});
  for (int day = 27; day <= 29; ++day) log.randomDay(2024, 2, day, 400);
  log.randomDay(2024, 3, 1, 400);
  log.randomDay(2024, 3, 2, 50);
  ASSERT_GT(log.expected().size(), 1u);
  ASSERT_GT(log.expectedUnreadable(), 5u);

  MailLogAccounting classic(start, end, kRequested);
  feed(classic, log.classicLog());
  EXPECT_EQ(describe(classic.traffic()), describe(log.expected()));
  EXPECT_EQ(describe(classic.messagesSent()), describe(log.expectedMessages()));
  EXPECT_EQ(classic.takeFileCounts().unreadable, log.expectedUnreadable());

  MailLogAccounting rfc3339(start, end, kRequested);
  feed(rfc3339, log.rfc3339Log(3600));
  EXPECT_EQ(describe(rfc3339.traffic()), describe(log.expected()));
  EXPECT_EQ(describe(rfc3339.messagesSent()), describe(log.expectedMessages()));
}

TEST_F(MailLogAccountingTest, CountsAMessageOnceAcrossRetriesAndFilters) {
  const auto start = unixTime(2024, 3, 1, 0, 0, 0), end = unixTime(2024, 3, 2, 0, 0, 0);
  MailLogAccounting accounting(start, end, kRequested);
  feed(accounting,
       "Mar  1 10:00:00 mx postfix/submission/smtpd[1]: 4F00000001: client=c[198.51.100.7], sasl_method=PLAIN, sasl_username=info@alpha.example\n"
       "Mar  1 10:00:00 mx postfix/cleanup[2]: 4F00000001: message-id=<a@alpha.example>\n"
       "Mar  1 10:00:00 mx postfix/qmgr[3]: 4F00000001: from=<info@alpha.example>, size=1000, nrcpt=2 (queue active)\n"
       "Mar  1 10:00:01 mx postfix/smtp[4]: 4F00000001: to=<bob@remote.net>, relay=mx.remote.net[198.51.100.1]:25, delay=1, "
       "delays=0/0/0/1, dsn=2.0.0, status=sent (250 OK)\n"
       "Mar  1 10:00:01 mx postfix/smtp[4]: 4F00000001: to=<carol@remote.net>, relay=mx.remote.net[198.51.100.1]:25, delay=1, "
       "delays=0/0/0/1, dsn=2.0.0, status=sent (250 OK)\n"
       "Mar  1 10:00:01 mx postfix/smtp[4]: 4F00000001: to=<dave@other.org>, relay=none, delay=30, delays=0/0/30/0, dsn=4.4.1, "
       "status=deferred (connect to mx.other.org[198.51.100.2]:25: Connection timed out)\n"
       "Mar  1 14:00:00 mx postfix/qmgr[3]: 4F00000001: from=<info@alpha.example>, size=1000, nrcpt=2 (queue active)\n"
       "Mar  1 14:00:01 mx postfix/smtp[4]: 4F00000001: to=<dave@other.org>, relay=mx.other.org[198.51.100.2]:25, delay=1, "
       "delays=0/0/0/1, dsn=2.0.0, status=sent (250 OK)\n"
       "Mar  1 14:00:01 mx postfix/qmgr[3]: 4F00000001: removed\n"
       // A retry of a message that entered before these logs: not a new message.
       "Mar  1 15:00:00 mx postfix/qmgr[3]: 4F00000002: from=<info@alpha.example>, size=7000, nrcpt=1 (queue active)\n"
       "Mar  1 15:00:01 mx postfix/virtual[5]: 4F00000002: to=<office@beta.example>, relay=virtual, delay=1, delays=0/0/0/1, dsn=2.0.0, "
       "status=sent (delivered to maildir)\n");
  const auto& traffic = accounting.traffic();
  const auto& alpha = traffic.at(L"alpha.example").at({2024, 3, 1});
  EXPECT_EQ(alpha.smtpOutReceived, 1000u) << "one message, whatever its retries";
  EXPECT_EQ(alpha.smtpOutSent, 2000u) << "once per relay it was handed to";
  EXPECT_EQ(accounting.messagesSent().at({2024, 3, 1}), 1u);
  EXPECT_EQ(traffic.at(L"beta.example").at({2024, 3, 1}).smtpInReceived, 7000u) << "its delivery still counts";
  EXPECT_EQ(accounting.takeFileCounts().unreadable, 0u);
}

TEST_F(MailLogAccountingTest, OnlyLinesInsideTheWindowCount) {
  const auto start = unixTime(2024, 3, 1, 10, 0, 0), end = unixTime(2024, 3, 1, 11, 0, 0);
  MailLogAccounting accounting(start, end, kRequested);
  feed(accounting,
       "Mar  1 09:59:59 mx dovecot: imap(info@alpha.example)<1><a>: Logged out in=1 out=10\n"
       "Mar  1 10:00:00 mx dovecot: imap(info@alpha.example)<1><a>: Logged out in=2 out=20\n"
       "Mar  1 10:59:59 mx dovecot: imap(INFO@ALPHA.EXAMPLE)<1><a>: Logged out in=4 out=40\n"
       "Mar  1 11:00:00 mx dovecot: imap(info@alpha.example)<1><a>: Logged out in=8 out=80\n"
       "Mar  1 10:30:00 mx dovecot: imap(nobody@elsewhere.example)<1><a>: Logged out in=16 out=160\n"
       "Mar  1 10:30:00 mx dovecot: imap(localuser)<1><a>: Logged out in=32 out=320\n");
  const auto& r = accounting.traffic().at(L"alpha.example").at({2024, 3, 1});
  EXPECT_EQ(r.popImapReceived, 6u);
  EXPECT_EQ(r.popImapSent, 60u);
  EXPECT_EQ(accounting.traffic().size(), 1u);
  const auto counts = accounting.takeFileCounts();
  EXPECT_EQ(counts.lines, 6u);
  EXPECT_EQ(counts.first, unixTime(2024, 3, 1, 9, 59, 59));
  EXPECT_EQ(counts.last, unixTime(2024, 3, 1, 10, 30, 0));
}

TEST_F(MailLogAccountingTest, AddsItsFiguresToTheRequestedNamesOnly) {
  const auto start = unixTime(2024, 3, 1, 0, 0, 0), end = unixTime(2024, 3, 2, 0, 0, 0);
  MailLogAccounting accounting(start, end, {L"Alpha.Example"});
  feed(accounting, "Mar  1 10:00:00 mx dovecot: pop3(info@alpha.example)<1><a>: Disconnected: Logged out top=1/100, retr=2/2000, del=0/2, size=2000\n");
  mailhostctl::MailTrafficRequest request{{L"Alpha.Example", {}}, {L"other.example", {}}};
  request[L"Alpha.Example"][{2024, 3, 1}].popImapSent = 5;
  mailhostctl::MailMessagesSent messages;
  accounting.addTo(request, messages);
  EXPECT_EQ(request.at(L"Alpha.Example").at({2024, 3, 1}).popImapSent, 2105u) << "added to what was there, under the requested spelling";
  EXPECT_EQ(request.at(L"Alpha.Example").at({2024, 3, 1}).popImapReceived, 0u);
  EXPECT_TRUE(request.at(L"other.example").empty());
  EXPECT_EQ(request.size(), 2u);
  EXPECT_TRUE(messages.empty());
}
