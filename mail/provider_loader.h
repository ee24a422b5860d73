// Finding and loading the mail provider library named by the product setting
// "MAIL_PROVIDERW_DLL".
#pragma once

#include <memory>
#include <string>

#include "mail/mail_provider.h"

namespace mailhostctl {

// Calls `release` instead of deleting: the object belongs to the provider.
struct ProviderRelease {
  void operator()(IMailHostCtlProvider* p) const noexcept { p->release(); }
};
struct MailboxRelease {
  void operator()(IMailbox* m) const noexcept { m->release(); }
};
using ProviderPtr = std::unique_ptr<IMailHostCtlProvider, ProviderRelease>;
using MailboxPtr = std::unique_ptr<IMailbox, MailboxRelease>;

// Loads the library of that full path and returns a new provider from its
// factory. A library that cannot be loaded, or lacks the factory, raises;
// a factory that returns null raises "Library " + path + " is corrupt" (and
// the library is closed again). A provider that was made keeps its library
// loaded for the rest of the process.
ProviderPtr loadMailProviderFrom(const std::wstring& path);

// loadMailProviderFrom the product setting "MAIL_PROVIDERW_DLL". Any failure
// is raised with the added context "Load mail provider".
ProviderPtr loadMailProvider();

}  // namespace mailhostctl
