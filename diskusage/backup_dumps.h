// The domains' backup dumps, as the panel's dump repository library reports
// them (plugins/idump_repository.h).
#pragma once

#include <optional>

#include "diskusage/disk_usage_record.h"
#include "support/plugin_library.h"

class IDumpRepository;
struct DomainInfo;
struct DomainModel;

// Loads <PRODUCT_ROOT_D>/admin/bin/qmxrepository.so once: the first call
// that succeeds in loading decides for the loader's lifetime (a disk usage
// step, that is a run).
class DumpRepositoryLoader {
 public:
  // The repository, or null when the factory gave none (the library is then
  // unloaded and later calls give null without loading again). A library
  // that cannot be loaded or lacks "getDumpRepository" raises and leaves the
  // load to be tried again by the next call.
  IDumpRepository* get();

 private:
  bool done_ = false;
  IDumpRepository* repository_ = nullptr;
  PluginLibrary library_;
};

// The backup dump step of a domain's disk usage.
class BackupDumps {
 public:
  // Logs "Calculate dump disk space for %s..."; a domain without GUID logs
  // "Skip calculation of dump disk space because domain GUID is empty" and
  // keeps `domaindumps`. Otherwise `domaindumps` is set to the repository's
  // figure for the domain's GUID, all dump names, and the administrator's
  // dumps left out unless the parameter "include_admindumps" begins with
  // "true" (any case) when the first domain is measured. Any failure is
  // logged at Error ("Count Backup dump disk space", function
  // statistics::calculateBackupDumpSize) and `domaindumps` keeps its value.
  // Never raises.
  void calculateBackupDumpSize(const DomainModel& model, const DomainInfo& domain, DomainDiskUsage& record) noexcept;

 private:
  DumpRepositoryLoader loader_;
  std::optional<bool> excludeAdminDumps_;
};
