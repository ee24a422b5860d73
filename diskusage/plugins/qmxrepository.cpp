// The dump repository the panel ships: qmxrepository.so, installed in
// <PRODUCT_ROOT_D>/admin/bin.
//
// Layout of the dumps under the product data directory (<PRODUCT_DATA_D>):
//   backups/domains/<guid>/   the dumps that the domain's owner made
//   backups/admin/<guid>/     the dumps that the administrator made of the domain
// Each entry of such a directory is one dump, named by its entry: a file
// (an archive) or a directory of files. A dump's size is the file's size or
// the directory's recursive size; a missing directory holds no dumps. Links
// are never followed (they count with their own size).
#include <optional>
#include <stdexcept>

#include "diskusage/directory_size.h"
#include "diskusage/plugins/idump_repository.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

// A GUID or dump name is one path component: anything else could reach
// outside the domain's directories.
bool isComponent(const std::wstring& s) {
  return !s.empty() && s != L"." && s != L".." && s.find(L'/') == std::wstring::npos && s.find(L'\0') == std::wstring::npos;
}

uint64_t dumpsIn(const std::wstring& directory, const std::wstring& name) {
  std::optional<vfs::Directory> dir;
  try {
    dir = vfs::Directory::open(directory);
  } catch (const vosexception& e) {
    if (e.code() == winerr::FileNotFound || e.code() == winerr::PathNotFound) return 0;
    throw;
  }
  if (name.empty()) return directorySize(*dir);
  if (!dir->exists(name)) return 0;
  const vfs::DirEntry entry = dir->stat(name);
  if (entry.type != vfs::EntryType::Directory) return entry.size;
  return directorySize(dir->openSubdirectory(name));
}

class FileDumpRepository final : public IDumpRepository {
 public:
  uint64_t dumpSize(const char* domainGuid, const char* name, bool excludeAdminDumps) override {
    const std::wstring guid = text::fromAnsi(domainGuid ? domainGuid : "");
    const std::wstring dump = text::fromAnsi(name ? name : "");
    if (!isComponent(guid)) throw std::runtime_error("Invalid domain GUID '" + text::toAnsi(guid) + "'");
    if (!dump.empty() && !isComponent(dump)) throw std::runtime_error("Invalid dump name '" + text::toAnsi(dump) + "'");
    try {
      const std::wstring backups = vfs::join(getProductSetting(L"PRODUCT_DATA_D"), L"backups");
      uint64_t total = dumpsIn(vfs::join(vfs::join(backups, L"domains"), guid), dump);
      if (!excludeAdminDumps) total += dumpsIn(vfs::join(vfs::join(backups, L"admin"), guid), dump);
      return total;
    } catch (const vexception& e) {
      // The contract speaks std::exception: the caller need not share our types.
      throw std::runtime_error(text::toAnsi(e.fullText()));
    }
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IDumpRepository* getDumpRepository() {
  static FileDumpRepository repository;
  return &repository;
}
