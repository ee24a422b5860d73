#include "logrotate/rotation_step.h"

#include "logrotate/zip_archive.h"
#include "support/logging.h"

namespace rotation {

namespace {

constexpr const char* kFunction = "logrotate::rotateFile";

std::wstring numbered(const std::wstring& name, int i, const std::wstring& ext) { return name + L"_" + std::to_wstring(i) + ext; }

// Renames within the directory without replacing anything; a failure is
// logged with both full names. Returns whether the entry moved.
bool renameLogged(const vfs::Directory& dir, const std::wstring& from, const std::wstring& to) {
  return guarded(
      LogLevel::Error, [&] { return VLOC(vaformat(L"Can't rename file %s to %s", vfs::join(dir.path(), from), vfs::join(dir.path(), to)), kFunction); },
      [&] {
        if (dir.stat(from).type != vfs::EntryType::File)
          throw vexception(L"'" + vfs::join(dir.path(), from) + L"' is not a regular file", VLOC(L"", kFunction));
        dir.renameNoReplace(from, to);
      });
}

// Frees name + ext by moving the older archives up by one.
bool shiftSeries(const vfs::Directory& dir, const std::wstring& name, const std::wstring& ext) {
  if (!dir.exists(name + ext)) return true;
  int i = 1;
  while (i < kSeriesLimit && dir.exists(numbered(name, i, ext))) ++i;
  for (int j = i; j >= 2; --j)
    if (!renameLogged(dir, numbered(name, j - 1, ext), numbered(name, j, ext))) return false;
  return renameLogged(dir, name + ext, numbered(name, 1, ext));
}

}  // namespace

void rotateFile(const vfs::Directory& dir, const std::wstring& name, bool compress) {
  const std::wstring ext = compress ? L".zip" : L".rotated";
  if (!shiftSeries(dir, name, ext)) return;
  if (!compress) {
    renameLogged(dir, name, name + ext);
    return;
  }
  guarded(
      LogLevel::Warning,
      [&] { return VLOC(vaformat(L"Can't compress file %s to %s", vfs::join(dir.path(), name), vfs::join(dir.path(), name + ext)), kFunction); },
      [&] { zipstep::compressLog(dir, name); });
}

}  // namespace rotation
