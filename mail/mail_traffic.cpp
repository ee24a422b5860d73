#include "mail/mail_traffic.h"

#include <memory>
#include <set>

#include "app/business_lock.h"
#include "mail/provider_loader.h"
#include "support/logging.h"
#include "support/registry.h"

namespace {

constexpr const char* kFunction = "statistics::processMailTraffic";

mailhostctl::MailDateTime toMailDateTime(const VDateTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second};
}

// The provider's date as a traffic table key; false for a date that is no
// calendar date, which must not reach the results document.
bool toTableDate(const mailhostctl::MailDate& d, VDateTime& out) {
  VDateTime t;
  t.year = d.year;
  t.month = d.month;
  t.day = d.day;
  if (!t.normalize() || d.year == 0) return false;
  out = t.datePart();
  return true;
}

std::wstring readConfigString(const wchar_t* name) {
  std::wstring value;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, value);
  return value;
}

// Name -> domain for the names that were asked for and are known.
DomainInfo* requestedDomain(const std::wstring& name, const std::set<std::wstring>& asked, const DomainsById& domainsById,
                            const std::map<std::wstring, std::wstring>& domainIdsByName) {
  if (!asked.contains(name)) return nullptr;
  auto id = domainIdsByName.find(name);
  if (id == domainIdsByName.end()) return nullptr;
  auto domain = domainsById.find(id->second);
  return domain == domainsById.end() ? nullptr : domain->second.get();
}

void addResults(const mailhostctl::MailTrafficRequest& request, const std::set<std::wstring>& asked, const DomainsById& domainsById,
                const std::map<std::wstring, std::wstring>& domainIdsByName) {
  for (const auto& [name, days] : request) {
    DomainInfo* domain = requestedDomain(name, asked, domainsById, domainIdsByName);
    if (!domain) continue;
    for (const auto& [day, record] : days) {
      VDateTime date;
      if (!toTableDate(day, date)) {
        logMessage(LogLevel::Warning, L"The mail provider reported traffic of %s for the invalid date %04d-%02d-%02d; ignored", name, day.year,
                   day.month, day.day);
        continue;
      }
      addMailTraffic(*domain, date, record);
    }
  }
}

void addMessages(const mailhostctl::MailMessagesSent& reported, MailMessagesSent& messages) {
  for (const auto& [day, count] : reported) {
    VDateTime date;
    if (!toTableDate(day, date)) {
      logMessage(LogLevel::Warning, L"The mail provider reported messages sent for the invalid date %04d-%02d-%02d; ignored", day.year, day.month,
                 day.day);
      continue;
    }
    messages[date] += count;
  }
}

// The consumed files, registered once the window that counted them is
// recorded (the run's markers are written before any commit action), so
// that their lines are neither lost nor counted twice.
void retireConsumed(const std::vector<std::wstring>& files, halvex::logging::LogStorage& mailLogStorage) {
  for (const std::wstring& path : files)
    if (!path.empty() && !mailLogStorage.contains(path)) mailLogStorage.add(path, L"");
}

}  // namespace

VDateTime readMailTrafficStart(const std::wstring& fromDate) {
  std::wstring start = fromDate.empty() ? readConfigString(kLastMailTrafficValue) : fromDate;
  if (start.empty()) start = readConfigString(L"LastStatisticsRun");
  if (start.empty()) return VDateTime{};
  VDateTime parsed = VDateTime::parsed(start, L"YMDhms");
  // A marker that reads as no date would restart from the beginning of time
  // and count every log line again.
  if (!parsed.normalize() || parsed.year == 0)
    throw vexception(L"Invalid start of the mail traffic window '" + start + L"'", VLOC(L"", "statistics::processMailTraffic"));
  return parsed;
}

void addMailTraffic(DomainInfo& domain, const VDateTime& date, const mailhostctl::MailTrafficRecord& record) {
  auto add = [&](int kind, uint64_t sent, uint64_t received) {
    DayTraffic& day = domain.traffic[kind][date];
    day.sent += static_cast<int64_t>(sent);
    day.received += static_cast<int64_t>(received);
  };
  add(LogSmtpOut, record.smtpOutSent, record.smtpOutReceived);
  add(LogSmtpIn, record.smtpInSent, record.smtpInReceived);
  add(LogPop, record.popImapSent, record.popImapReceived);
}

void processMailTraffic(const DomainsById& domainsById, const std::map<std::wstring, std::wstring>& domainIdsByName, const std::wstring& fromDate,
                        MailMessagesSent& messages, halvex::logging::LogStorage& mailLogStorage, CommitActions& commit) {
  logMessage(LogLevel::Info, L"Collect mail logs");
  guarded(LogLevel::Error, VLOC(L"Calculate mail traffic", kFunction), [&] {
    mailhostctl::ProviderPtr provider = mailhostctl::loadMailProvider();
    mailhostctl::MailTrafficRequest request;
    std::set<std::wstring> asked;
    for (const auto& [id, domain] : domainsById) {
      if (!domain->calculateMail) continue;
      request.try_emplace(domain->name);
      asked.insert(domain->name);
    }
    const VDateTime start = readMailTrafficStart(fromDate);
    VDateTime end = VDateTime::nowUtc();
    end.millisecond = 0;
    // A start after the end (the clock was set back): counting now and
    // recording the earlier end would count the same lines twice.
    if (end < start)
      throw vexception(L"The mail traffic window starts at " + start.formatMarker() + L", after its end " + end.formatMarker(),
                       VLOC(L"", kFunction));

    std::vector<std::wstring> files;
    mailhostctl::MailMessagesSent reported;
    provider->getMailTraffic(toMailDateTime(start), toMailDateTime(end), request, files, reported);

    addResults(request, asked, domainsById, domainIdsByName);
    addMessages(reported, messages);
    // Written with the run's other markers, in one transaction.
    commit.addMarker(kConfigKey, kLastMailTrafficValue, end.formatMarker());
    commit.add(VLOC(L"Calculate mail traffic", kFunction), LogLevel::Error, [files, &mailLogStorage] { retireConsumed(files, mailLogStorage); });
  });
}

void runMailTrafficStep(ResultsWriter& results, const DomainModel& model, const std::wstring& fromDate,
                        halvex::logging::LogStorage& mailLogStorage, CommitActions& commit) {
  guarded(LogLevel::Error, VLOC(L"Calculate mail domain(s) traffic", "statistics::start"), [&] {
    auto lock = std::make_shared<BusinessLock::RegistryLock>(BusinessLock::RegistryOfflineLockStatus(kConfigKey, L"MailTrafficLockStatus"));
    try {
      lock->lock();
    } catch (const BusinessLock::LockException&) {
      return;  // another live instance counts the mail traffic
    }
    // Held until the window is recorded and its consumed logs handed over:
    // another instance must not count the same window in between.
    commit.holdUntilCommitted(lock);
    MailMessagesSent messages;
    processMailTraffic(model.domainsById, model.domainIdsByName, fromDate, messages, mailLogStorage, commit);
    commit.releaseAfterActions(VLOC(L"Release MailTrafficLockStatus", "statistics::start"), lock);
    saveTrafficData(results, model.domainsById, LogSmtpIn, LogPop, false);
    saveMailMessagesData(results, messages);
  });
}
