// The SMTP settings of the mail-sending layer, from the configuration key.
#pragma once

#include <cstdint>
#include <string>

struct MailMessageSendConfig {
  // Reads the settings (values of "SOFTWARE\Halvex\QMX Config\Config"):
  // "mailMessageSendHost", "mailMessageSendPort", "mailMessageSendAuthUser",
  // "mailMessageSendSSL" (secure only when it equals 1) and
  // "mailMessageSendCAFile". A missing value keeps the default. With a user,
  // the password is the management service's stored password
  // "mailMessageSendAuthPassword"; when it cannot be fetched, a Warning is
  // logged and the password stays empty. A value of the wrong type raises.
  MailMessageSendConfig();

  std::wstring host = L"127.0.0.1";
  uint32_t port = 25;
  std::wstring user;
  std::wstring password;  // never logged
  // The session upgrades to TLS with STARTTLS and verifies the server's
  // certificate and host name; a server that cannot do TLS gets nothing.
  bool secure = false;
  // A file of trusted CA certificates (PEM) used instead of the system's
  // trusted authorities, for servers with a private CA; empty: the system's.
  std::wstring caFile;
};
