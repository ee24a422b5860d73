#include "mail/mailbox_usage.h"

#include "app/business_lock.h"
#include "mail/provider_loader.h"
#include "support/logging.h"

namespace {

constexpr const char* kFunction = "statistics::calculateMailBoxUsage";

void warnOnce(MailUsageWarning& warning, const wchar_t* text) {
  if (warning.given) return;
  logMessage(LogLevel::Warning, text);
  warning.given = true;
}

void measureMailboxes(DomainInfo& domain, mailhostctl::IMailHostCtlProvider& provider) {
  for (const std::wstring& mailName : domain.mailNames) {
    auto where = [&] { return VLOC(vaformat(L"Calculate mailbox usage for %s@%s", mailName, domain.name), kFunction); };
    guarded(LogLevel::Warning, where, [&] {
      logMessage(LogLevel::Info, L"Calculate mailbox usage for %s@%s...", mailName, domain.name);
      mailhostctl::MailboxPtr mailbox(provider.getMailbox(mailName, domain.name));
      if (!mailbox) throw vexception(L"The mail provider returned no mailbox", VLOC(L"", kFunction));
      domain.mailboxUsage[mailName] = mailbox->size();
    });
  }
}

}  // namespace

void calculateMailBoxUsage(DomainInfo& domain, const DomainModel& model, MailUsageWarning& warning) {
  logMessage(LogLevel::Info, L"Calculate mailbox usage for %s...", domain.name);
  if (model.param(L"not_count_mail_disk_usage") == L"true") {
    warnOnce(warning, L"Calculating mail disk usage is been skipping due to mail disk usage has not been counted.");
    return;
  }
  rethrowing(VLOC(vaformat(L"calculateMailBoxUsage domainName=%s", domain.name), kFunction), [&] {
    mailhostctl::ProviderPtr provider = mailhostctl::loadMailProvider();
    if (!provider->isSupported(mailhostctl::FeatureMailboxDiskUsage)) {
      warnOnce(warning, L"Mail server does not support calculating mail disk usage.");
      return;
    }
    measureMailboxes(domain, *provider);
  });
}

void saveMailBoxUsage(ResultsWriter& results, const DomainInfo& domain) {
  for (const auto& [name, bytes] : domain.mailboxUsage) results.writeMailbox(domain, name, static_cast<int64_t>(bytes));
}

void runMailboxUsageStep(ResultsWriter& results, const DomainModel& model) {
  guarded(LogLevel::Error, VLOC(L"Calculate domain(s) disk space", "statistics::start"), [&] {
    MailUsageWarning warning;
    for (const auto& [id, domain] : model.domainsById) {
      auto where = [&] { return VLOC(L"Calculate domain " + domain->name + L" mailbox usage", "statistics::start"); };
      guarded(LogLevel::Error, where, [&] {
        BusinessLock::RegistryLock lock(BusinessLock::RegistryOfflineLockStatus(domainKey(id), L"MailBoxUsageStatus"));
        try {
          lock.lock();
        } catch (const BusinessLock::LockException&) {
          return;  // another live process works on this domain
        }
        logMessage(LogLevel::Info, L"Mailbox usage for domain %s", domain->name);
        calculateMailBoxUsage(*domain, model, warning);
        saveMailBoxUsage(results, *domain);
        lock.unlock();
      });
      terminal::progressDomainDone();
    }
  });
}
