// The crash report settings and the retention of old reports; the fault
// handlers themselves are in the platform's file.
#include "support/crashdump.h"

#include <algorithm>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/vaformat.h"

namespace {

// Settings are read in the 32-bit view, as every setting of this key.
uint32_t dwordSetting(const wchar_t* name, uint32_t fallback) {
  uint32_t value = fallback;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, value, RegView32);
  return value;
}

std::wstring pathSetting(const wchar_t* name) {
  std::wstring value;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, value, REG_SZ, RegView32) != 0) return L"";
  std::replace(value.begin(), value.end(), L'\\', L'/');
  return value;
}

bool isDump(const vfs::DirEntry& e) {
  const std::wstring suffix = L".dmp";
  return e.type == vfs::EntryType::File && e.name.size() > suffix.size() && e.name.ends_with(suffix);
}

}  // namespace

CrashDumpInfo::CrashDumpInfo() {
  const std::wstring program = vfs::fileName(process::executablePath());
  prefix_ = program.substr(0, program.size() - vfs::extension(program).size());
  if (dwordSetting(L"CrashDumpsEnabled", 0) == 0) return;
  const std::wstring root = pathSetting(L"PRODUCT_ROOT_D");
  if (root.empty()) return;
  directory_ = vfs::join(root, L"etc/crashdumps");
  const std::wstring location = pathSetting(L"CrashDumpsLocation");
  if (!location.empty()) directory_ = location;
  vfs::createDirectories(directory_, 0700);
  maxCount_ = dwordSetting(L"CrashDumpsMaxCount", 10);
  enabled_ = true;
}

std::wstring CrashDumpInfo::getFileName() const {
  if (!enabled_) throw vexception(L"Crash dumping does not enabled", VLOC(L"", "CrashDumpInfo::getFileName"));
  const VDateTime t = VDateTime::nowLocal();
  return vaformat(L"%s/%s%04d%02d%02d_%02d%02d%02d.dmp", directory_, prefix_, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

void CrashDumpInfo::pruneOldDumps() const {
  if (!enabled_) return;
  const vfs::Directory dir = vfs::Directory::open(directory_);
  std::vector<vfs::DirEntry> dumps = dir.list();
  std::erase_if(dumps, [](const vfs::DirEntry& e) { return !isDump(e); });
  if (dumps.size() <= maxCount_) return;
  std::sort(dumps.begin(), dumps.end(), [](const vfs::DirEntry& a, const vfs::DirEntry& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite < b.lastWrite : a.name < b.name;
  });
  for (size_t i = 0; i + maxCount_ < dumps.size(); ++i) dir.unlink(dumps[i].name);
}
