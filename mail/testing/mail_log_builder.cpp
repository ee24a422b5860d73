#include "mail/testing/mail_log_builder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "mail/provider/mail_log_accounting.h"
#include "support/text.h"

namespace mailtest {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Broken {
  int year, month, day, hour, minute, second;
};

Broken breakDown(UnixTime t) {
  const mailhostctl::MailDate d = mailprovider::dateOf(t);
  const UnixTime secondsOfDay = t - mailprovider::unixTime(d.year, d.month, d.day, 0, 0, 0);
  return {d.year, d.month, d.day, static_cast<int>(secondsOfDay / 3600), static_cast<int>(secondsOfDay / 60 % 60),
          static_cast<int>(secondsOfDay % 60)};
}

std::string str(uint64_t n) { return std::to_string(n); }

}  // namespace

std::string formatClassic(UnixTime t) {
  const Broken b = breakDown(t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", kMonths[b.month - 1], b.day, b.hour, b.minute, b.second);
  return buf;
}

std::string formatRfc3339(UnixTime t, int offsetSeconds) {
  const Broken b = breakDown(t + offsetSeconds);
  const int off = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.123456%c%02d:%02d", b.year, b.month, b.day, b.hour, b.minute, b.second,
                offsetSeconds < 0 ? '-' : '+', off / 3600, off / 60 % 60);
  return buf;
}

std::string describe(const Figures& figures) {
  std::string out;
  for (const auto& [name, days] : figures)
    for (const auto& [d, r] : days) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
      out += text::toUtf8(name) + " " + buf + ": out " + str(r.smtpOutSent) + "/" + str(r.smtpOutReceived) + " in " + str(r.smtpInSent) + "/" +
             str(r.smtpInReceived) + " pop " + str(r.popImapSent) + "/" + str(r.popImapReceived) + "\n";
    }
  return out;
}

std::string describe(const mailhostctl::MailMessagesSent& messages) {
  std::string out;
  for (const auto& [d, n] : messages) {
    if (!n) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d: %llu\n", d.year, d.month, d.day, static_cast<unsigned long long>(n));
    out += buf;
  }
  return out;
}

MailLogBuilder::MailLogBuilder(UnixTime start, UnixTime end, std::set<std::string> requested)
    : start_(start), end_(end), requested_(std::move(requested)) {}

void MailLogBuilder::add(UnixTime t, const std::string& text, bool raw) { lines_.push_back(Line{t, lines_.size(), text, raw}); }

std::string MailLogBuilder::nextQueueId() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "4F%08X", 0x1A2B00u + ++queueCounter_);
  return buf;
}

mailhostctl::MailTrafficRecord* MailLogBuilder::expect(const std::string& address, UnixTime t) {
  const std::string domain = mailprovider::addressDomain(address);
  if (!requested_.contains(domain) || !inWindow(t)) return nullptr;
  return &expected_[text::fromUtf8(domain)][mailprovider::dateOf(t)];
}

void MailLogBuilder::enter(UnixTime t, const std::string& qid, const std::string& sender, uint64_t size, const std::string& how) {
  add(t, how);
  // Queue ids come back; a Message-ID names one message.
  add(t, "mx postfix/cleanup[2102]: " + qid + ": message-id=<" + qid + "." + str(static_cast<uint64_t>(t)) + "@mx.alpha.example>");
  add(t, "mx postfix/qmgr[903]: " + qid + ": from=<" + sender + ">, size=" + str(size) + ", nrcpt=1 (queue active)");
  if (auto* r = expect(sender, t)) {
    r->smtpOutReceived += size;
    ++messages_[mailprovider::dateOf(t)];
  }
}

void MailLogBuilder::deliver(UnixTime t, const std::string& qid, const std::string& sender, const Recipient& r, uint64_t size,
                             std::set<std::string>& relays) {
  if (r.relay.empty()) {
    if (queueCounter_ % 2)
      add(t, "mx postfix/virtual[2104]: " + qid + ": to=<" + r.address +
                 ">, relay=virtual, delay=0.11, delays=0.05/0.01/0/0.05, dsn=2.0.0, status=sent (delivered to maildir)");
    else
      add(t, "mx postfix/lmtp[2105]: " + qid + ": to=<" + r.address + ">, relay=mx.alpha.example[private/dovecot-lmtp], delay=0.2, " +
                 "delays=0.1/0.01/0.04/0.05, dsn=2.0.0, status=sent (250 2.0.0 <" + r.address + "> kA3bC Saved)");
    if (auto* e = expect(r.address, t)) e->smtpInReceived += size;
    return;
  }
  add(t, "mx postfix/smtp[2106]: " + qid + ": to=<" + r.address + ">, relay=" + r.relay +
             ", delay=1.2, delays=0.1/0.01/0.6/0.5, dsn=2.0.0, status=sent (250 2.0.0 Ok: queued as 4Tq1" + qid + ")");
  if (auto* e = expect(sender, t); e && relays.insert(r.relay).second) e->smtpOutSent += size;
}

void MailLogBuilder::incoming(UnixTime t, const std::string& sender, const std::vector<std::string>& recipients, uint64_t size) {
  const std::string qid = nextQueueId();
  enter(t, qid, sender, size, "mx postfix/smtpd[2101]: " + qid + ": client=mail.remote.net[203.0.113.5]");
  std::set<std::string> relays;
  for (const std::string& r : recipients) deliver(t + 1, qid, sender, Recipient{r, ""}, size, relays);
  add(t + 1, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::submission(UnixTime t, const std::string& sender, const std::vector<Recipient>& recipients, uint64_t size) {
  const std::string qid = nextQueueId();
  enter(t, qid, sender, size,
        "mx postfix/submission/smtpd[2107]: " + qid + ": client=client.example[198.51.100.7], sasl_method=PLAIN, sasl_username=" + sender);
  std::set<std::string> relays;
  for (const Recipient& r : recipients) deliver(t + 2, qid, sender, r, size, relays);
  add(t + 2, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::pickup(UnixTime t, const std::string& sender, const std::vector<Recipient>& recipients, uint64_t size) {
  const std::string qid = nextQueueId();
  enter(t, qid, sender, size, "mx postfix/pickup[2108]: " + qid + ": uid=33 from=<www-data>");
  std::set<std::string> relays;
  for (const Recipient& r : recipients) deliver(t + 1, qid, sender, r, size, relays);
  add(t + 1, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::deferred(UnixTime t, UnixTime retry, const std::string& sender, const Recipient& recipient, uint64_t size) {
  const std::string qid = nextQueueId();
  enter(t, qid, sender, size,
        "mx postfix/submission/smtpd[2107]: " + qid + ": client=client.example[198.51.100.7], sasl_method=PLAIN, sasl_username=" + sender);
  add(t + 1, "mx postfix/smtp[2106]: " + qid + ": to=<" + recipient.address +
                 ">, relay=none, delay=31, delays=0.1/0/30/0, dsn=4.4.1, status=deferred (connect to mx.remote.net[198.51.100.1]:25: "
                 "Connection timed out)");
  add(retry, "mx postfix/qmgr[903]: " + qid + ": from=<" + sender + ">, size=" + str(size) + ", nrcpt=1 (queue active)");
  std::set<std::string> relays;
  deliver(retry + 1, qid, sender, recipient, size, relays);
  add(retry + 1, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::filtered(UnixTime t, const std::string& sender, const Recipient& recipient, uint64_t size, uint64_t copySize) {
  const std::string qid = nextQueueId();
  const std::string copy = nextQueueId();
  enter(t, qid, sender, size,
        "mx postfix/submission/smtpd[2107]: " + qid + ": client=client.example[198.51.100.7], sasl_method=PLAIN, sasl_username=" + sender);
  // The filter's copy enters and leaves before the filter answers.
  add(t + 1, "mx postfix/smtpd[2109]: " + copy + ": client=localhost[127.0.0.1]");
  add(t + 1, "mx postfix/cleanup[2102]: " + copy + ": message-id=<" + qid + "." + str(static_cast<uint64_t>(t)) + "@mx.alpha.example>");
  add(t + 1, "mx postfix/qmgr[903]: " + copy + ": from=<" + sender + ">, size=" + str(copySize) + ", nrcpt=1 (queue active)");
  std::set<std::string> relays;
  deliver(t + 1, copy, sender, recipient, copySize, relays);
  // A recipient is credited once, with the message as it entered the host:
  // at the hand-over to the filter, not again for the copy.
  if (auto* e = expect(recipient.address, t + 1); e && recipient.relay.empty()) e->smtpInReceived += size - copySize;
  add(t + 1, "mx postfix/qmgr[903]: " + copy + ": removed");
  add(t + 1, "mx postfix/smtp[2106]: " + qid + ": to=<" + recipient.address +
                 ">, relay=127.0.0.1[127.0.0.1]:10024, delay=0.5, delays=0.1/0/0/0.4, dsn=2.0.0, status=sent (250 2.0.0 from "
                 "MTA(smtp:[127.0.0.1]:10025): 250 2.0.0 Ok: queued as " +
                 copy + ")");
  add(t + 1, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::aliasToRemote(UnixTime t, const std::string& sender, const std::string& alias, const Recipient& target, uint64_t size) {
  const std::string qid = nextQueueId();
  enter(t, qid, sender, size, "mx postfix/smtpd[2101]: " + qid + ": client=mail.remote.net[203.0.113.5]");
  add(t + 1, "mx postfix/smtp[2106]: " + qid + ": to=<" + target.address + ">, orig_to=<" + alias + ">, relay=" + target.relay +
                 ", delay=1.2, delays=0.1/0.01/0.6/0.5, dsn=2.0.0, status=sent (250 OK)");
  if (auto* e = expect(alias, t + 1)) e->smtpInReceived += size;
  add(t + 1, "mx postfix/qmgr[903]: " + qid + ": removed");
}

void MailLogBuilder::imapSession(UnixTime t, const std::string& user, uint64_t in, uint64_t out) {
  const std::string stats = "in=" + str(in) + " out=" + str(out) + " deleted=0 expunged=0 trashed=0 hdr_count=0 hdr_bytes=0 body_count=1 body_bytes=" +
                            str(out);
  if (t % 2)
    add(t, "mx dovecot: imap(" + user + ")<4321><AbCdEf12>: Logged out " + stats);
  else
    add(t, "mx dovecot[811]: imap(" + user +
               ")<4322><AbCdEf13>: Disconnected: Connection closed (IDLE running for 0.001 + waiting input for 28.002 secs, 2 B in + 10+0 B "
               "out, state=wait-input) " +
               stats);
  if (auto* e = expect(user, t)) {
    e->popImapReceived += in;
    e->popImapSent += out;
  }
}

void MailLogBuilder::pop3Session(UnixTime t, const std::string& user, uint64_t topBytes, uint64_t retrBytes) {
  add(t, "mx dovecot: pop3(" + user + ")<4323><XyZ98>: Disconnected: Logged out top=1/" + str(topBytes) + ", retr=2/" + str(retrBytes) +
             ", del=0/2, size=" + str(retrBytes));
  if (auto* e = expect(user, t)) e->popImapSent += topBytes + retrBytes;
}

void MailLogBuilder::noise(UnixTime t) {
  add(t, "mx kernel: [12345.678901] eth0: link up");
  add(t, "mx postfix/anvil[2110]: statistics: max connection rate 1/60s for (smtp:203.0.113.5) at Mar  1 10:00:00");
  add(t, "mx postfix/smtpd[2101]: NOQUEUE: reject: RCPT from unknown[203.0.113.9]: 554 5.7.1 <spam@alpha.example>: Relay access denied");
  add(t, "mx postfix/smtpd[2101]: connect from unknown[203.0.113.9]");
  add(t, "mx dovecot: imap-login: Login: user=<info@alpha.example>, method=PLAIN, rip=198.51.100.7, lip=192.0.2.1, mpid=4321, TLS");
  add(t, "mx dovecot: lmtp(info@alpha.example)<4324><LmTp>: msgid=<x@remote.net>: saved mail to INBOX");
  add(t, "mx dovecot: imap(info@alpha.example)<4321><AbCdEf12>: Error: Mailbox Junk: quota exceeded");
  add(t, "mx postfix/qmgr[903]: 4FAAAAAAAA: from=<bob@remote.net>, status=expired, returned to sender");
}

void MailLogBuilder::unreadable(UnixTime t) {
  switch (unreadable_ % 5) {
    case 0: add(t, "-- a line without any stamp --", true); break;
    case 1: add(t, "Feb 30 10:00:00 mx postfix/smtpd[1]: 4F00000001: client=x[203.0.113.1]", true); break;
    case 2: add(t, "mx postfix/qmgr[903]: 4F0000000B: from=<broken, size=12"); break;
    case 3: add(t, "mx dovecot: imap(info@alpha.example)<1><a>: Logged out in=abc out=3"); break;
    default: add(t, "mx"); break;
  }
  ++unreadable_;
}

void MailLogBuilder::randomDay(int year, int month, int day, int events) {
  std::mt19937 random(static_cast<unsigned>(year * 10000 + month * 100 + day));
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::vector<std::string> local = {"info@alpha.example", "Sales@Alpha.Example", "office@beta.example", "team@gamma.example"};
  const std::vector<Recipient> remote = {{"bob@remote.net", "mx.remote.net[198.51.100.1]:25"},
                                         {"carol@remote.net", "mx.remote.net[198.51.100.1]:25"},
                                         {"dave@other.org", "mx.other.org[198.51.100.2]:25"}};
  const UnixTime midnight = mailprovider::unixTime(year, month, day, 0, 0, 0);
  for (int i = 0; i < events; ++i) {
    const UnixTime t = midnight + pick(86400 - 10);
    const uint64_t size = 500 + static_cast<uint64_t>(pick(50000));
    const int kind = pick(100);
    const std::string& user = local[static_cast<size_t>(pick(static_cast<int>(local.size())))];
    const Recipient& far = remote[static_cast<size_t>(pick(static_cast<int>(remote.size())))];
    if (kind < 25) {
      std::vector<std::string> to;
      for (int n = 1 + pick(3); n > 0; --n) to.push_back(local[static_cast<size_t>(pick(static_cast<int>(local.size())))]);
      // Postfix delivers a recipient given twice once.
      std::sort(to.begin(), to.end());
      to.erase(std::unique(to.begin(), to.end()), to.end());
      incoming(t, far.address, to, size);
    } else if (kind < 45) {
      std::vector<Recipient> to;
      for (int n = 1 + pick(3); n > 0; --n) {
        if (pick(3) == 0)
        {
          const std::string& address = local[static_cast<size_t>(pick(static_cast<int>(local.size())))];
          if (std::none_of(to.begin(), to.end(), [&](const Recipient& r) { return r.address == address; })) to.push_back(Recipient{address, ""});
        }
        else
          to.push_back(remote[static_cast<size_t>(pick(static_cast<int>(remote.size())))]);
      }
      submission(t, user, to, size);
    } else if (kind < 50) {
      pickup(t, user, {far}, size);
    } else if (kind < 55) {
      deferred(t, t + 600 + pick(6 * 3600), user, far, size);
    } else if (kind < 60) {
      filtered(t, user, far, size, size + 300);
    } else if (kind < 64) {
      aliasToRemote(t, far.address, pick(2) ? "fwd@beta.example" : "fwd@gamma.example", far, size);
    } else if (kind < 76) {
      imapSession(t, user, static_cast<uint64_t>(pick(5000)), static_cast<uint64_t>(pick(900000)));
    } else if (kind < 86) {
      pop3Session(t, user, static_cast<uint64_t>(pick(3000)), static_cast<uint64_t>(pick(400000)));
    } else if (kind < 95) {
      noise(t);
    } else {
      unreadable(t);
    }
  }
}

std::string MailLogBuilder::classicLog() const { return classicLog(mailprovider::kBeginningOfTime, std::numeric_limits<UnixTime>::max()); }

std::string MailLogBuilder::classicLog(UnixTime from, UnixTime to) const {
  std::vector<Line> sorted = lines_;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Line& a, const Line& b) { return a.time < b.time; });
  std::string out;
  for (const Line& l : sorted) {
    if (l.time < from || l.time >= to) continue;
    out += l.raw ? l.text : formatClassic(l.time) + " " + l.text;
    out += "\n";
  }
  return out;
}

std::string MailLogBuilder::rfc3339Log(int offsetSeconds) const {
  std::vector<Line> sorted = lines_;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Line& a, const Line& b) { return a.time < b.time; });
  std::string out;
  for (const Line& l : sorted) out += (l.raw ? l.text : formatRfc3339(l.time, offsetSeconds) + " " + l.text) + "\n";
  return out;
}

}  // namespace mailtest
