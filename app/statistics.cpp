#include "app/statistics.h"

#include <cstdio>

#include "antivirus/av_statistics.h"
#include "app/business_lock.h"
#include "app/commit_actions.h"
#include "app/run_markers.h"
#include "app/temp_directory.h"
#include "config/configuration.h"
#include "config/log_locations.h"
#include "diskusage/disk_usage_step.h"
#include "logrotate/logrotate.h"
#include "mail/mail_traffic.h"
#include "mail/mailbox_usage.h"
#include "traffic/log_scan.h"
#include "webstat/executor_config.h"
#include "webstat/log_for_analyser.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

std::shared_ptr<BusinessLock::RegistryLock> takeProcessLock(const wchar_t* valueName);

std::wstring readSaveDirectory(const wchar_t* name) {
  std::wstring value;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, value);
  return value;
}

}  // namespace

statistics::statistics()
    : ftpLogStorage(std::make_shared<halvex::logging::LogStorage>()),
      httpLogStorage(std::make_shared<halvex::logging::LogStorage>()),
      mailLogStorage(std::make_shared<halvex::logging::LogStorage>()) {}

statistics::~statistics() = default;

int statistics::start(int argc, const wchar_t* const* argv) {
  TempDirectory tempDirectory(L"stat");
  LogManager::instance().applyServicePreset();
  readMaximizeConcurrency();
  ensureStatisticsKeys();
  // Before any marker is read, and before the results file of this run
  // replaces that of an interrupted one.
  recoverInterruptedCommits();
  BusinessLock::onStaleOwner(recoverInterruptedCommits);

  const Params options(argc > 0 ? argc - 1 : 0, argv + (argc > 0 ? 1 : 0));
  options.check();
  Run run;
  run.modeFlags = getModeFlags(options);
  if (run.modeFlags == ShowHelp) return 0;

  prepare(run, options);
  finish(run);
  return 0;
}

// Steps 6 to 13: everything that must succeed before any domain is touched.
void statistics::prepare(Run& run, const Params& options) {
  verbose = options.has(L"--verbose");
  run.fromDate = options.get(L"--from-date");

  ftpLogStorage->setDirectory(readSaveDirectory(L"SaveFTPLogsDirectory"));
  httpLogStorage->setDirectory(readSaveDirectory(L"SaveHTTPLogsDirectory"));
  mailLogStorage->setDirectory(readSaveDirectory(L"SaveMailLogsDirectory"));
  if (verbose) {
    std::fputs(text::toAnsi(vaformat(L"Save FTP logs 2: '%s' HTTP logs 2: '%s' mail logs 2: '%s'\n", ftpLogStorage->directory(),
                                     httpLogStorage->directory(), mailLogStorage->directory()))
                   .c_str(),
               stdout);
    std::fflush(stdout);
  }

  if (!options.has(L"--config")) throw vexception(L"Required parameter --config is not specified", VLOC(L"", "statistics::start"));
  loadConfiguration(model, options.get(L"--config"));

  if (options.has(L"--save-results-to"))
    run.results.setOutputFile(options.get(L"--save-results-to"));
  else
    run.results.setOutputStdout();
  run.results.beginDocument();

  model.iisFtp7 = text::lowerAscii(registry::getstr(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Packages\\ftpserver", L"")) == L"iisftp7";
  run.logExpirationCutoff = readLogExpirationCutoff();
}

namespace {
// A process-level business lock on the configuration key, or none when
// another live process holds it (the step is then skipped without a message).
std::shared_ptr<BusinessLock::RegistryLock> takeProcessLock(const wchar_t* valueName) {
  auto lock = std::make_shared<BusinessLock::RegistryLock>(BusinessLock::RegistryOfflineLockStatus(kConfigKey, valueName));
  try {
    lock->lock();
  } catch (const BusinessLock::LockException&) {
    return nullptr;
  }
  return lock;
}
}  // namespace

void statistics::trafficStep(Run& run) {
  const uint32_t flags = run.modeFlags;
  if (!(flags & (HttpTraffic | FtpTraffic | HttpWebStatistics | FtpWebStatistics))) return;
  // The feeds are copied into the domains' logs directories only once the
  // figures of their lines are delivered; a run that fails before discards them.
  auto analysers = std::make_shared<AnalyserRegistry>(model);
  run.analysers = analysers;
  guarded(LogLevel::Error, VLOC(L"Calculate domain(s) traffic", "statistics::start"), [&] {
    {
      // Gone once the logs are read: a host's directories are not held
      // while its markers and configurations are made.
      LogDirectoryMap logDirectoryMap;
      // Every feed needs its domain's logs directory, FTP feeds too; the web
      // logs themselves are listed only when web figures are asked for.
      getWebDomainLogs(model, flags, logDirectoryMap);
      getFtpLogDirectories(model, flags, logDirectoryMap);
      LogCollector collector(model, sitesHits, *httpLogStorage, *ftpLogStorage, analysers.get());
      collector.processLogDirs(run.logExpirationCutoff, logDirectoryMap, run.fromDate);
    }
    // Worked out now, while nothing of the logs changes, so that disk usage
    // can describe the log directories as the rotation will leave them.
    if (flags & (HttpTraffic | FtpTraffic)) run.rotation = prepareLogRotate(model, *httpLogStorage);

    const bool figures = (flags & (HttpTraffic | FtpTraffic)) != 0;
    if (figures) {
      saveTrafficData(run.results, model.domainsById, LogHttp, LogFtp, true);
      saveSitesHitsData(run.results, sitesHits);
    }
    // The executor configurations are flushed to disk together, once for all domains, before any marker commits.
    WebStatExecutorConfigBatch executorConfigs;
    for (auto& [id, domain] : model.domainsById) {
      DomainInfo* d = domain.get();
      guarded(LogLevel::Error, [&] { return VLOC(L"Save domain " + d->name + L" status", "statistics::start"); }, [&] {
        // The markers move only after the document holding the figures is complete.
        if (figures) saveDomainStatus(*d, run.commit);
        executorConfigs.add(*d);
      });
    }
    executorConfigs.commit();
  });
  // The feeds are copied into the logs directories under scratch names as
  // the document ends and journalled with the markers: they take their
  // names with the figures of their lines, also when the run dies between.
  run.commit.addInstalls(VLOC(L"Write analyser feeds", "statistics::start"), [analysers] { return analysers->stageAll(); });
}

void statistics::antivirusStep(Run& run) {
  guarded(LogLevel::Error, VLOC(L"Antivirus statistics", "statistics::start"), [&] {
    auto lock = takeProcessLock(L"AntivirusLockStatus");
    if (!lock) return;
    // The lock stays held until the files read are removed: another instance
    // must not count them again in between.
    run.commit.holdUntilCommitted(lock);
    // Each pass's files go once its own figures are in the document: a spam
    // pass that fails keeps its files, not the antivirus files already
    // delivered.
    std::vector<std::wstring> avFiles;
    antivirusStatistics(run.results, model.param(L"LastAntivirusStatisticLog"), avFiles);
    run.commit.addRemovals(VLOC(L"Antivirus statistics", "statistics::start"), avFiles, removeStatisticLogs);
    std::vector<std::wstring> spamFiles;
    spamStatistics(run.results, model.param(L"LastSpamStatisticLog"), spamFiles);
    run.commit.addRemovals(VLOC(L"Spam statistics", "statistics::start"), spamFiles, removeStatisticLogs);
    run.commit.releaseAfterActions(VLOC(L"Release AntivirusLockStatus", "statistics::start"), lock);
  });
}

// The work steps, then the document is ended and only then is anything
// recorded as done.
void statistics::finish(Run& run) {
  // The step on the operator's terminal (nothing when standard error is not one).
  terminal::progressStep(L"traffic", 0);
  trafficStep(run);
  // The slow steps (mailboxes and disk usage: hours on a large host) run
  // before the mail traffic and antivirus steps, whose locks last until the
  // document is complete and their files are handed over; their elements
  // are held and written in their place in the document.
  if (run.modeFlags & (MailboxUsage | DiskUsage)) {
    run.results.holdElements();
    terminal::progressStep(L"mailbox usage", model.domainsById.size());
    runMailboxUsageStep(run.results, model);
    if (run.modeFlags & DiskUsage) {
      terminal::progressStep(L"disk usage", model.domainsById.size());
      runDiskUsageStep(model, run.results);
    }
    run.results.releaseElements();
  }
  if (run.modeFlags & MailTraffic) {
    terminal::progressStep(L"mail traffic", 0);
    runMailTrafficStep(run.results, model, run.fromDate, *mailLogStorage, run.commit);
  }
  run.results.writeHeldElements();
  if (run.modeFlags & Antivirus) {
    terminal::progressStep(L"antivirus", 0);
    antivirusStep(run);
  }

  // Logs are rotated only once the figures counted from them are delivered,
  // while the domain locks are still held, and after the step locks are
  // released: rotation and its mail may take long.
  if (run.modeFlags & (HttpTraffic | FtpTraffic))
    run.commit.add(VLOC(L"launchLogRotate", "statistics::start"), LogLevel::Error,
                   [this, plan = run.rotation] { launchLogRotate(model, *httpLogStorage, plan.get()); });

  // The consumed logs are retired only once the figures counted from them
  // have been delivered.
  run.commit.add(VLOC(L"Unable to cleanup unused data", "statistics::start"), LogLevel::Warning, [this] {
    mailLogStorage->processAll();
    httpLogStorage->processAll();
    ftpLogStorage->processAll();
  });

  // The markers are staged before the document ends and made visible once
  // it is complete, on disk and closed: a store that cannot take them fails
  // the run while nothing is delivered, and a run killed at any moment moves
  // all of its markers or none. One killed between the two leaves its
  // staged entry, which the next run settles by the document it finds.
  terminal::progressStep(L"delivering the results", 0);
  rethrowing(VLOC(L"Prepare the run markers", "statistics::start"), [&] { run.commit.prepareMarkers(run.results.outputPath()); });
  run.results.sync();
  run.results.endDocument([&] { run.commit.commitMarkers(); });
  run.commit.commit();
  unlockDomains();
  guarded(LogLevel::Warning, VLOC(L"Flush the registry store", "statistics::start"), [] {
    if (const uint32_t code = registry::flush(); code != 0) raiseWindowsError(L"registry::flush", code, VLOC(L"", "statistics::start"));
  });
  logMessage(LogLevel::Info, L"Done");
  terminal::progressEnd();
}

void statistics::unlockDomains() {
  guarded(LogLevel::Error, VLOC(L"Unlock domain(s)", "statistics::start"), [this] {
    std::vector<DomainInfo*> domains;
    for (auto& [id, domain] : model.domainsById) domains.push_back(domain.get());
    ::unlockDomains(domains);
  });
}
