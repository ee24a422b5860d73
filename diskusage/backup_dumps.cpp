#include "diskusage/backup_dumps.h"

#include "config/domain.h"
#include "diskusage/plugins/idump_repository.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

IDumpRepository* DumpRepositoryLoader::get() {
  if (done_) return repository_;
  const std::wstring path = vfs::join(vfs::join(getProductSetting(L"PRODUCT_ROOT_D"), L"admin/bin"), platformLibraryName(L"qmxrepository.dll"));
  PluginLibrary library = PluginLibrary::load(path, "DumpRepositoryLoader::get");
  auto factory = library.function<GetDumpRepositoryFunction>("getDumpRepository", "DumpRepositoryLoader::get");
  repository_ = factory();
  done_ = true;
  // A library without a repository has nothing more to do in this process.
  if (repository_) library_ = std::move(library);
  return repository_;
}

void BackupDumps::calculateBackupDumpSize(const DomainModel& model, const DomainInfo& domain, DomainDiskUsage& record) noexcept {
  logMessage(LogLevel::Info, L"Calculate dump disk space for %s...", domain.name);
  if (domain.guid.empty()) {
    logMessage(LogLevel::Info, L"Skip calculation of dump disk space because domain GUID is empty");
    return;
  }
  if (!excludeAdminDumps_) excludeAdminDumps_ = !text::startsWithTrue(model.param(L"include_admindumps"));
  guarded(LogLevel::Error, VLOC(L"Count Backup dump disk space", "statistics::calculateBackupDumpSize"), [&] {
    IDumpRepository* repository = loader_.get();
    if (!repository) return;
    record.domaindumps = repository->dumpSize(text::toAnsi(domain.guid).c_str(), "", *excludeAdminDumps_);
  });
}
