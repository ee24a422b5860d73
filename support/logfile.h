// The file primitives of the support library's own log files (HalvexLog and
// the event log file), which live in the program's own directories.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvex::logging {

// A log file opened for appending.
class LogFile {
 public:
  LogFile() = default;
  LogFile(LogFile&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  LogFile& operator=(LogFile&& o) noexcept;
  ~LogFile() { close(); }

  // Opens a regular file for reading and appending, creating it with mode
  // 0640 when missing; a link or any other kind of file is refused. Raises the
  // Windows error with "open log file " + path.
  static LogFile open(const std::wstring& path);

  bool valid() const { return fd_ >= 0; }
  uint64_t size() const;
  // Appends all bytes in one write, so that lines of other processes never
  // land inside them; raises on failure.
  void append(std::string_view bytes);
  void close() noexcept;

 private:
  int fd_ = -1;
};

// The calling thread's id as the kernel numbers it.
uint32_t currentThreadId();

}  // namespace halvex::logging
