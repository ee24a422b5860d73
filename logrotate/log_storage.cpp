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
  files_[path] = owner;
}

bool LogStorage::contains(const std::wstring& path) const { return files_.count(path) != 0; }

void LogStorage::processAll() {
  std::map<std::wstring, std::wstring> files = std::move(files_);
  files_.clear();
  for (const auto& [path, owner] : files) {
    if (!vfs::exists(path)) continue;
    if (!directory_.empty()) {
      const std::wstring stamp = VDateTime::nowUtc().formatStamp17();
      const std::wstring name = owner.empty() ? vaformat(L"%s_%s", stamp, vfs::fileName(path))
                                              : vaformat(L"%s_%s_%s", owner, stamp, vfs::fileName(path));
      const std::wstring destination = vfs::join(directory_, name);
      guarded(LogLevel::Info, [&] { return VLOC(vaformat(L"Move file '%s' to '%s'", path, destination), "halvex::logging::LogStorage::processAll"); },
              [&] { vfs::moveFile(path, destination); });
    } else {
      guarded(LogLevel::Info, [&] { return VLOC(vaformat(L"Remove file '%s'", path), "halvex::logging::LogStorage::processAll"); },
              [&] { vfs::forcedRemove(path); });
    }
  }
}

}  // namespace halvex::logging
