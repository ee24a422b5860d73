// Turning the collected in-memory tables into elements of the results document.
#pragma once

#include <cstdint>
#include <map>

#include "app/results_writer.h"
#include "config/domain.h"

// Date -> page hits of all domains together.
using SitesHits = std::map<VDateTime, int64_t>;
// Date -> mail messages sent.
using MailMessagesSent = std::map<VDateTime, uint64_t>;

// One `traffic` element per domain, kind (first..last) and day; with
// onlyLocked, domains whose traffic lock this process does not hold are
// skipped. Each domain has its own failure boundary.
void saveTrafficData(ResultsWriter& results, const DomainsById& domains, int firstKind, int lastKind, bool onlyLocked);
void saveSitesHitsData(ResultsWriter& results, const SitesHits& sitesHits);
void saveMailMessagesData(ResultsWriter& results, const MailMessagesSent& messages);
