// Mail traffic from the lines of a Postfix and Dovecot mail log (syslog).
//
// What is counted, per hosted domain and UTC day of the line, for lines in
// the window [start, end):
//   - SMTP in, received: the size of each message delivered (status=sent) to
//     a recipient of the domain (the original recipient when an alias was
//     expanded), once per recipient;
//   - SMTP out, received: the size of each message whose envelope sender
//     belongs to the domain, once when it enters the queue; that message is
//     also one message sent that day;
//   - SMTP out, sent: the size of such a message each time the SMTP client
//     hands it to another server (status=sent to a recipient outside the
//     hosted domains, a relay not on the loopback address), once per queue
//     id and relay;
//   - POP/IMAP: the bytes of each Dovecot session of a user of the domain,
//     from its logout line ("in=" / "out=", or POP3's "top=n/bytes,
//     retr=n/bytes" when in/out are not logged);
//   - SMTP in, sent and POP/IMAP received without in=: 0 (not in the log).
// A message enters the queue once: its first "from=" line after it was
// received (smtpd "client=", pickup "uid=", cleanup "message-id="). Later
// "from=" lines of the same queue id are retries. A copy of a message that
// already entered is not a message of its own: the copy a content filter
// queues (amavisd-new's "queued as NEW", a pipe filter's sendmail, a milter's
// re-injection) and local(8)'s "forwarded as NEW" keep the Message-ID, and a
// loopback filter's "queued as NEW" names the copy. A recipient is credited
// once per message: at the first delivery or hand-over to a filter, with the
// size the message had when it entered the host.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mail/mail_provider.h"
#include "mail/provider/log_stamp.h"

namespace mailprovider {

// Figures of one file or of all lines read.
struct LineCounts {
  uint64_t lines = 0;
  // Lines that could not be read: no valid stamp, host and tag, or a mail
  // server record whose fields do not parse. They are skipped.
  uint64_t unreadable = 0;
  // Lines of other programs, and of Postfix and Dovecot that carry no
  // traffic of their own (Dovecot's own log file: no host, no tag).
  uint64_t passedOver = 0;
  // Stamped at or after the window's end: counted by a later run.
  uint64_t afterEnd = 0;
  // First and last stamped line, UTC (no value while no line was stamped).
  UnixTime first = 0, last = 0;
  bool anyStamped = false;
};

class MailLogAccounting {
 public:
  // `domains`: the requested names, matched ignoring ASCII case.
  MailLogAccounting(UnixTime start, UnixTime end, const std::vector<std::wstring>& domains);

  // Reads one line (without its line break).
  void addLine(std::string_view line);

  // Counts since the last call (the lines of one file), then starts anew.
  LineCounts takeFileCounts();

  // Adds the figures to the request (requested names only) and the messages.
  void addTo(mailhostctl::MailTrafficRequest& request, mailhostctl::MailMessagesSent& messages) const;

  const std::map<std::wstring, std::map<mailhostctl::MailDate, mailhostctl::MailTrafficRecord>>& traffic() const { return traffic_; }
  const mailhostctl::MailMessagesSent& messagesSent() const { return messages_; }

 private:
  // What is known about a queue id.
  struct Message {
    bool entered = false;   // received since the id was last removed
    bool queued = false;    // its first "from=" after entering was seen
    bool reinjected = false;  // a content filter's copy of another message
    bool fromLoopback = false;  // received from a client on this host
    uint64_t size = 0;
    std::string messageId;      // the Message-ID header cleanup logged
    std::string senderDomain;   // lower case; empty for the null sender
    // What its entering added, so that a reinjection can take it back.
    const std::wstring* countedDomain = nullptr;
    mailhostctl::MailDate countedDay{};
    std::set<std::string> relays;  // relays it was handed to (SMTP out)
  };

  void postfixLine(std::string_view daemon, std::string_view text, UnixTime time);
  void dovecotLine(std::string_view text, UnixTime time);
  // Dovecot's own log file: "imap(user)<pid><session>: Info: ..." or
  // "imap-login: Info: ..." right after the stamp.
  static bool isDovecotOwnLine(std::string_view text);
  void queueLine(std::string_view qid, std::string_view text, UnixTime time);
  void deliveryLine(std::string_view daemon, std::string_view qid, std::string_view text, UnixTime time);
  bool inWindow(UnixTime t) const { return t >= start_ && t < end_; }
  // The requested name of a domain (lower case bytes), or null.
  const std::wstring* hosted(std::string_view domain) const;
  mailhostctl::MailTrafficRecord& record(const std::wstring& domain, UnixTime time);
  void unreadable() { ++counts_.unreadable; }

  UnixTime start_, end_;
  StampReader stamps_;
  std::unordered_map<std::string, std::wstring> hosted_;
  std::unordered_map<std::string, Message> queue_;
  // One message, one count, through content filters, forwarding and
  // re-injection, which all keep the Message-ID: the ids of messages that
  // entered the queue, and "id\nrecipient" of the deliveries credited.
  // id -> its size on entering: a copy's deliveries credit that size,
  // whichever of the copy's and the original's lines come first.
  std::unordered_map<std::string, uint64_t> enteredIds_;
  std::unordered_set<std::string> creditedDeliveries_;
  // What removed messages from a loopback client added on entering: a
  // content filter may name one as its copy only after the copy is gone.
  struct Counted {
    const std::wstring* domain;
    mailhostctl::MailDate day;
    uint64_t size;
  };
  std::unordered_map<std::string, Counted> loopbackCounted_;
  void takeBack(const Counted& counted);
  std::map<std::wstring, std::map<mailhostctl::MailDate, mailhostctl::MailTrafficRecord>> traffic_;
  mailhostctl::MailMessagesSent messages_;
  LineCounts counts_;
};

// The domain part of an address (after the last "@"), ASCII lower case;
// empty when there is none.
std::string addressDomain(std::string_view address);

}  // namespace mailprovider
