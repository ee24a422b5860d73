// A mail message with attachments, and its delivery over SMTP with the
// settings of MailMessageSendConfig.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/fs.h"

// A file to attach that the caller has opened already (through an open
// directory, so that no link is followed).
struct MailAttachment {
  std::wstring name;  // the attachment's file name
  vfs::File file;
};

struct MailContent {
  std::wstring senderAddress;
  std::wstring senderName;
  std::wstring recipientAddress;
  std::wstring recipientName;  // may be empty
  std::wstring subject;
  std::wstring plainBody;
  // Files attached by path; each is opened as a regular file without
  // following a link, when the message is built.
  std::vector<std::wstring> attachmentPaths;
  std::vector<MailAttachment> attachments;
  // "Name: value" lines added as headers.
  std::wstring extraHeaders;
  std::wstring htmlBody;
};

class PocoMailMessage {
 public:
  // Logs "Create mail from='%s', to='%s', subject='%s', body='%s'" at Info
  // and builds the message: the sender "\"name\" <address>" (a name outside
  // ASCII as an RFC 2047 word in UTF-8, the address left bare so that the
  // envelope sender can be taken from it), the recipient, the subject as an
  // encoded word, extra headers, and either one plain-text content or, with
  // an HTML body or attachments, a "text/plain;charset=UTF-8" part (8 bit,
  // line feeds as CR LF), the HTML part, then one base64 part per
  // attachment, named by an encoded word. Raises when an attachment path
  // cannot be opened.
  explicit PocoMailMessage(MailContent content);
  ~PocoMailMessage();
  PocoMailMessage(const PocoMailMessage&) = delete;
  PocoMailMessage& operator=(const PocoMailMessage&) = delete;

  // Logs "Send mail from '%s' to '\"%s\" <%s>'" at Info, reads
  // MailMessageSendConfig and sends over one SMTP session. Raises
  // "No one recipient specified" without a recipient; failures of the
  // connection, the dialogue or an attachment raise vexception.
  void send();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
