// The provider against logs real Postfix and Dovecot wrote: a host the test
// starts (mail/testing/real_mail_host.py, in a network namespace of its own)
// and logs captured from such hosts (testdata/). The expected figures are
// what the clients and the receiving ends saw, never read from the log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mail/provider/postfix_provider.h"
#include "mail/testing/mail_test_support.h"
#include "support/process.h"
#include "support/testing/testenv.h"

using mailprovider::UnixTime;

namespace {

const std::string kSource = MAIL_SOURCE_DIR;

using Expected = mailtest::CapturedFigures;
using mailtest::readCapturedFigures;

mailhostctl::MailDateTime windowTime(UnixTime t) { return mailprovider::mailDateTime(t); }

struct Outcome {
  mailhostctl::MailTrafficRequest request{{L"alpha.test", {}}, {L"beta.test", {}}, {L"gamma.test", {}}};
  std::vector<std::wstring> consumed;
  mailhostctl::MailMessagesSent messages;

  // Per domain and counter, summed over the days.
  std::map<std::string, std::map<std::string, uint64_t>> totals() const {
    std::map<std::string, std::map<std::string, uint64_t>> t;
    for (const auto& [name, days] : request)
      for (const auto& [day, r] : days) {
        auto& d = t[text::toAnsi(name)];
        d["smtpOutSent"] += r.smtpOutSent;
        d["smtpOutReceived"] += r.smtpOutReceived;
        d["smtpInSent"] += r.smtpInSent;
        d["smtpInReceived"] += r.smtpInReceived;
        d["popImapSent"] += r.popImapSent;
        d["popImapReceived"] += r.popImapReceived;
      }
    return t;
  }
  uint64_t messageCount() const {
    uint64_t n = 0;
    for (const auto& [day, count] : messages) n += count;
    return n;
  }
};

Outcome count(const std::string& log, UnixTime from, UnixTime to, bool retire = false) {
  mailprovider::ProviderSettings s;
  s.mailLog = text::fromAnsi(log);
  s.retireRotatedLogs = retire;
  mailprovider::PostfixDovecotProvider provider(s);
  Outcome o;
  provider.getMailTraffic(windowTime(from), windowTime(to), o.request, o.consumed, o.messages);
  return o;
}

// The expected figures without the domains that had none.
std::map<std::string, std::map<std::string, uint64_t>> nonZero(const std::map<std::string, std::map<std::string, uint64_t>>& f) {
  std::map<std::string, std::map<std::string, uint64_t>> out;
  for (const auto& [domain, counters] : f)
    for (const auto& [key, n] : counters)
      if (n) out[domain][key] = n;
  return out;
}

std::string gzip(const std::string& content, const std::string& path) {
  gzFile gz = gzopen(path.c_str(), "wb");
  gzwrite(gz, content.data(), static_cast<unsigned>(content.size()));
  gzclose(gz);
  return testkit::readFile(path);
}

class RealMailHostTest : public ::testing::Test {
 protected:
  testenv::ScopedEnv tz{"TZ", std::string("UTC")};
  testkit::Installation install;
  void SetUp() override { tzset(); }
  void TearDown() override { tzset(); }
};

}  // namespace

TEST_F(RealMailHostTest, FiguresOfALiveHostEqualWhatTheClientsSentAndFetched) {
  testkit::TempDir work;
  const process::RunResult run = process::run(L"/usr/bin/unshare", {L"-n", L"/usr/bin/python3", text::fromAnsi(kSource + "/testing/real_mail_host.py"),
                                                                     work.wpath()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const Expected expected = readCapturedFigures(work.file("expected.txt"));
  ASSERT_EQ(expected.figures.size(), 2u);

  mailtest::LogCapture log({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  const Outcome o = count(work.file("log/mail.log"), expected.start - 60, expected.end + 60);
  EXPECT_EQ(nonZero(o.totals()), nonZero(expected.figures)) << log.text();
  EXPECT_EQ(o.messageCount(), expected.messages) << "each message sent once, through filters and the forward";
  // Every figure lies on a day the host ran.
  for (const auto& [name, days] : o.request)
    for (const auto& [day, r] : days) {
      EXPECT_GE(day, mailprovider::dateOf(expected.start)) << text::toAnsi(name);
      EXPECT_LE(day, mailprovider::dateOf(expected.end)) << text::toAnsi(name);
    }
  // Dovecot's own lines (no host, no tag) are read or accounted for.
  EXPECT_NE(log.text().find("lines passed over"), std::string::npos) << log.text();
  EXPECT_EQ(log.text().find("could not be read"), std::string::npos) << log.text();
}

TEST_F(RealMailHostTest, CapturedLogsCountOnceAcrossWindowsRotationsAndStampForms) {
  for (const char* name : {"postfix_dovecot", "dovecot_iso_stamps"}) {
    SCOPED_TRACE(name);
    const std::string fixture = kSource + "/provider/testdata/" + name;
    const Expected expected = readCapturedFigures(fixture + ".expected");
    const std::string content = testkit::readFile(fixture + ".log");
    testkit::TempDir dir;
    testkit::writeFile(dir.file("mail.log"), content);

    const Outcome whole = count(dir.file("mail.log"), expected.start - 60, expected.end + 60);
    EXPECT_EQ(nonZero(whole.totals()), nonZero(expected.figures));
    EXPECT_EQ(whole.messageCount(), expected.messages);

    // Two runs whose windows meet at each second of the host's life: the
    // same figures, nothing twice, nothing lost.
    for (UnixTime cut = expected.start; cut <= expected.end; ++cut) {
      const Outcome first = count(dir.file("mail.log"), expected.start - 60, cut);
      const Outcome second = count(dir.file("mail.log"), cut, expected.end + 60);
      auto sum = first.totals();
      for (const auto& [domain, counters] : second.totals())
        for (const auto& [key, n] : counters) sum[domain][key] += n;
      EXPECT_EQ(nonZero(sum), nonZero(expected.figures)) << "cut at " << cut;
      EXPECT_EQ(first.messageCount() + second.messageCount(), expected.messages) << "cut at " << cut;
    }

    // Rotated in the middle, the older half compressed under a postfix
    // logrotate name, and under a dateext name as well (one file, two
    // names): read once, in order.
    const size_t half = content.find('\n', content.size() / 2) + 1;
    testkit::TempDir rotated;
    gzip(content.substr(0, half), rotated.file("mail.log.20261209-120000.gz"));
    std::filesystem::create_hard_link(rotated.file("mail.log.20261209-120000.gz"), rotated.file("mail.log-2026-12-09.gz"));
    testkit::writeFile(rotated.file("mail.log"), content.substr(half));
    // Rotated during the host's life (the fixture's times), whatever the clock says now.
    const struct timespec rotatedAt[2] = {{expected.start, 0}, {expected.start, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, rotated.file("mail.log.20261209-120000.gz").c_str(), rotatedAt, 0), 0);
    const Outcome split = count(rotated.file("mail.log"), expected.start - 60, expected.end + 60, true);
    EXPECT_EQ(nonZero(split.totals()), nonZero(expected.figures));
    EXPECT_EQ(split.messageCount(), expected.messages);
    // Every line of the rotated file lies before the window's end: retired
    // (under the one name it was read by), the active log never.
    ASSERT_EQ(split.consumed.size(), 1u);
    EXPECT_NE(split.consumed[0].find(L"mail.log"), std::wstring::npos);
    EXPECT_NE(split.consumed[0], text::fromAnsi(rotated.file("mail.log")));
    // A window that ends before the rotated file's last line keeps it.
    EXPECT_TRUE(count(rotated.file("mail.log"), expected.start - 60, expected.start, true).consumed.empty());
  }
}

TEST_F(RealMailHostTest, RealHostFormsTheLiveHostDoesNotWrite) {
  // Lines quoted from real hosts: Dovecot 1.x, an unpadded day, Dovecot's own
  // file, multilog's TAI64N stamp of 2026-12-09 20:00:00 UTC.
  testkit::TempDir dir;
  testkit::writeFile(dir.file("mail.log"),
                     "Dec 9 19:00:00 mx dovecot: IMAP(info@alpha.test): Disconnected: Logged out bytes=123/4567\n"
                     "Dec  9 19:00:01 mx dovecot: POP3(info@alpha.test): Disconnected: Logged out top=0/0, retr=1/1000, del=0/1, size=990\n"
                     "Dec 09 19:00:02 imap(info@alpha.test): Info: Disconnected: Logged out bytes=7/8\n"
                     "2026-12-09 19:00:03 pop3(info@alpha.test)<1><a>: Info: Disconnected: Logged out in=5 out=6\n"
                     "@400000006b19b34a00000000 imap(info@alpha.test)<2><b>: Info: Disconnected: Logged out in=1 out=2\n"
                     "Dec  9 19:00:04 mx sshd[12]: Accepted publickey for root\n");
  mailtest::LogCapture log({LogLevel::Info, LogLevel::Warning});
  const Outcome o = count(dir.file("mail.log"), mailprovider::unixTime(2026, 12, 9, 0, 0, 0), mailprovider::unixTime(2026, 12, 10, 0, 0, 0));
  const auto t = o.totals();
  EXPECT_EQ(t.at("alpha.test").at("popImapReceived"), 123u + 7 + 5 + 1);
  EXPECT_EQ(t.at("alpha.test").at("popImapSent"), 4567u + 1000 + 8 + 6 + 2);
  EXPECT_NE(log.text().find("1 of 6 lines passed over"), std::string::npos) << log.text();
}

TEST_F(RealMailHostTest, BadInputIsReportedAndKeepsTheWindow) {
  const std::string fixture = kSource + "/provider/testdata/postfix_dovecot";
  const Expected expected = readCapturedFigures(fixture + ".expected");
  const std::string content = testkit::readFile(fixture + ".log");
  const UnixTime from = expected.start - 60, to = expected.end + 60;
  testkit::TempDir dir;

  // No log, or a link in its place: an error naming the path and the
  // setting, so that the run keeps its window.
  auto failure = [&](const std::string& log) -> std::string {
    try {
      count(log, from, to);
    } catch (const vexception& e) {
      return text::toAnsi(e.fullText());
    }
    return "";
  };
  std::string text = failure(dir.file("mail.log"));
  EXPECT_NE(text.find(dir.file("mail.log")), std::string::npos) << text;
  EXPECT_NE(text.find("MailLog"), std::string::npos) << text;
  testkit::writeFile(dir.file("real.log"), content);
  std::filesystem::create_symlink(dir.file("real.log"), dir.file("mail.log"));
  text = failure(dir.file("mail.log"));
  EXPECT_NE(text.find("link"), std::string::npos) << text;
  std::filesystem::remove(dir.file("mail.log"));
  testkit::writeFile(dir.file("mail.log"), content);

  // A truncated rotated gzip, a 1 MB line and a log that is not Postfix's:
  // the lines that could be read count, the rest is reported by file.
  const size_t half = content.find('\n', content.size() / 2) + 1;
  const std::string gz = gzip(content.substr(0, half), dir.file("whole.gz"));
  testkit::writeFile(dir.file("mail.log.1.gz"), gz.substr(0, gz.size() - 8));  // its trailer cut
  std::filesystem::last_write_time(dir.file("mail.log.1.gz"), std::filesystem::last_write_time(dir.file("mail.log")) - std::chrono::hours(1));
  testkit::writeFile(dir.file("mail.log"), content.substr(half) + "Dec 09 19:00:00 mx postfix/smtpd[1]: " + std::string(1 << 20, 'x') + "\n");
  testkit::writeFile(dir.file("mail.log-20261208"), "GET / HTTP/1.1 200\nnot a mail log at all\n");
  mailtest::LogCapture log({LogLevel::Info, LogLevel::Warning, LogLevel::Error});
  const Outcome damaged = count(dir.file("mail.log"), from, to);
  EXPECT_NE(log.text().find("mail.log.1.gz is damaged"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Skipped 1 of"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Skipped 2 of 2 lines of the mail log " + dir.file("mail.log-20261208")), std::string::npos) << log.text();
  // Nothing is counted twice: every figure is at most the true one.
  const auto totals = damaged.totals();
  for (const auto& [domain, counters] : expected.figures)
    for (const auto& [key, n] : counters) {
      const uint64_t got = totals.count(domain) && totals.at(domain).count(key) ? totals.at(domain).at(key) : 0;
      EXPECT_LE(got, n) << domain << " " << key;
    }
  EXPECT_GT(totals.at("alpha.test").at("popImapSent"), 0u) << "the active log's half is counted";
}
