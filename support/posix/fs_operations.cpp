// The path-level operations of the file-system layer on POSIX: copy, move,
// in-use tests, forced removal, directory creation and removal. Each opens
// the directory that holds its target and works relative to it.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/posix/fs_posix.h"
#include "support/text.h"

namespace vfs {

using namespace posix;

namespace {

// Copies [from, to) of `in` to the same offsets of `out`; false when the
// kernel cannot copy between these files (then nothing of the range is lost:
// the caller copies it through user space).
bool kernelCopy(const File& in, File& out, off_t from, off_t to) {
  off_t inOff = from, outOff = from;
  while (inOff < to) {
    const ssize_t n = ::copy_file_range(in.fd(), &inOff, out.fd(), &outOff, static_cast<size_t>(to - inOff), 0);
    if (n > 0) continue;
    if (n == 0) return true;  // the file ended early: it shrank meanwhile
    if (errno == EINTR) continue;
    if (inOff == from && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) return false;
    if (errno == ENOSPC || errno == EDQUOT)
      raiseWindowsError(L"Can't write to file. Disk full? '" + out.path() + L"'", winerr::DiskFull, VLOC(L"", "vfs::copyContents"));
    raiseErrno(L"copy data of '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
  }
  return true;
}

void userCopy(const File& in, File& out, off_t from, off_t to) {
  char buf[1 << 16];
  if (::lseek(out.fd(), from, SEEK_SET) < 0) raiseErrno(L"seek in '" + out.path() + L"'", VLOC(L"", "vfs::copyContents"));
  for (off_t at = from; at < to;) {
    const ssize_t n = ::pread(in.fd(), buf, static_cast<size_t>(std::min<off_t>(to - at, sizeof buf)), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raiseErrno(L"read data of '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
    if (n == 0) return;
    out.writeAll(buf, static_cast<size_t>(n));
    at += n;
  }
}

// Copies the data of `in` and leaves its holes as holes: a sparse tenant log
// costs the copy only the blocks it really has. The copy ends where the file
// ends when the copy reaches it (a log that grows meanwhile is copied as far
// as it had come).
void copyContents(const File& in, File& out) {
  bool kernel = true;
  off_t at = 0;
  for (;;) {
    off_t data = ::lseek(in.fd(), at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
      // No data past `at`: a hole up to the end, unless data came meanwhile.
      struct stat st;
      if (::fstat(in.fd(), &st) != 0) raiseErrno(L"copy data of '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
      if (::lseek(in.fd(), at, SEEK_DATA) >= 0) continue;
      at = std::max<off_t>(at, st.st_size);
      break;
    }
    off_t hole;
    if (data < 0) {
      // No hole search on this file system: all of it is data.
      if (errno != EINVAL && errno != EOPNOTSUPP) raiseErrno(L"seek in '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
      data = at;
      hole = std::numeric_limits<off_t>::max();
    } else {
      hole = ::lseek(in.fd(), data, SEEK_HOLE);
      if (hole < 0) raiseErrno(L"seek in '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
    }
    if (hole == std::numeric_limits<off_t>::max()) {
      // Copy to the end, however far it is by then.
      struct stat st;
      if (::fstat(in.fd(), &st) != 0) raiseErrno(L"copy data of '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
      hole = std::max<off_t>(st.st_size, data);
      if (!(kernel = kernel && kernelCopy(in, out, data, hole))) userCopy(in, out, data, hole);
      at = hole;
      struct stat after;
      if (::fstat(in.fd(), &after) == 0 && after.st_size > hole) continue;
      break;
    }
    if (!(kernel = kernel && kernelCopy(in, out, data, hole))) userCopy(in, out, data, hole);
    at = hole;
  }
  // A trailing hole is a size, not data.
  struct stat copied;
  if (::fstat(out.fd(), &copied) == 0 && copied.st_size < at && ::ftruncate(out.fd(), at) != 0)
    raiseErrno(L"copy data of '" + in.path() + L"'", VLOC(L"", "vfs::copyContents"));
}

// Copies `in` into a new exclusive file of `dir` and renames it to `name`,
// replacing or not. The temporary file is gone again after a failure.
void copyInto(const File& in, const Directory& dir, const std::wstring& name, bool replace) {
  File out;
  const std::wstring temp = dir.createUnique(L"." + name + L".", out);
  try {
    copyContents(in, out);
    struct stat st;
    if (::fstat(in.fd(), &st) == 0) {
      // The copy keeps the last-write time, as a file copy does on Windows.
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      ::futimens(out.fd(), times);
    }
    out.close();
    if (replace)
      dir.rename(temp, name);
    else
      dir.renameNoReplace(temp, name);
  } catch (...) {
    ::unlinkat(dir.fd(), text::toAnsi(temp).c_str(), 0);
    throw;
  }
}

// Process ids (other than our own) that hold an open descriptor of the
// inode, found through /proc/<pid>/fd; stops at the first when `first`.
std::vector<pid_t> holders(dev_t dev, ino_t ino, bool first) {
  std::vector<pid_t> pids;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return pids;
  const pid_t self = ::getpid();
  while (const dirent* p = ::readdir(proc.get())) {
    char* end = nullptr;
    const long pid = std::strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fdDir.c_str()), ::closedir);
    if (!fds) continue;  // gone, or not ours to look at
    while (const dirent* f = ::readdir(fds.get())) {
      struct stat st;
      // stat through the descriptor's link reaches the open file itself.
      if (f->d_name[0] == '.' || ::fstatat(::dirfd(fds.get()), f->d_name, &st, 0) != 0) continue;
      if (st.st_dev != dev || st.st_ino != ino) continue;
      pids.push_back(static_cast<pid_t>(pid));
      if (first) return pids;
      break;
    }
  }
  return pids;
}

std::wstring processName(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::to_wstring(pid);
  char buf[64];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n <= 0) return std::to_wstring(pid);
  std::string name(buf, static_cast<size_t>(n));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return text::fromAnsi(name);
}

// Clears the immutable and append-only attributes of a regular file.
// Returns whether there was anything to clear and it was cleared.
bool clearProtection(int dirFd, const char* name) {
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int flags = 0;
  if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
  if ((flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0) return false;
  flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
  return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

void removeEntry(int dirFd, const char* name, dev_t device) {
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlinkat(dirFd, name, 0);
    return;
  }
  // Another file system mounted inside is left alone; its mount point then stays.
  if (st.st_dev != device) return;
  const int fd = openDirectoryAt(dirFd, name);
  if (fd < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* d = ::readdir(dir.get())) {
    const std::string_view n = d->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  for (const std::string& n : names) removeEntry(::dirfd(dir.get()), n.c_str(), device);
  dir.reset();
  ::unlinkat(dirFd, name, AT_REMOVEDIR);
}

}  // namespace

void copyFile(const std::wstring& source, const std::wstring& destination) {
  try {
    const File in = openRead(source);
    std::wstring name;
    const Directory dir = Directory::openParent(destination, &name);
    copyInto(in, dir, name, true);
  } catch (const vosexception& e) {
    raiseWindowsError(L"copy file " + source + L" to " + destination, e.code(), VLOC(L"", "vfs::copyFile"));
  }
}

void copyFile(const File& source, const std::wstring& destination) {
  try {
    std::wstring name;
    const Directory dir = Directory::openParent(destination, &name);
    copyInto(source, dir, name, true);
  } catch (const vosexception& e) {
    raiseWindowsError(L"copy file " + source.path() + L" to " + destination, e.code(), VLOC(L"", "vfs::copyFile"));
  }
}

void moveFile(const std::wstring& source, const std::wstring& destination) {
  std::wstring sourceName, destinationName;
  const Directory from = Directory::openParent(source, &sourceName);
  const Directory to = Directory::openParent(destination, &destinationName);
  const std::string s = entryName(sourceName, from.path(), "vfs::moveFile");
  const std::string d = entryName(destinationName, to.path(), "vfs::moveFile");
  const std::wstring what = L"Unable to move file '" + source + L"' to";
  if (::renameat2(from.fd(), s.c_str(), to.fd(), d.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno == EEXIST) raiseWindowsError(what + L" '" + destination + L"'", winerr::AlreadyExists, VLOC(L"", "vfs::moveFile"));
  if (errno != EXDEV) fail(errno, what.c_str(), destination, "vfs::moveFile");
  // Another file system: copy, then remove the source; a source that stays
  // takes its copy back, so that the file is in one place only.
  try {
    copyInto(from.openRead(sourceName), to, destinationName, false);
  } catch (const vosexception& e) {
    raiseWindowsError(what + L" '" + destination + L"'", e.code(), VLOC(L"", "vfs::moveFile"));
  }
  if (::unlinkat(from.fd(), s.c_str(), 0) == 0) return;
  const int err = errno;
  ::unlinkat(to.fd(), d.c_str(), 0);
  fail(err, what.c_str(), destination, "vfs::moveFile");
}

void moveCheckedFile(const Directory& from, const std::wstring& name, const Directory& to, const std::wstring& toName, const DirEntry& expected) {
  const std::string s = entryName(name, from.path(), "vfs::moveCheckedFile");
  const std::string d = entryName(toName, to.path(), "vfs::moveCheckedFile");
  const std::wstring source = join(from.path(), name), destination = join(to.path(), toName);
  const std::wstring what = L"Unable to move file '" + source + L"' to";
  const auto isExpected = [&](const struct stat& st) {
    return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_dev) == expected.device && static_cast<uint64_t>(st.st_ino) == expected.inode;
  };
  const auto notTheFile = [&] {
    raiseWindowsError(what + L" '" + destination + L"': '" + source + L"' is no longer the file that was checked", winerr::CantResolveFilename,
                      VLOC(L"", "vfs::moveCheckedFile"));
  };
  struct stat st;
  if (::fstatat(from.fd(), s.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail(errno, what.c_str(), destination, "vfs::moveCheckedFile");
  if (!isExpected(st)) notTheFile();
  if (::renameat2(from.fd(), s.c_str(), to.fd(), d.c_str(), RENAME_NOREPLACE) == 0) {
    // Swapped between the look and the rename: what came is put back.
    if (::fstatat(to.fd(), d.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && isExpected(st)) return;
    ::renameat2(to.fd(), d.c_str(), from.fd(), s.c_str(), RENAME_NOREPLACE);
    notTheFile();
  }
  if (errno == EEXIST) raiseWindowsError(what + L" '" + destination + L"'", winerr::AlreadyExists, VLOC(L"", "vfs::moveCheckedFile"));
  if (errno != EXDEV) fail(errno, what.c_str(), destination, "vfs::moveCheckedFile");
  try {
    const File in = from.openRead(name);
    const DirEntry opened = in.info();
    if (opened.device != expected.device || opened.inode != expected.inode) notTheFile();
    copyInto(in, to, toName, false);
  } catch (const vosexception& e) {
    raiseWindowsError(e.code() == winerr::CantResolveFilename ? e.message() : what + L" '" + destination + L"'", e.code(),
                      VLOC(L"", "vfs::moveCheckedFile"));
  }
  if (::unlinkat(from.fd(), s.c_str(), 0) == 0) return;
  const int err = errno;
  ::unlinkat(to.fd(), d.c_str(), 0);
  fail(err, what.c_str(), destination, "vfs::moveCheckedFile");
}

bool isFileInUse(const std::wstring& path) {
  std::wstring leaf;
  const Directory dir = Directory::openParent(path, &leaf);
  return isFileInUse(dir, leaf);
}

bool isFileInUse(const Directory& dir, const std::wstring& leaf) {
  const std::string name = entryName(leaf, dir.path(), "vfs::isFileInUse");
  const std::wstring path = join(dir.path(), leaf);
  UniqueFd fd(::openat(dir.fd(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return false;
    if (errno == EWOULDBLOCK) return true;  // another process holds a lease on it
    fail(errno, L"Unable to open file", path, "vfs::isFileInUse");
  }
  // Breaking our lease would signal us with SIGIO, which ends a process by
  // default; SIGURG is ignored by default, and we let the lease go at once.
  ::fcntl(fd.get(), F_SETSIG, SIGURG);
  if (::fcntl(fd.get(), F_SETLEASE, F_WRLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return false;
  }
  // A write lease is refused while anyone else has the file open.
  if (errno == EAGAIN) return true;
  // No leases here (network or special file systems): look through /proc.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) fail(errno, L"Unable to get attributes of", path, "vfs::isFileInUse");
  return !holders(st.st_dev, st.st_ino, true).empty();
}

std::vector<std::wstring> processesUsingFile(const std::wstring& path) {
  struct stat st;
  {
    std::string leaf;
    UniqueFd dir(openParentOf(path, leaf, L"Unable to get attributes of", "vfs::processesUsingFile"));
    if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return {};
      fail(errno, L"Unable to get attributes of", path, "vfs::processesUsingFile");
    }
  }
  std::vector<pid_t> pids = holders(st.st_dev, st.st_ino, false);
  std::sort(pids.begin(), pids.end());
  std::vector<std::wstring> names;
  for (pid_t pid : pids) names.push_back(processName(pid));
  return names;
}

void forcedRemove(const std::wstring& path) {
  std::string name;
  UniqueFd dir;
  try {
    dir.reset(openParentOf(path, name, L"Unable to delete file", "vfs::forcedRemove"));
  } catch (const VPathNotFoundException&) {
    return;  // no directory, no file
  }
  entryName(text::fromAnsi(name), directoryOf(path), "vfs::forcedRemove");
  if (::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT) return;
  const int err = errno;
  // Root is refused only by the immutable and append-only attributes.
  if ((err != EACCES && err != EPERM) || !clearProtection(dir.get(), name.c_str())) fail(err, L"Unable to delete file", path, "vfs::forcedRemove");
  if (::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT) return;
  fail(errno, L"Unable to delete file", path, "vfs::forcedRemove");
}

void createDirectories(const std::wstring& path, unsigned mode) {
  std::string p = bytesOf(path, "vfs::createDirectories");
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  // The longest part that exists is walked by the trust rule (the last
  // component too: the directories asked for may be reached through the
  // administrator's link); the rest is made one directory at a time.
  std::string refused;
  UniqueFd fd(openPath(p, O_PATH | O_DIRECTORY, true, &refused));
  if (fd.get() >= 0) return;
  const int err = errno;
  const size_t slash = p.rfind('/');
  if (err != ENOENT || slash == std::string::npos || p.substr(slash + 1) == ".." || slash + 1 == p.size())
    failPath(err, L"Unable to create directory", path, refused, "vfs::createDirectories", true);
  const std::string leaf = p.substr(slash + 1);
  if (slash > 0) createDirectories(text::fromAnsi(p.substr(0, slash)), mode);
  UniqueFd parent(openPath(slash == 0 ? "/" : p.substr(0, slash), O_PATH | O_DIRECTORY, true, &refused));
  if (parent.get() < 0) failPath(errno, L"Unable to create directory", path, refused, "vfs::createDirectories", true);
  if (leaf != "." && ::mkdirat(parent.get(), leaf.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
    fail(errno, L"Unable to create directory", path, "vfs::createDirectories", true);
}

void removeTree(const std::wstring& path) noexcept {
  try {
    const std::string name = text::toAnsi(fileName(path));
    if (name.empty() || name == "." || name == ".." || path.find(L'\0') != std::wstring::npos) return;
    UniqueFd dir(openPath(text::toAnsi(directoryOf(path)), O_PATH | O_DIRECTORY, true));
    struct stat st;
    if (dir.get() < 0 || ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    removeEntry(dir.get(), name.c_str(), st.st_dev);
  } catch (...) {
  }
}

}  // namespace vfs
