// Mailbox usage: the size of every mailbox of every domain, asked from the
// mail provider, kept in the domain model and written to the results
// document.
#pragma once

#include <optional>

#include "app/results_writer.h"
#include "config/domain.h"
#include "mail/provider_loader.h"

// Shared by the two "mail disk usage is not measured" warnings, so that at
// most one of them is given per run.
struct MailUsageWarning {
  bool given = false;
};

// The step's provider, loaded at the first domain that needs it and kept
// for the others: a host has one provider, and a load costs a library
// look-up. A failure to load is kept too and given to every domain, as a
// load per domain would give it.
class MailProviderOnce {
 public:
  struct Outcome {
    mailhostctl::IMailHostCtlProvider* provider;  // null when it failed
    const vexception* failure;
  };
  Outcome get();

 private:
  bool tried_ = false;
  mailhostctl::ProviderPtr provider_;
  std::optional<vexception> failure_;
};

// Fills the domain's mailboxUsage, mailbox by mailbox in configuration order,
// through the step's provider. With the parameter
// "not_count_mail_disk_usage" equal to "true" (exactly) nothing is loaded or
// measured; nor when the provider does not support feature 4. A mailbox that
// fails is logged at Warning ("Calculate mailbox usage for %s@%s") and gets
// no entry; the others are still measured. A failure outside the mailboxes
// (loading the provider, its support check) is returned with the context
// "calculateMailBoxUsage domainName=%s", for the caller to report.
std::optional<vexception> calculateMailBoxUsage(DomainInfo& domain, const DomainModel& model, MailUsageWarning& warning,
                                                MailProviderOnce& providers);

// One `mail` element per entry of the domain's mailboxUsage, in name order.
void saveMailBoxUsage(ResultsWriter& results, const DomainInfo& domain);

// The run driver's mailbox usage step: for each domain in id order, under the
// domain's "MailBoxUsageStatus" lock (a busy lock skips the domain silently;
// taken a chunk of domains at a time), calculate and save its mailbox usage. Each domain fails alone (Error,
// "Calculate domain <name> mailbox usage"); the step as a whole is guarded
// with "Calculate domain(s) disk space". Never throws.
void runMailboxUsageStep(ResultsWriter& results, const DomainModel& model);
