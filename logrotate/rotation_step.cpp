#include "logrotate/rotation_step.h"

#include "logrotate/zip_archive.h"
#include "support/logging.h"
#include "support/process.h"

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
        // Checked on the descriptor; the rename stays within the tenant's
        // directory, so an entry swapped in meanwhile is only renamed as itself.
        openOwnLog(dir, from);
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

vfs::File openOwnLog(const vfs::Directory& dir, const std::wstring& name) {
  const std::wstring path = vfs::join(dir.path(), name);
  vfs::File file;
  try {
    file = dir.openRead(name);
  } catch (const vosexception& e) {
    throw vexception(L"'" + path + L"' is not a regular file: " + e.message(), VLOC(L"", "rotation::openOwnLog"));
  }
  const vfs::DirEntry opened = file.info();
  if (opened.type != vfs::EntryType::File) throw vexception(L"'" + path + L"' is not a regular file", VLOC(L"", "rotation::openOwnLog"));
  if (opened.links != 1)
    throw vexception(L"'" + path + L"' has " + std::to_wstring(opened.links) + L" links", VLOC(L"", "rotation::openOwnLog"));
  const uint32_t owner = dir.info().uid;
  if (opened.uid != 0 && opened.uid != process::effectiveUserId() && opened.uid != owner)
    throw vexception(L"'" + path + L"' belongs to user " + std::to_wstring(opened.uid) + L", not to the directory's owner",
                     VLOC(L"", "rotation::openOwnLog"));
  return file;
}

void rotateFile(const vfs::Directory& dir, const std::wstring& name, bool compress, zipstep::PreparedArchive* prepared) {
  const std::wstring ext = compress ? L".zip" : L".rotated";
  if (!shiftSeries(dir, name, ext)) return;
  if (!compress) {
    renameLogged(dir, name, name + ext);
    return;
  }
  guarded(
      LogLevel::Warning,
      [&] { return VLOC(vaformat(L"Can't compress file %s to %s", vfs::join(dir.path(), name), vfs::join(dir.path(), name + ext)), kFunction); },
      [&] {
        if (prepared)
          zipstep::installArchive(dir, name, *prepared);
        else
          zipstep::compressLog(dir, name);
      });
}

}  // namespace rotation
