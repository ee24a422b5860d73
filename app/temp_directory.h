// The run's private temporary directory "{<prefix>-<GUID>}" under the system
// temporary directory, created 0700; TEMP, TMP and TMPDIR name it while it
// exists, so child processes and the run's own temporary files use it.
#pragma once

#include <string>

class TempDirectory {
 public:
  // Tries up to 16 GUIDs; the last failure propagates. A failure to set
  // TEMP or TMP raises "Unable to set TEMP environment variable" / "... TMP ...".
  explicit TempDirectory(const std::wstring& prefix);
  // Puts the variables back and removes the directory with its contents.
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring previous_;
  std::wstring previousTemp_, previousTmp_, previousTmpdir_;
  bool hadTemp_ = false, hadTmp_ = false, hadTmpdir_ = false;
  std::wstring path_;
};
