#include "app/temp_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"

namespace {

bool remember(const char* name, std::wstring& value) {
  const char* v = std::getenv(name);
  if (!v) return false;
  value = text::fromAnsi(v);
  return true;
}

void restore(const char* name, bool had, const std::wstring& value) {
  if (had)
    ::setenv(name, text::toAnsi(value).c_str(), 1);
  else
    ::unsetenv(name);
}

}  // namespace

TempDirectory::TempDirectory(const std::wstring& prefix) {
  previous_ = process::systemTempDirectory();
  hadTemp_ = remember("TEMP", previousTemp_);
  hadTmp_ = remember("TMP", previousTmp_);
  hadTmpdir_ = remember("TMPDIR", previousTmpdir_);

  for (int attempt = 0;; ++attempt) {
    const std::wstring candidate = vfs::join(previous_, L"{" + prefix + L"-" + process::newGuid() + L"}");
    // 0700: nobody else may plant files in the run's scratch space.
    if (::mkdir(text::toAnsi(candidate).c_str(), 0700) == 0) {
      path_ = candidate;
      break;
    }
    if (attempt >= 15) raiseErrno(L"Unable to create directory " + candidate, VLOC(L"", "statistics::TempDirectory::TempDirectory"), true);
  }

  const std::string p = text::toAnsi(path_);
  if (::setenv("TEMP", p.c_str(), 1) != 0) {
    const int err = errno;
    vfs::removeTree(path_);
    raiseErrno(err, L"Unable to set TEMP environment variable", VLOC(L"", "statistics::TempDirectory::TempDirectory"));
  }
  if (::setenv("TMP", p.c_str(), 1) != 0 || ::setenv("TMPDIR", p.c_str(), 1) != 0) {
    const int err = errno;
    restore("TEMP", hadTemp_, previousTemp_);
    vfs::removeTree(path_);
    raiseErrno(err, L"Unable to set TMP environment variable", VLOC(L"", "statistics::TempDirectory::TempDirectory"));
  }
}

TempDirectory::~TempDirectory() {
  restore("TEMP", hadTemp_, previousTemp_);
  restore("TMP", hadTmp_, previousTmp_);
  restore("TMPDIR", hadTmpdir_, previousTmpdir_);
  vfs::removeTree(path_);
}
