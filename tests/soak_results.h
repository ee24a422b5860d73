// What the soak reads back: the figures of results documents, the lock
// values and markers in the registry store, the lines of the analyser feeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/soak_world.h"

namespace soak {

// A document is complete when its root element is closed.
bool complete(const std::string& doc);
// The sums of the document's `traffic` elements per domain, date and type.
Figures parseTraffic(const std::string& doc);
// The sums of its `sitepages` elements per date.
DayCounts parseSitePages(const std::string& doc);

void add(Figures& total, const Figures& more);
void add(DayCounts& total, const DayCounts& more);

// Lines "key: expected X, counted Y" for every key where the two differ.
std::vector<std::string> differences(const Figures& expected, const Figures& counted);
std::vector<std::string> differences(const DayCounts& expected, const DayCounts& counted, const std::string& what);

// The domains' traffic lock values ("OfflineLockStatus") that are not 0.
std::vector<std::pair<std::string, uint32_t>> heldLocks(const std::vector<SoakDomain>& domains);

// "ok" when the store reads back whole: every domain key's values can be
// read and SQLite's integrity check passes; otherwise what failed.
std::string checkStore(const std::vector<SoakDomain>& domains);

// Lines of the domain's feed files in its logs directory: (web, FTP).
std::pair<int64_t, int64_t> feedLines(const std::string& logsDir);

// Entries a run left in a logs directory that nobody should find there:
// temporary files of copies and archives that were never renamed into place.
std::vector<std::string> leftovers(const std::string& logsDir);

}  // namespace soak
