// The mail provider for Linux mail hosts: Postfix for SMTP, Dovecot for
// POP3 and IMAP, mailboxes in Maildir folders.
//
// Settings, values of the registry key
// "SOFTWARE\Halvex\QMX Config\Config\MailProvider":
//   "MailRoot"  (string) the Maildir root, default "/var/mail/vhosts"
//               (see maildir.h for the layout);
//   "MailLog"   (string) the mail log, default "/var/log/mail.log"; its
//               rotated files lie beside it (see log_files.h);
//   "RetireRotatedLogs" (DWORD) non-zero: report rotated mail logs that lie
//               wholly inside a counted window as consumed, so that the run
//               moves them to "SaveMailLogsDirectory" or removes them.
//               Default 0: the operator's logs are left alone.
#pragma once

#include <string>

#include "mail/mail_provider.h"
#include "mail/provider/log_files.h"
#include "mail/provider/log_stamp.h"

namespace mailprovider {

inline constexpr const wchar_t* kProviderKey = L"SOFTWARE\\Halvex\\QMX Config\\Config\\MailProvider";

struct ProviderSettings {
  std::wstring mailRoot = L"/var/mail/vhosts";
  std::wstring mailLog = L"/var/log/mail.log";
  bool retireRotatedLogs = false;
  // Where xz, bzip2 and zstd are (no registry setting: the system's own).
  std::wstring decompressors = kDecompressorDirectory;
};

// The settings from the registry, defaults for missing values.
ProviderSettings readProviderSettings();

// A rotated file may be retired once the window ending at `end` is
// committed: every line in it and its last write lie before the end (lines
// before the window's start were counted by the windows before), and no
// process has it open.
bool mayRetire(const MailLogFile& file, bool stamped, UnixTime last, UnixTime end);

class PostfixDovecotProvider final : public mailhostctl::IMailHostCtlProvider {
 public:
  explicit PostfixDovecotProvider(ProviderSettings settings) : settings_(std::move(settings)) {}

  bool isSupported(int feature) override;
  mailhostctl::IMailbox* getMailbox(const std::wstring& mailName, const std::wstring& domainName) override;
  void release() override;
  void getMailTraffic(const mailhostctl::MailDateTime& start, const mailhostctl::MailDateTime& end, mailhostctl::MailTrafficRequest& request,
                      std::vector<std::wstring>& consumedFiles, mailhostctl::MailMessagesSent& messagesSent) override;

 private:
  ProviderSettings settings_;
};

}  // namespace mailprovider
