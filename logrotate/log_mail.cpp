// Delivery of a rotated log by e-mail.
#include "logrotate/domain_display.h"
#include "logrotate/logrotate.h"
#include "logrotate/mail_message.h"
#include "support/logging.h"

namespace {

ExceptionLocation sendContext(const std::wstring& fileName, const std::wstring& domainName, const std::wstring& recipient) {
  return VLOC(vaformat(L"Send log %s for domain %s to %s", fileName, domainDisplayNameOrStored(domainName), recipient), "logrotate::_sendLogByEmail");
}

void sendLog(const std::wstring& recipient, const std::wstring& domainName, MailAttachment log, const std::wstring& senderAddress,
             const std::wstring& senderName) {
  MailContent content;
  content.senderAddress = senderAddress;
  content.senderName = senderName;
  content.recipientAddress = recipient;
  content.subject = L"Domain " + domainName + L" log " + log.name;
  content.attachments.push_back(std::move(log));
  PocoMailMessage(std::move(content)).send();
}

}  // namespace

void logrotate::_sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, const std::wstring& path,
                                const std::wstring& senderAddress, const std::wstring& senderName) {
  if (recipient.empty()) return;
  const std::wstring name = vfs::fileName(path);
  rethrowing([&] { return sendContext(name, domainName, recipient); },
             [&] { sendLog(recipient, domainName, MailAttachment{name, vfs::openRead(path)}, senderAddress, senderName); });
}

void logrotate::_sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, vfs::File log, const std::wstring& senderAddress,
                                const std::wstring& senderName) {
  if (recipient.empty()) return;
  const std::wstring name = vfs::fileName(log.path());
  rethrowing([&] { return sendContext(name, domainName, recipient); },
             [&] { sendLog(recipient, domainName, MailAttachment{name, std::move(log)}, senderAddress, senderName); });
}

void logrotate::_sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, const vfs::Directory& dir, const std::wstring& name,
                                const std::wstring& senderAddress, const std::wstring& senderName) {
  if (recipient.empty()) return;
  rethrowing([&] { return sendContext(name, domainName, recipient); },
             [&] { sendLog(recipient, domainName, MailAttachment{name, dir.openRead(name)}, senderAddress, senderName); });
}
