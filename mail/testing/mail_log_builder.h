// Generates Postfix/Dovecot mail logs of known content for the provider's
// tests: each event writes the lines a Debian mail host writes for it and
// adds what it must count to the expected figures, by the rules the provider
// documents (a line counts when its own time lies in the window).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mail/mail_provider.h"
#include "mail/provider/log_stamp.h"

namespace mailtest {

using mailprovider::UnixTime;
using Figures = std::map<std::wstring, std::map<mailhostctl::MailDate, mailhostctl::MailTrafficRecord>>;

struct Recipient {
  std::string address;
  // Empty: delivered into a local mailbox; else the remote relay
  // ("mx.remote.net[198.51.100.1]:25").
  std::string relay;
};

class MailLogBuilder {
 public:
  // `requested`: the domains whose figures are expected (lower case).
  MailLogBuilder(UnixTime start, UnixTime end, std::set<std::string> requested);

  // Mail from another server to local recipients.
  void incoming(UnixTime t, const std::string& sender, const std::vector<std::string>& recipients, uint64_t size);
  // Mail a user submits (authenticated SMTP), delivered to each recipient.
  void submission(UnixTime t, const std::string& sender, const std::vector<Recipient>& recipients, uint64_t size);
  // Mail a local program hands to sendmail (pickup).
  void pickup(UnixTime t, const std::string& sender, const std::vector<Recipient>& recipients, uint64_t size);
  // A submission whose remote delivery is deferred at t and sent at retry.
  void deferred(UnixTime t, UnixTime retry, const std::string& sender, const Recipient& recipient, uint64_t size);
  // A submission passed through a content filter on the loopback address,
  // which reinjects a copy of `copySize` bytes that is then delivered.
  void filtered(UnixTime t, const std::string& sender, const Recipient& recipient, uint64_t size, uint64_t copySize);
  // Mail from another server to a local alias that forwards it elsewhere.
  void aliasToRemote(UnixTime t, const std::string& sender, const std::string& alias, const Recipient& target, uint64_t size);
  void imapSession(UnixTime t, const std::string& user, uint64_t in, uint64_t out);
  void pop3Session(UnixTime t, const std::string& user, uint64_t topBytes, uint64_t retrBytes);
  // Lines the provider must pass over: other programs, rejects, logins.
  void noise(UnixTime t);
  // Lines it cannot read; each adds one to the expected unreadable count.
  void unreadable(UnixTime t);

  // Fills a day with random events of every kind (fixed seed per day).
  void randomDay(int year, int month, int day, int events);

  // The log, sorted by time: classic stamps (local time, which the tests set
  // to UTC) or RFC 3339 stamps with the given offset in seconds.
  std::string classicLog() const;
  std::string rfc3339Log(int offsetSeconds) const;
  // The lines whose time lies in [from, to), classic stamps.
  std::string classicLog(UnixTime from, UnixTime to) const;

  const Figures& expected() const { return expected_; }
  const mailhostctl::MailMessagesSent& expectedMessages() const { return messages_; }
  uint64_t expectedUnreadable() const { return unreadable_; }
  size_t lineCount() const { return lines_.size(); }

 private:
  struct Line {
    UnixTime time;
    size_t order;
    std::string text;  // after the stamp
    bool raw;          // the whole line, without a stamp
  };
  void add(UnixTime t, const std::string& text, bool raw = false);
  std::string nextQueueId();
  void enter(UnixTime t, const std::string& qid, const std::string& sender, uint64_t size, const std::string& how);
  void deliver(UnixTime t, const std::string& qid, const std::string& sender, const Recipient& r, uint64_t size, std::set<std::string>& relays);
  mailhostctl::MailTrafficRecord* expect(const std::string& address, UnixTime t);
  bool inWindow(UnixTime t) const { return t >= start_ && t < end_; }

  UnixTime start_, end_;
  std::set<std::string> requested_;
  std::vector<Line> lines_;
  Figures expected_;
  mailhostctl::MailMessagesSent messages_;
  uint64_t unreadable_ = 0;
  unsigned queueCounter_ = 0;
};

std::string formatClassic(UnixTime t);
std::string formatRfc3339(UnixTime t, int offsetSeconds);
// Readable form of figures, for comparisons with a useful difference.
std::string describe(const Figures& figures);
std::string describe(const mailhostctl::MailMessagesSent& messages);

}  // namespace mailtest
