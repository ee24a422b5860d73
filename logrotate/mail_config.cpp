#include "logrotate/mail_config.h"

#include "support/logging.h"
#include "support/registry.h"

MailMessageSendConfig::MailMessageSendConfig() {
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendHost", host);
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendPort", port);
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendAuthUser", user);
  uint32_t ssl = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendSSL", ssl);
  secure = ssl == 1;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendCAFile", caFile);
  if (user.empty()) return;
  guarded(LogLevel::Warning, VLOC(L"HalvexSrvClient::getPassword(mailMessageSendAuthPassword)", "MailMessageSendConfig::MailMessageSendConfig"),
          [&] { password = HalvexSrvClient::instance().getPassword(L"mailMessageSendAuthPassword"); });
}
