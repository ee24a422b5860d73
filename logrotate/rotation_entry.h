// The files of a domain's log directory as log rotation sees them, their
// order, and the rule that keeps the current log out of a rotation.
#pragma once

#include <cstdint>
#include <string>

#include "config/domain.h"
#include "support/fs.h"

// One file found in a log directory.
struct RotationEntry {
  std::wstring path;
  vfs::FileTime lastWrite = 0;  // UTC
  uint64_t size = 0;

  // By class first (".zip" lowest, then ".rotated", then every other file),
  // then by last-write time; equal times fall back to the path, so that a
  // listing's order never decides which file is the newest.
  bool operator<(const RotationEntry& other) const;
};

// 0 for ".zip", 1 for ".rotated", 2 for every other extension; the extension
// (from the last dot of the file name) is compared ignoring case.
int rotationClass(const std::wstring& path);

// Analyser feeds ("web", "ftp", "ano" at the start, case-sensitive) are the
// analysers' own and never rotated, counted or removed.
bool isAnalyserFeed(const std::wstring& name);

// Whether the newest log stays out of this rotation because it is still
// current: by size when rotateBySize is set (the period text read as a
// decimal number is at least the file's size), otherwise by the period
// "daily", "weekly" (written on a Sunday) or "monthly" (written on the first
// of a month), each also requiring the last write to be at most 86400 seconds
// before `now`. Periods are compared exactly; any other text keeps nothing.
bool isCurrentLog(const LogRotationSettings& settings, const RotationEntry& newest, vfs::FileTime now);

// The current time on the file-time scale.
vfs::FileTime nowFileTime();
