// The mail provider contract: a shared library that knows the host's mail
// server, loaded by the statistics program at run time to size mailboxes and
// to count mail traffic. This header is self-contained (standard headers
// only), so that a provider can be written and built outside this project.
//
// Building a provider:
//   - export `extern "C" getMailHostCtlProviderInstance` (below); it returns
//     a new provider object, or null when the provider cannot work here;
//   - build with the same compiler and standard library as the program
//     (g++ and libstdc++ on Linux): the objects pass std::wstring, std::map
//     and std::vector by reference, which is only sound within one C++ ABI;
//   - the program opens the library with its full path (the product setting
//     "MAIL_PROVIDERW_DLL"). Libraries the provider itself needs are found
//     through its own run path: link it with `-Wl,-rpath,'$ORIGIN'` to find
//     them beside it. The program changes no process-wide search path;
//   - a provider that links a static copy of the program's support library
//     should link it with `-Wl,--exclude-libs,ALL`: its logMessage then finds
//     the program's logging context through the exported symbol
//     m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 and follows the
//     program's outputs;
//   - failures are reported by throwing (a std::exception preferably); the
//     program catches anything a call throws and reports it. A fault (an
//     invalid memory access) ends the whole process with a crash report.
//
// The virtual operations are declared in their fixed slot order; the
// classes have no virtual destructor (it would add slots): objects are
// destroyed through their `release` operation only.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mailhostctl {

// Features a provider may support (argument of isSupported).
enum Feature : int {
  // Mailbox sizes through getMailbox / IMailbox::size.
  FeatureMailboxDiskUsage = 4,
};

// A calendar date (UTC).
struct MailDate {
  uint16_t year = 0, month = 0, day = 0;
  auto operator<=>(const MailDate&) const = default;
};

// A moment (UTC), to the second. The all-zero value is earlier than any log
// line: "everything there is".
struct MailDateTime {
  uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  auto operator<=>(const MailDateTime&) const = default;
};

// A domain's counters for one day, in bytes; "sent" and "received" are seen
// from the mail server.
struct MailTrafficRecord {
  uint64_t smtpOutSent = 0;       // 0: mail of the domain's users, sent on by the server
  uint64_t smtpOutReceived = 0;   // 1: mail of the domain's users, received from them
  uint64_t smtpInSent = 0;        // 2: mail for the domain, sent by the server in the exchange
  uint64_t smtpInReceived = 0;    // 3: mail for the domain, received by the server
  uint64_t popImapSent = 0;       // 4: POP3/IMAP sessions of the domain's users, sent by the server
  uint64_t popImapReceived = 0;   // 5: POP3/IMAP sessions, received by the server
};

// Domain name (exact, case-sensitive as the program knows it) -> day ->
// counters. The program fills the names; the provider fills the days.
using MailTrafficRequest = std::map<std::wstring, std::map<MailDate, MailTrafficRecord>>;

// Day -> messages sent by the users of the requested domains.
using MailMessagesSent = std::map<MailDate, uint64_t>;

class IMailbox {
 public:
  // The bytes the mailbox occupies. Throws when it cannot be measured (a
  // mailbox that does not exist has no size: never a false 0).
  virtual uint64_t size() = 0;
  virtual void release() = 0;

 protected:
  ~IMailbox() = default;
};

class IMailHostCtlProvider {
 public:
  virtual bool isSupported(int feature) = 0;
  // The mailbox `mailName`@`domainName`; throws when there is none.
  virtual IMailbox* getMailbox(const std::wstring& mailName, const std::wstring& domainName) = 0;
  virtual void release() = 0;
  // Counts the mail traffic of the requested domains for the log lines in
  // [start, end): adds, per requested name it has data for, the day's
  // counters; appends to `consumedFiles` the full paths of mail log files
  // that lie wholly inside the window and may be retired (empty entries are
  // ignored); adds the messages sent per day.
  virtual void getMailTraffic(const MailDateTime& start, const MailDateTime& end, MailTrafficRequest& request,
                              std::vector<std::wstring>& consumedFiles, MailMessagesSent& messagesSent) = 0;

 protected:
  ~IMailHostCtlProvider() = default;
};

// The name of the factory every provider exports.
inline constexpr const char* kProviderFactoryName = "getMailHostCtlProviderInstance";
using ProviderFactory = IMailHostCtlProvider* (*)();

}  // namespace mailhostctl

extern "C" mailhostctl::IMailHostCtlProvider* getMailHostCtlProviderInstance();
