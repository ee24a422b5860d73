#include "app/results_data.h"

#include "support/logging.h"

void saveTrafficData(ResultsWriter& results, const DomainsById& domains, int firstKind, int lastKind, bool onlyLocked) {
  for (const auto& [id, domain] : domains) {
    if (onlyLocked && !domain->businessLock.held()) continue;
    guarded(
        LogLevel::Error, [&] { return VLOC(L"Save domain " + domain->name + L" traffic", "statistics::saveTrafficData"); },
        [&] {
          logMessage(LogLevel::Info, L"Traffic for domain %s", domain->name);
          for (int kind = 0; kind < kLogKinds; ++kind) {
            if (kind < firstKind || kind > lastKind) continue;
            logMessage(LogLevel::Info, L"%s log:", logKindDisplayName(kind));
            for (const auto& [date, bytes] : domain->traffic[kind])
              results.writeTraffic(*domain, date, logKindResultsType(kind), bytes.received, bytes.sent);
          }
        });
  }
}

void saveSitesHitsData(ResultsWriter& results, const SitesHits& sitesHits) {
  guarded(LogLevel::Error, VLOC(L"Save sites pages hits", "statistics::saveSitesHitsData"), [&] {
    for (const auto& [date, count] : sitesHits) results.writeSitePages(date, count);
  });
}

void saveMailMessagesData(ResultsWriter& results, const MailMessagesSent& messages) {
  guarded(LogLevel::Error, VLOC(L"Save mail messages sent", "statistics::saveMailMessagesData"), [&] {
    for (const auto& [date, count] : messages) results.writeMailMessages(date, static_cast<int64_t>(count));
  });
}
