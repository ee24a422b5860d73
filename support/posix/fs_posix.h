// Helpers shared by the POSIX files of the file-system layer: byte paths,
// descriptors that close themselves, and the one way a failure is raised.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/fs.h"

namespace vfs::posix {

// Closes its descriptor when destroyed.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The bytes of a path in the locale's charset; a path with a NUL character
// (which the system would cut short) raises code 87.
std::string bytesOf(const std::wstring& path, const char* function);

// Raises the Windows error of `err` with the text "<what> '<path>'".
[[noreturn]] void fail(int err, const wchar_t* what, const std::wstring& path, const char* function, bool aboutDirectory = false);

// A single directory entry name: empty, ".", ".." or a name with "/" is
// refused with code 87, so that no name can leave its directory.
std::string entryName(const std::wstring& name, const std::wstring& directory, const char* function);

// The directory part of a path for opening: "." for a bare name.
std::wstring directoryOf(const std::wstring& path);

// Entry type and Windows file time of a stat record.
EntryType entryType(mode_t mode);
FileTime fileTimeOf(const struct timespec& ts);
DirEntry entryOf(std::wstring name, const struct stat& st);

// Opens a directory without following a link in its last component; a link
// there fails with ELOOP even under O_DIRECTORY. Returns -1 and sets errno.
int openDirectoryAt(int dirFd, const char* name);

}  // namespace vfs::posix
