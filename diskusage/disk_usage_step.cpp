#include "diskusage/disk_usage_step.h"

#include "app/business_lock.h"
#include "config/domain.h"
#include "diskusage/disk_usage.h"
#include "support/logging.h"

void runDiskUsageStep(DomainModel& model, ResultsWriter& results) noexcept {
  guarded(LogLevel::Error, VLOC(L"Calculate domain(s) disk space", "statistics::start"), [&] {
    DiskUsageCalculator calculator(model);
    std::vector<std::wstring> ids;
    for (const auto& [id, domain] : model.domainsById) ids.push_back(domain->id);
    BusinessLock::DomainLockChunks locks(std::move(ids), L"DiskUsageStatus");
    size_t index = 0;
    for (const auto& [id, domain] : model.domainsById) {
      const size_t i = index++;
      guarded(
          LogLevel::Error, [&] { return VLOC(L"Calculate domain " + domain->name + L" disk space", "statistics::start"); },
          [&] {
            if (!locks.acquire(i)) return;  // another process is measuring this domain
            const DomainDiskUsage record = calculator.calculateDiskSpace(*domain);
            saveDiskSpace(results, model, *domain, record);
          });
      terminal::progressDomainDone();
    }
  });
}
