// Runs the mailbox usage step over one domain ("crash.example" with the
// mailbox "info") with the provider the registry names, the results document
// on standard output; the way the program runs it, fault handlers included.
#include <memory>

#include "app/results_writer.h"
#include "config/domain.h"
#include "mail/mailbox_usage.h"
#include "support/crashdump.h"

int main() {
  installFaultHandlers();
  DomainModel model;
  auto domain = std::make_shared<DomainInfo>(L"1", L"crash.example");
  domain->mailNames = {L"info"};
  model.domainsById[domain->id] = domain;
  model.domainIdsByName[domain->name] = domain->id;
  ResultsWriter results;
  results.setOutputStdout();
  results.beginDocument();
  runMailboxUsageStep(results, model);
  results.endDocument();
  return 0;
}
