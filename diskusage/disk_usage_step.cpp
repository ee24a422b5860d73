#include "diskusage/disk_usage_step.h"

#include "app/business_lock.h"
#include "config/domain.h"
#include "diskusage/disk_usage.h"
#include "support/logging.h"

void runDiskUsageStep(DomainModel& model, ResultsWriter& results) noexcept {
  guarded(LogLevel::Error, VLOC(L"Calculate domain(s) disk space", "statistics::start"), [&] {
    DiskUsageCalculator calculator(model);
    for (const auto& [id, domain] : model.domainsById) {
      guarded(
          LogLevel::Error, [&] { return VLOC(L"Calculate domain " + domain->name + L" disk space", "statistics::start"); },
          [&] {
            BusinessLock::RegistryLock lock(BusinessLock::RegistryOfflineLockStatus(domainKey(domain->id), L"DiskUsageStatus"));
            try {
              lock.lock();
            } catch (const BusinessLock::LockException&) {
              return;  // another process is measuring this domain
            }
            const DomainDiskUsage record = calculator.calculateDiskSpace(*domain);
            saveDiskSpace(results, model, *domain, record);
            lock.unlock();
          });
      terminal::progressDomainDone();
    }
  });
}
