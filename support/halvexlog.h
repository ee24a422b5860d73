// Named log files that rotate by day: "halvexlog_" + name + YYYYMMDD + ".log"
// in <PRODUCT_ROOT_D>/admin/logs, UTF-16LE with the byte-order mark FF FE, one
// entry per line: local time, process id, thread id, text, CR LF.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace halvex::logging {

class HalvexLog {
 public:
  // An empty name stands for the program's file name. Settings come from the
  // configuration key: "log_<name>_enabled", "log_<name>_history" (default 3),
  // "log_<name>_rotation" (days, default 1), read at the first write and then
  // at most once a minute. The directory is the configuration string
  // "PRODUCT_ROOT_D" joined with "admin/logs" (created 0750 when missing,
  // files 0640); a missing "PRODUCT_ROOT_D" raises the registry error. The
  // log's named mutex has the log's name ("Create mutex with name '...'").
  // Only files named with exactly eight date digits belong to the log.
  HalvexLog(const std::wstring& name, bool enabledByDefault);
  ~HalvexLog();

  // Appends one entry; serialised across threads and processes by the log's
  // named mutex. A new (empty) file first gets the byte-order mark.
  void write(const std::wstring& text);

  // Deletes the oldest of `paths` (sorted oldest first) so that the newest
  // history + 1 remain. A file that cannot be deleted is logged at Warning
  // ("Failed to remove log file") and the walk goes on. While this thread
  // removes the files of a log, that log is neither rotated nor cleaned again
  // by this thread: the warning, written to the debug log, cannot start the
  // same failing removal over and over.
  void removeOld(const std::vector<std::wstring>& paths);

  const std::wstring& directory() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The forced file removal that removeOld uses (vfs::forcedRemove); a test
// puts a fake in its place. Returns the one replaced.
using FileRemover = void (*)(const std::wstring& path);
FileRemover setFileRemover(FileRemover remover);

// The date text ("%04d%02d%02d") at which the file at `path` rotates: the
// date in its name plus `rotationDays`, but not earlier than today. A name
// shorter than "halvexlog_" + name, or without a date after it, raises
// "Failed to parse name".
std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, int rotationDays);

// Whether the debug log receives messages: the DWORD "Debug" of the
// configuration key, re-read on the 1st, 17th, 33rd ... call (a missing value
// keeps the last one, initially 0). A failing read gives false.
bool isDebugEnabled();

// The debug log output of the dispatch: level name, ": ", text, through a
// HalvexLog "debug" opened, written and closed for this one message.
void writeDebugLog(const char* levelName, const std::wstring& text);

}  // namespace halvex::logging
