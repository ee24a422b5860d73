// The disk usage step of a run, for the run driver.
#pragma once

class ResultsWriter;
struct DomainModel;

// For each domain in the order of domain ids: takes the domain's
// "DiskUsageStatus" business lock (a domain whose lock another process holds
// is skipped without a message), calculates and saves its disk usage, and
// releases the lock (the locks are taken and released a chunk of domains at
// a time, BusinessLock::DomainLockChunks). A domain's failure is logged at Error with the context
// "Calculate domain " + name + " disk space", a failure of the step as a
// whole with "Calculate domain(s) disk space" (function statistics::start);
// never raises. The run driver calls it when the run includes disk usage,
// after the mailbox usage step has filled the domains' mailboxUsage.
void runDiskUsageStep(DomainModel& model, ResultsWriter& results) noexcept;
