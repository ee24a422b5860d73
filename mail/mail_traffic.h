// Mail traffic: the mail provider's per-domain, per-day counters of SMTP in,
// SMTP out and POP3/IMAP, added to the domains' traffic tables (kinds 3 to 5),
// and the mail messages sent per day.
#pragma once

#include <string>
#include <vector>

#include "app/commit_actions.h"
#include "app/results_data.h"
#include "app/results_writer.h"
#include "config/domain.h"
#include "logrotate/log_storage.h"
#include "mail/mail_provider.h"

// Registry value (string, configuration key) holding the end of the last
// counted window, "%04d/%02d/%02d %02d:%02d:%02d" UTC.
inline constexpr const wchar_t* kLastMailTrafficValue = L"LastMailTrafficCalculation";

// The window's start: fromDate when given, else "LastMailTrafficCalculation",
// else "LastStatisticsRun" (each parsed "YMDhms"), else the zero date-time.
VDateTime readMailTrafficStart(const std::wstring& fromDate);

// Adds one day's counters of a provider to a domain's traffic tables:
// positions 0/1 to SMTP out sent/received, 2/3 to SMTP in, 4/5 to POP.
// Every kind of the day gets its entry (a missing one starts at 0), zeros
// included, so that each is written for the day.
void addMailTraffic(DomainInfo& domain, const VDateTime& date, const mailhostctl::MailTrafficRecord& record);

// Collects the mail traffic of the window [start, now) for the domains with
// calculateMail: asks the provider, adds its counters to the domains' traffic
// (names the program does not know, or did not ask for, are ignored) and its
// messages to `messages`. Only when all of that succeeded are the files the
// provider consumed registered with `mailLogStorage` and the writing of
// "LastMailTrafficCalculation" = the window's end added to `commit`, so that
// nothing is recorded as counted before the results document is complete.
// A window that would start after its end (the clock set back) is refused.
// Failures are logged at Error ("Calculate mail traffic"); never throws.
void processMailTraffic(const DomainsById& domainsById, const std::map<std::wstring, std::wstring>& domainIdsByName, const std::wstring& fromDate,
                        MailMessagesSent& messages, halvex::logging::LogStorage& mailLogStorage, CommitActions& commit);

// The run driver's mail traffic step: takes the process lock
// "MailTrafficLockStatus" (held by another live process: the step is skipped
// without a message), runs processMailTraffic and writes the traffic of kinds
// 3 to 5 of every domain and the messages sent. The lock is handed to
// `commit` and held until the marker has been written. Guarded with
// "Calculate mail domain(s) traffic"; never throws.
void runMailTrafficStep(ResultsWriter& results, const DomainModel& model, const std::wstring& fromDate,
                        halvex::logging::LogStorage& mailLogStorage, CommitActions& commit);
