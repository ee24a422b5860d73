#include "logrotate/log_storage.h"

#include "support/datetime.h"
#include "support/fs.h"
#include "support/logging.h"

namespace halvex::logging {

void LogStorage::setDirectory(const std::wstring& directory) {
  directory_ = directory;
  if (!directory_.empty() && !vfs::isDirectory(directory_)) vfs::createDirectories(directory_, 0750);
}

void LogStorage::add(const std::wstring& path, const std::wstring& owner) {
  if (path.empty()) return;
  Registered r;
  r.owner = owner;
  // A file that cannot be looked at now is registered as nothing to move.
  guarded(LogLevel::Info, [&] { return VLOC(vaformat(L"Register file '%s'", path), "halvex::logging::LogStorage::add"); }, [&] {
    if (!vfs::exists(path)) return;
    r.identity = vfs::statPath(path);
    r.known = r.identity.type == vfs::EntryType::File;
  });
  files_[path] = std::move(r);
}

void LogStorage::add(const std::wstring& path, const std::wstring& owner, const vfs::DirEntry& checked) {
  if (path.empty()) return;
  files_[path] = Registered{owner, checked.type == vfs::EntryType::File, checked};
}

bool LogStorage::contains(const std::wstring& path) const { return files_.count(path) != 0; }

void LogStorage::processAll() {
  std::map<std::wstring, Registered> files = std::move(files_);
  files_.clear();
  for (const auto& [path, r] : files) {
    if (!r.known || !vfs::exists(path)) continue;
    if (!directory_.empty()) {
      const std::wstring stamp = VDateTime::nowUtc().formatStamp17();
      const std::wstring name = r.owner.empty() ? vaformat(L"%s_%s", stamp, vfs::fileName(path))
                                                : vaformat(L"%s_%s_%s", r.owner, stamp, vfs::fileName(path));
      const std::wstring destination = vfs::join(directory_, name);
      guarded(LogLevel::Info, [&] { return VLOC(vaformat(L"Move file '%s' to '%s'", path, destination), "halvex::logging::LogStorage::processAll"); },
              [&] {
                std::wstring leaf;
                const vfs::Directory from = vfs::Directory::openParent(path, &leaf);
                vfs::moveCheckedFile(from, leaf, vfs::Directory::open(directory_), name, r.identity);
              });
    } else {
      guarded(LogLevel::Info, [&] { return VLOC(vaformat(L"Remove file '%s'", path), "halvex::logging::LogStorage::processAll"); }, [&] {
        // Only the registered file goes; a name that points elsewhere now stays.
        const vfs::DirEntry now = vfs::statPath(path);
        if (now.type != vfs::EntryType::File || now.device != r.identity.device || now.inode != r.identity.inode)
          throw vexception(L"'" + path + L"' is no longer the file that was handed over", VLOC(L"", "halvex::logging::LogStorage::processAll"));
        vfs::forcedRemove(path);
      });
    }
  }
}

}  // namespace halvex::logging
