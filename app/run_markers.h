// Run settings read at start, the per-domain collection windows and the run
// markers that say up to which moment a domain's logs have been counted.
#pragma once

#include <string>
#include <vector>

#include "app/commit_actions.h"
#include "config/domain.h"
#include "support/datetime.h"

// "StatisticsMaximizeConcurrency": 0 or missing means a busy domain is given
// up after its first failed attempt in a run.
void readMaximizeConcurrency();
bool minimizeConcurrency();

// Creates the statistics key and its "DomainIds" subkey when missing.
void ensureStatisticsKeys();

// Now (UTC, milliseconds 0) minus "StatisticsLogExpirationTime" seconds
// (default 259200).
VDateTime readLogExpirationCutoff();

// Takes the domain's traffic lock without waiting; false when busy (and then,
// unless concurrency is maximized, the domain is not tried again this run).
// Any other failure raises, and the domain is not tried again this run.
bool tryLockDomain(DomainInfo& domain);

// Takes the traffic locks of these domains together (a few hundred per
// store write), as tryLockDomain would one by one, and reads their run
// markers in the same pass so that loading
// their windows asks the store nothing more. A domain the batch leaves
// undecided is left to tryLockDomain, which then answers (and reports) as it
// does alone.
void lockDomains(const std::vector<DomainInfo*>& domains);

// Forgets the markers lockDomains read that were not used (the windows of
// domains whose directories were not reached read theirs themselves).
void dropPrefetchedMarkers();

// Releases the traffic locks of these domains that are held, a few hundred
// per write.
void unlockDomains(const std::vector<DomainInfo*>& domains);

// Loads the HTTP and/or FTP window once per run: from the marker (or
// fromDate, or "LastStatisticsRun", or the zero date-time) to now. A start
// after now (the clock was set back) is logged as an Error and gives an
// empty window ending at its start, so that the marker does not move back.
void initLogWindows(DomainInfo& domain, bool http, bool ftp, const std::wstring& fromDate);

// fromDate, else the domain's marker value, else "LastStatisticsRun", parsed
// with "YMDhms"; the zero date-time when there is none.
VDateTime readStartTime(const DomainInfo& domain, const std::wstring& valueName, const std::wstring& fromDate);

// How many runs in a row before this one held the window back (the value
// "HttpTrafficHeldBack" / "FtpTrafficHeldBack" of the domain's key, "start
// marker|count", counts only while the window still starts at that marker).
// 0 when there is none or it cannot be read.
uint32_t readHeldRuns(const DomainInfo& domain, bool http);

// Writes "LastHttpStatisticsRun" / "LastFtpStatisticsRun" for the loaded
// windows; write failures are ignored.
void saveDomainStatus(const DomainInfo& domain);
// The same values registered as run markers with `commit`, which writes them
// together with the run's other markers once the results document is
// complete. A window in the future writes nothing; a window held back
// keeps its marker and records the held run instead.
void saveDomainStatus(const DomainInfo& domain, CommitActions& commit);
