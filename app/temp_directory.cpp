#include "app/temp_directory.h"

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"

namespace {

bool remember(const wchar_t* name, std::wstring& value) {
  if (!process::hasEnv(name)) return false;
  value = process::getEnv(name);
  return true;
}

void restore(const wchar_t* name, bool had, const std::wstring& value) {
  if (had)
    process::setEnv(name, value);
  else
    process::unsetEnv(name);
}

}  // namespace

TempDirectory::TempDirectory(const std::wstring& prefix) {
  previous_ = process::systemTempDirectory();
  hadTemp_ = remember(L"TEMP", previousTemp_);
  hadTmp_ = remember(L"TMP", previousTmp_);
  hadTmpdir_ = remember(L"TMPDIR", previousTmpdir_);

  for (int attempt = 0;; ++attempt) {
    const std::wstring candidate = vfs::join(previous_, L"{" + prefix + L"-" + process::newGuid() + L"}");
    // 0700: nobody else may plant files in the run's scratch space. A name
    // that exists already is tried again with a new GUID; the last failure
    // of creation propagates.
    try {
      if (vfs::createDirectory(candidate, 0700)) {
        path_ = candidate;
        break;
      }
      if (attempt >= 15) raiseWindowsError(L"Unable to create directory " + candidate, winerr::AlreadyExists, VLOC(L"", "statistics::TempDirectory::TempDirectory"));
    } catch (const vexception&) {
      if (attempt >= 15) throw;
    }
  }

  if (!process::setEnv(L"TEMP", path_)) {
    vfs::removeTree(path_);
    raiseWindowsError(L"Unable to set TEMP environment variable", winerr::OutOfMemory, VLOC(L"", "statistics::TempDirectory::TempDirectory"));
  }
  if (!process::setEnv(L"TMP", path_) || !process::setEnv(L"TMPDIR", path_)) {
    restore(L"TEMP", hadTemp_, previousTemp_);
    vfs::removeTree(path_);
    raiseWindowsError(L"Unable to set TMP environment variable", winerr::OutOfMemory, VLOC(L"", "statistics::TempDirectory::TempDirectory"));
  }
}

TempDirectory::~TempDirectory() {
  restore(L"TEMP", hadTemp_, previousTemp_);
  restore(L"TMP", hadTmp_, previousTmp_);
  restore(L"TMPDIR", hadTmpdir_, previousTmpdir_);
  vfs::removeTree(path_);
}
