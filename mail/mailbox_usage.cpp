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

MailProviderOnce::Outcome MailProviderOnce::get() {
  if (!tried_) {
    tried_ = true;
    try {
      provider_ = mailhostctl::loadMailProvider();
    } catch (const vexception& e) {
      failure_ = e;  // the loader gives every failure its own context
    } catch (...) {
      failure_ = currentAsVexception(VLOC(L"Load mail provider", kFunction));
    }
  }
  return {provider_.get(), failure_ ? &*failure_ : nullptr};
}

std::optional<vexception> calculateMailBoxUsage(DomainInfo& domain, const DomainModel& model, MailUsageWarning& warning,
                                                MailProviderOnce& providers) {
  logMessage(LogLevel::Info, L"Calculate mailbox usage for %s...", domain.name);
  if (model.param(L"not_count_mail_disk_usage") == L"true") {
    warnOnce(warning, L"Calculating mail disk usage is been skipping due to mail disk usage has not been counted.");
    return std::nullopt;
  }
  auto where = [&] { return VLOC(vaformat(L"calculateMailBoxUsage domainName=%s", domain.name), kFunction); };
  const MailProviderOnce::Outcome loaded = providers.get();
  if (loaded.failure) {
    vexception failure = *loaded.failure;
    failure.addLocation(where());
    return failure;
  }
  try {
    if (!loaded.provider->isSupported(mailhostctl::FeatureMailboxDiskUsage)) {
      warnOnce(warning, L"Mail server does not support calculating mail disk usage.");
      return std::nullopt;
    }
  } catch (...) {
    return currentAsVexception(where());
  }
  measureMailboxes(domain, *loaded.provider);
  return std::nullopt;
}

void saveMailBoxUsage(ResultsWriter& results, const DomainInfo& domain) {
  for (const auto& [name, bytes] : domain.mailboxUsage) results.writeMailbox(domain, name, static_cast<int64_t>(bytes));
}

void runMailboxUsageStep(ResultsWriter& results, const DomainModel& model) {
  guarded(LogLevel::Error, VLOC(L"Calculate domain(s) disk space", "statistics::start"), [&] {
    MailUsageWarning warning;
    MailProviderOnce providers;
    std::vector<std::wstring> ids;
    for (const auto& [id, domain] : model.domainsById) ids.push_back(domain->id);
    BusinessLock::DomainLockChunks locks(std::move(ids), L"MailBoxUsageStatus");
    size_t index = 0;
    for (const auto& [id, domain] : model.domainsById) {
      const size_t i = index++;
      auto where = [&] { return VLOC(L"Calculate domain " + domain->name + L" mailbox usage", "statistics::start"); };
      guarded(LogLevel::Error, where, [&] {
        if (!locks.acquire(i)) return;  // another live process works on this domain
        logMessage(LogLevel::Info, L"Mailbox usage for domain %s", domain->name);
        if (std::optional<vexception> failure = calculateMailBoxUsage(*domain, model, warning, providers)) {
          // Reported without a throw: a provider that cannot be loaded fails
          // every domain alike, and thousands of unwindings cost seconds.
          failure->addLocation(where());
          LogManager::instance().logException(static_cast<int>(LogLevel::Error), *failure);
          return;
        }
        saveMailBoxUsage(results, *domain);
      });
      terminal::progressDomainDone();
    }
  });
}
