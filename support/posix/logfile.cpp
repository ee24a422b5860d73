#include "support/logfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/exceptions.h"
#include "support/text.h"

namespace halvex::logging {

LogFile& LogFile::operator=(LogFile&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

LogFile LogFile::open(const std::wstring& path) {
  const std::string bytes = text::toAnsi(path);
  // O_APPEND: every write lands at the end even if another process wrote
  // since; O_NOFOLLOW: a link planted in the file's place is not written through.
  const int fd = ::open(bytes.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
  if (fd < 0) raiseErrno(L"open log file " + path, VLOC(L"", "LogFile::open"));
  LogFile file;
  file.fd_ = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) raiseErrno(L"open log file " + path, VLOC(L"", "LogFile::open"));
  if (!S_ISREG(st.st_mode)) raiseWindowsError(L"open log file " + path + L": not a regular file", winerr::AccessDenied, VLOC(L"", "LogFile::open"));
  return file;
}

uint64_t LogFile::size() const {
  struct stat st;
  if (fstat(fd_, &st) != 0) raiseErrno(L"stat log file", VLOC(L"", "LogFile::size"));
  return static_cast<uint64_t>(st.st_size);
}

void LogFile::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raiseErrno(L"write log file", VLOC(L"", "LogFile::append"));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void LogFile::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint32_t currentThreadId() { return static_cast<uint32_t>(gettid()); }

}  // namespace halvex::logging
