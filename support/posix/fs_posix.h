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

// The trust rule for a symbolic link met while walking a path: the link
// belongs to root or to the process's user, and so does the directory that
// holds it, which nobody else may write (or which is sticky, so that nobody
// else may replace the link). The administrator's links (/var/www ->
// /srv/www, /lib -> usr/lib) pass; a link a tenant made, or one in a
// directory a tenant can write, does not.
bool trustedLink(const struct stat& link, const struct stat& holder);

// At most this many links are followed on one path.
inline constexpr int kMaxLinks = 40;

// The one way a path is opened: from "/" (a relative path: from the working
// directory), one component at a time, never following a link the kernel
// finds on its own (openat2 with RESOLVE_NO_SYMLINKS where the kernel has it,
// else openat with O_NOFOLLOW per component). A link on the way is followed
// only when trustedLink holds; the last component only when `followLast`.
// The last component is opened with `flags` (O_NOFOLLOW added). Returns the
// descriptor, or -1 with errno (ELOOP for a refused link or too many; then
// `refused`, when given, gets the path of the link as walked).
int openPath(const std::string& path, int flags, bool followLast, std::string* refused = nullptr);

// Opens the directory that holds the last component of `path` (O_PATH), the
// links on the way followed when trusted, and gives that component (".") for
// "/"). Raises on failure with the texts of `what` and the path.
int openParentOf(const std::wstring& path, std::string& leaf, const wchar_t* what, const char* function);

// Raises the failure of openPath for `path`, naming a refused link.
[[noreturn]] void failPath(int err, const wchar_t* what, const std::wstring& path, const std::string& refused, const char* function,
                           bool aboutDirectory = false);

}  // namespace vfs::posix
