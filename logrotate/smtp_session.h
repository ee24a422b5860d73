// The SMTP session of the mail-sending layer, over POCO's SMTP client.
#pragma once

#include <memory>
#include <string>

#include "logrotate/mail_config.h"

namespace Poco::Net {
class MailMessage;
}

class ISMTPClientSession {
 public:
  virtual ~ISMTPClientSession() = default;
  // Greets the server (EHLO with the local computer name), upgrades to TLS
  // when the session is secure, logs in when a user is configured, sends the
  // message (MAIL FROM, RCPT TO, DATA) and closes. Failures of the library
  // raise vexception with its text (the password never appears in it).
  virtual void send(const Poco::Net::MailMessage& message) = 0;
};

// Connects to the configured host and port: SMTPClientSessionEx over
// SecureSMTPClientSession when secure, over SMTPClientSession otherwise.
// A connection that fails raises vexception naming host and port.
std::unique_ptr<ISMTPClientSession> openSmtpSession(const MailMessageSendConfig& config);

// The login method for a user, from the server's EHLO reply: the first of
// CRAM-MD5, CRAM-SHA1, LOGIN, PLAIN offered on its AUTH lines ("250-AUTH
// LOGIN PLAIN"; names compared ignoring case); None when it offers none of
// them, and the message is then sent without authentication.
enum class SmtpLogin { None, CramMd5, CramSha1, Login, Plain };
SmtpLogin chooseLoginMethod(const std::string& ehloReply);
