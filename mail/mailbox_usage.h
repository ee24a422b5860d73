// Mailbox usage: the size of every mailbox of every domain, asked from the
// mail provider, kept in the domain model and written to the results
// document.
#pragma once

#include "app/results_writer.h"
#include "config/domain.h"

// Shared by the two "mail disk usage is not measured" warnings, so that at
// most one of them is given per run.
struct MailUsageWarning {
  bool given = false;
};

// Fills the domain's mailboxUsage, mailbox by mailbox in configuration order,
// through a provider loaded for this domain. With the parameter
// "not_count_mail_disk_usage" equal to "true" (exactly) nothing is loaded or
// measured; nor when the provider does not support feature 4. A mailbox that
// fails is logged at Warning ("Calculate mailbox usage for %s@%s") and gets
// no entry; the others are still measured. Failures outside the mailboxes
// (loading the provider, its support check) are raised with the context
// "calculateMailBoxUsage domainName=%s".
void calculateMailBoxUsage(DomainInfo& domain, const DomainModel& model, MailUsageWarning& warning);

// One `mail` element per entry of the domain's mailboxUsage, in name order.
void saveMailBoxUsage(ResultsWriter& results, const DomainInfo& domain);

// The run driver's mailbox usage step: for each domain in id order, under the
// domain's "MailBoxUsageStatus" lock (a busy lock skips the domain silently),
// calculate and save its mailbox usage. Each domain fails alone (Error,
// "Calculate domain <name> mailbox usage"); the step as a whole is guarded
// with "Calculate domain(s) disk space". Never throws.
void runMailboxUsageStep(ResultsWriter& results, const DomainModel& model);
