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
  // "log_<name>_rotation" (days, default 1), re-read at most once a minute.
  HalvexLog(const std::wstring& name, bool enabledByDefault);
  ~HalvexLog();

  // Appends one entry; serialised across processes by the log's named mutex.
  void write(const std::wstring& text);

  // Deletes the oldest files so that the newest history + 1 remain.
  void removeOld(const std::vector<std::wstring>& paths);

  const std::wstring& directory() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The date text ("%04d%02d%02d") at which the file at `path` rotates.
std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, int rotationDays);

// Whether the debug log receives messages: the DWORD "Debug" of the
// configuration key, re-read on the 1st, 17th, 33rd ... call.
bool isDebugEnabled();

// The debug log output of the dispatch: level name, ": ", text.
void writeDebugLog(const char* levelName, const std::wstring& text);

}  // namespace halvex::logging
