#include "mail/provider/mail_log_accounting.h"

#include <charconv>

#include "support/text.h"

namespace mailprovider {

namespace {

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The next blank-separated token; removes it and the blank after it.
std::string_view takeToken(std::string_view& s) {
  const size_t blank = s.find(' ');
  std::string_view token = s.substr(0, blank);
  s.remove_prefix(blank == std::string_view::npos ? s.size() : blank + 1);
  return token;
}

bool parseNumber(std::string_view s, uint64_t& out) {
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// "<address>" at the start of s: the address, s moved past ">".
bool takeAngleAddress(std::string_view& s, std::string_view& address) {
  if (s.empty() || s[0] != '<') return false;
  const size_t close = s.find('>');
  if (close == std::string_view::npos) return false;
  address = s.substr(1, close - 1);
  s.remove_prefix(close + 1);
  return true;
}

// A Postfix queue id: letters and digits.
bool isQueueId(std::string_view s) {
  if (s.size() < 5) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}

// The value of ", key=" up to the next ", " (or the end). Status is the
// last field and its reply text may hold ", " itself: it runs to the end.
bool fieldValue(std::string_view s, std::string_view key, std::string_view& value) {
  const std::string needle = ", " + std::string(key) + "=";
  const size_t at = s.find(needle);
  if (at == std::string_view::npos) return false;
  value = s.substr(at + needle.size());
  if (key != "status") value = value.substr(0, value.find(", "));
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

// Dovecot's processes that write lines without a user of their own.
constexpr std::string_view kDovecotProcesses[] = {"master:", "imap-login:", "pop3-login:", "submission-login:", "managesieve-login:",
                                                  "auth:", "auth-worker:", "config:", "log:", "anvil:", "stats:", "dict:", "indexer:"};

// A relay on this host: "name[127.0.0.1]:10024", "name[::1]:10024".
bool isLoopbackRelay(std::string_view relay) {
  const size_t open = relay.find('[');
  if (open == std::string_view::npos) return false;
  std::string_view address = relay.substr(open + 1);
  address = address.substr(0, address.find(']'));
  if (startsWith(address, "ipv6:")) address.remove_prefix(5);
  return startsWith(address, "127.") || address == "::1";
}

}  // namespace

std::string addressDomain(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {};
  return lowerAscii(address.substr(at + 1));
}

MailLogAccounting::MailLogAccounting(UnixTime start, UnixTime end, const std::vector<std::wstring>& domains)
    : start_(start), end_(end), stamps_(end) {
  for (const std::wstring& name : domains) hosted_.try_emplace(lowerAscii(text::toAnsi(name)), name);
}

const std::wstring* MailLogAccounting::hosted(std::string_view domain) const {
  if (domain.empty()) return nullptr;
  auto it = hosted_.find(std::string(domain));
  return it == hosted_.end() ? nullptr : &it->second;
}

mailhostctl::MailTrafficRecord& MailLogAccounting::record(const std::wstring& domain, UnixTime time) {
  return traffic_[domain][dateOf(time)];
}

LineCounts MailLogAccounting::takeFileCounts() {
  LineCounts counts = counts_;
  counts_ = LineCounts{};
  return counts;
}

void MailLogAccounting::addTo(mailhostctl::MailTrafficRequest& request, mailhostctl::MailMessagesSent& messages) const {
  for (const auto& [name, days] : traffic_) {
    auto target = request.find(name);
    if (target == request.end()) continue;
    for (const auto& [day, r] : days) {
      mailhostctl::MailTrafficRecord& t = target->second[day];
      t.smtpOutSent += r.smtpOutSent;
      t.smtpOutReceived += r.smtpOutReceived;
      t.smtpInSent += r.smtpInSent;
      t.smtpInReceived += r.smtpInReceived;
      t.popImapSent += r.popImapSent;
      t.popImapReceived += r.popImapReceived;
    }
  }
  for (const auto& [day, count] : messages_)
    if (count) messages[day] += count;
}

void MailLogAccounting::addLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;
  ++counts_.lines;
  UnixTime time = 0;
  if (!stamps_.read(line, time)) return unreadable();
  if (!counts_.anyStamped) counts_.first = time;
  counts_.anyStamped = true;
  counts_.last = time;

  if (time >= end_) ++counts_.afterEnd;
  if (isDovecotOwnLine(line)) return dovecotLine(line, time);
  takeToken(line);  // the host
  std::string_view tag = takeToken(line);
  if (tag.size() < 2 || tag.back() != ':') return unreadable();
  tag.remove_suffix(1);
  tag = tag.substr(0, tag.find('['));
  if (tag == "dovecot") return dovecotLine(line, time);
  if (!startsWith(tag, "postfix")) {
    ++counts_.passedOver;  // another program's line
    return;
  }
  const size_t slash = tag.rfind('/');
  postfixLine(slash == std::string_view::npos ? std::string_view() : tag.substr(slash + 1), line, time);
}

void MailLogAccounting::postfixLine(std::string_view daemon, std::string_view text, UnixTime time) {
  const size_t colon = text.find(": ");
  if (colon == std::string_view::npos || !isQueueId(text.substr(0, colon))) {
    ++counts_.passedOver;  // no message of its own
    return;
  }
  const std::string_view qid = text.substr(0, colon);
  text.remove_prefix(colon + 2);

  if ((daemon == "smtpd" && startsWith(text, "client=")) || (daemon == "pickup" && startsWith(text, "uid="))) {
    // The first line of a queue id's life: nothing of an earlier message
    // that had the same id carries over.
    Message& m = queue_[std::string(qid)];
    m = Message{};
    m.entered = true;
    if (daemon == "smtpd") {
      std::string_view client = text.substr(7);
      m.fromLoopback = isLoopbackRelay(client.substr(0, client.find(", ")));
    }
    return;
  }
  if (daemon == "cleanup" && startsWith(text, "message-id=")) {
    Message& m = queue_[std::string(qid)];
    if (m.queued) m = Message{};  // a queue id used again, its "removed" not seen
    m.entered = true;
    std::string_view id = text.substr(11);
    id = id.substr(0, id.find(' '));
    if (!id.empty() && id != "<>") m.messageId = std::string(id);
    return;
  }
  if (daemon == "qmgr") {
    if (text == "removed") {
      auto found = queue_.find(std::string(qid));
      if (found == queue_.end()) return;
      const Message& m = found->second;
      if (m.countedDomain && m.fromLoopback) loopbackCounted_[found->first] = Counted{m.countedDomain, m.countedDay, m.size};
      queue_.erase(found);
      return;
    }
    if (startsWith(text, "from=")) return queueLine(qid, text, time);
    return;
  }
  if (startsWith(text, "to=")) deliveryLine(daemon, qid, text, time);
}

// "from=<sender>, size=N, nrcpt=K (queue active)".
void MailLogAccounting::queueLine(std::string_view qid, std::string_view text, UnixTime time) {
  text.remove_prefix(5);
  std::string_view sender;
  if (!takeAngleAddress(text, sender)) return unreadable();
  std::string_view sizeText;
  if (!fieldValue(text, "size", sizeText)) {
    if (text.find("status=") == std::string_view::npos) unreadable();
    return;  // "status=expired, returned to sender": no queue pass
  }
  uint64_t size = 0;
  if (!parseNumber(sizeText, size)) return unreadable();

  Message& m = queue_[std::string(qid)];
  m.size = size;
  m.senderDomain = addressDomain(sender);
  if (!m.entered || m.queued) return;  // a retry, or entered before the logs we have
  m.queued = true;
  // A copy of a message that entered before (filtered, forwarded, re-injected).
  if (!m.messageId.empty() && !enteredIds_.try_emplace(m.messageId, size).second) m.reinjected = true;
  if (m.reinjected || !inWindow(time)) return;
  const std::wstring* domain = hosted(m.senderDomain);
  if (!domain) return;
  record(*domain, time).smtpOutReceived += size;
  ++messages_[dateOf(time)];
  m.countedDomain = domain;
  m.countedDay = dateOf(time);
}

// "to=<rcpt>, [orig_to=<alias>, ]relay=R, ..., status=sent (reply)".
void MailLogAccounting::deliveryLine(std::string_view daemon, std::string_view qid, std::string_view text, UnixTime time) {
  text.remove_prefix(3);
  std::string_view recipient, original;
  if (!takeAngleAddress(text, recipient)) return unreadable();
  if (startsWith(text, ", orig_to=")) {
    text.remove_prefix(10);
    if (!takeAngleAddress(text, original)) return unreadable();
    // "orig_to=<user>": the bare local part the sender wrote; "to" holds
    // the address it was completed to.
    if (addressDomain(original).empty()) original = {};
  }
  std::string_view relay, status;
  if (!fieldValue(text, "relay", relay) || !fieldValue(text, "status", status)) return unreadable();
  std::string_view reply = status;
  const std::string_view state = takeToken(reply);
  if (state != "sent") return;

  auto found = queue_.find(std::string(qid));
  if (found == queue_.end() || found->second.size == 0) return;  // its size is in older logs
  Message& m = found->second;

  const size_t queuedAs = reply.rfind("queued as ");
  const size_t forwardedAs = reply.find("forwarded as ");
  if ((queuedAs != std::string_view::npos && isLoopbackRelay(relay)) || forwardedAs != std::string_view::npos) {
    // A content filter's copy, or local(8)'s forwarded copy: not a message
    // of its own, though its deliveries count.
    std::string_view copyText = reply.substr(forwardedAs != std::string_view::npos ? forwardedAs + 13 : queuedAs + 10);
    const std::string copyId(copyText.substr(0, copyText.find_first_of(" )")));
    if (auto gone = loopbackCounted_.find(copyId); gone != loopbackCounted_.end()) {
      takeBack(gone->second);
      loopbackCounted_.erase(gone);
    } else if (isQueueId(copyId) && copyId != qid) {
      Message& copy = queue_[copyId];
      copy.reinjected = true;
      if (copy.countedDomain) takeBack(Counted{copy.countedDomain, copy.countedDay, copy.size});
      copy.countedDomain = nullptr;
      if (copy.messageId.empty()) copy.messageId = m.messageId.empty() ? "qid:" + std::string(qid) : m.messageId;
    }
  }
  const std::string_view credited = original.empty() ? recipient : original;
  if (const std::wstring* domain = hosted(addressDomain(credited))) {
    // Once per message and recipient: a filter's or a forward's copy
    // reaches the same recipient again.
    const std::string key = (m.messageId.empty() ? "qid:" + std::string(qid) : m.messageId) + '\n' + lowerAscii(credited);
    const auto entered = m.messageId.empty() ? enteredIds_.end() : enteredIds_.find(m.messageId);
    const uint64_t size = entered == enteredIds_.end() ? m.size : entered->second;
    if (creditedDeliveries_.insert(key).second && inWindow(time)) record(*domain, time).smtpInReceived += size;
  }
  // A hosted recipient's mail stays here; a forward of it may leave.
  if (!inWindow(time) || hosted(addressDomain(recipient))) return;
  // Only the SMTP client hands mail to another server; the other agents
  // deliver into this host's mailboxes.
  if (daemon != "smtp" || isLoopbackRelay(relay)) return;
  const std::wstring* sender = hosted(m.senderDomain);
  if (sender && m.relays.insert(std::string(relay)).second) record(*sender, time).smtpOutSent += m.size;
}

void MailLogAccounting::takeBack(const Counted& counted) {
  traffic_[*counted.domain][counted.day].smtpOutReceived -= counted.size;
  --messages_[counted.day];
}

// "imap(user@domain)<pid><session>: Logged out in=N out=N ..." or
// "pop3(user@domain)<pid><session>: Disconnected: Logged out top=n/B, retr=n/B, ...".
bool MailLogAccounting::isDovecotOwnLine(std::string_view text) {
  const std::string_view first = text.substr(0, text.find(' '));
  if (first.empty() || first.back() != ':') return false;
  for (std::string_view p : kDovecotProcesses)
    if (first == p) return true;
  // "imap(user)<pid><session>:", "lmtp(1234):": a host name holds no "(".
  const size_t open = first.find('(');
  return open != std::string_view::npos && open > 0 && first.find(')') != std::string_view::npos;
}

// Dovecot 2.x: "imap(user)<pid><session>: Logged out in=N out=N" (IMAP),
// "pop3(user)...: Logged out top=n/B, retr=n/B, ..." (POP3's format), and
// 1.x: "IMAP(user): Disconnected: Logged out bytes=in/out".
void MailLogAccounting::dovecotLine(std::string_view text, UnixTime time) {
  if (!(equalsIgnoringCase(text.substr(0, 5), "imap(") || equalsIgnoringCase(text.substr(0, 5), "pop3("))) {
    ++counts_.passedOver;  // logins, the master, deliveries: no session's bytes
    return;
  }
  const size_t close = text.find(')');
  const size_t colon = text.find(": ");
  if (close == std::string_view::npos || colon == std::string_view::npos || colon < close) return unreadable();
  const std::string_view user = text.substr(5, close - 5);
  std::string_view rest = text.substr(colon + 2);

  bool haveIn = false, haveOut = false, haveRetr = false;
  uint64_t in = 0, out = 0, popBytes = 0;
  while (!rest.empty()) {
    std::string_view token = takeToken(rest);
    if (!token.empty() && token.back() == ',') token.remove_suffix(1);
    const size_t eq = token.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = token.substr(0, eq), value = token.substr(eq + 1);
    if (key == "in") {
      if (!parseNumber(value, in)) return unreadable();
      haveIn = true;
    } else if (key == "out") {
      if (!parseNumber(value, out)) return unreadable();
      haveOut = true;
    } else if (key == "bytes") {
      const size_t slash = value.find('/');
      if (slash == std::string_view::npos || !parseNumber(value.substr(0, slash), in) || !parseNumber(value.substr(slash + 1), out))
        return unreadable();
      haveIn = haveOut = true;
    } else if (key == "top" || key == "retr") {
      uint64_t bytes = 0;
      const size_t slash = value.find('/');
      if (slash == std::string_view::npos || !parseNumber(value.substr(slash + 1), bytes)) return unreadable();
      popBytes += bytes;
      haveRetr = true;
    }
  }
  if (haveIn != haveOut) return unreadable();
  if (!haveIn && !haveRetr) {
    ++counts_.passedOver;  // not the end of a session
    return;
  }
  if (!inWindow(time)) return;
  const std::wstring* domain = hosted(addressDomain(user));
  if (!domain) return;
  mailhostctl::MailTrafficRecord& r = record(*domain, time);
  if (haveIn) {
    r.popImapReceived += in;
    r.popImapSent += out;
  } else {
    r.popImapSent += popBytes;
  }
}

}  // namespace mailprovider
