// The exported factory of the Postfix/Dovecot mail provider library.
#include "mail/provider/postfix_provider.h"
#include "support/logging.h"

extern "C" __attribute__((visibility("default"))) mailhostctl::IMailHostCtlProvider* getMailHostCtlProviderInstance() {
  try {
    return new mailprovider::PostfixDovecotProvider(mailprovider::readProviderSettings());
  } catch (...) {
    // The program reports a null provider as a corrupt library; say why here.
    logStandard(LogLevel::Error, VLOC(L"Create the Postfix/Dovecot mail provider", "getMailHostCtlProviderInstance"));
    return nullptr;
  }
}
