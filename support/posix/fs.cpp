// The file and directory primitives of the file-system layer on POSIX:
// everything works through descriptors opened without following links.
#include "support/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <memory>

#include "support/exceptions.h"
#include "support/posix/fs_posix.h"
#include "support/text.h"

namespace vfs {

namespace posix {

std::string bytesOf(const std::wstring& path, const char* function) {
  if (path.find(L'\0') != std::wstring::npos)
    raiseWindowsError(L"Invalid path '" + path.substr(0, path.find(L'\0')) + L"...'", winerr::InvalidParameter, VLOC(L"", function));
  return text::toAnsi(path);
}

void fail(int err, const wchar_t* what, const std::wstring& path, const char* function, bool aboutDirectory) {
  raiseErrno(err, std::wstring(what) + L" '" + path + L"'", VLOC(L"", function), aboutDirectory);
}

std::string entryName(const std::wstring& name, const std::wstring& directory, const char* function) {
  if (name.empty() || name == L"." || name == L".." || name.find(L'/') != std::wstring::npos)
    raiseWindowsError(L"Invalid file name '" + name + L"' in '" + directory + L"'", winerr::InvalidParameter, VLOC(L"", function));
  return bytesOf(name, function);
}

std::wstring directoryOf(const std::wstring& path) {
  const std::wstring parent = parentDirectory(path);
  return parent.empty() ? L"." : parent;
}

EntryType entryType(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::File;
  if (S_ISDIR(mode)) return EntryType::Directory;
  if (S_ISLNK(mode)) return EntryType::Symlink;
  return EntryType::Other;
}

FileTime fileTimeOf(const struct timespec& ts) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  return (static_cast<int64_t>(ts.tv_sec) + kSecondsFrom1601To1970) * 10000000LL + ts.tv_nsec / 100;
}

DirEntry entryOf(std::wstring name, const struct stat& st) {
  DirEntry e;
  e.name = std::move(name);
  e.type = entryType(st.st_mode);
  e.size = static_cast<uint64_t>(st.st_size);
  e.lastWrite = fileTimeOf(st.st_mtim);
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  e.links = st.st_nlink;
  e.mode = static_cast<uint32_t>(st.st_mode & 07777);
  e.allocated = static_cast<uint64_t>(st.st_blocks) * 512u;
  e.device = static_cast<uint64_t>(st.st_dev);
  e.inode = static_cast<uint64_t>(st.st_ino);
  return e;
}

int openDirectoryAt(int dirFd, const char* name) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != ENOTDIR) return fd;
  // O_DIRECTORY answers ENOTDIR before O_NOFOLLOW is looked at; a link must read as one.
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
  else errno = ENOTDIR;
  return -1;
}

bool trustedLink(const struct stat& link, const struct stat& holder) {
  const uid_t self = ::geteuid();
  const bool ownLink = link.st_uid == 0 || link.st_uid == self;
  const bool ownHolder = holder.st_uid == 0 || holder.st_uid == self;
  const bool closed = (holder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (holder.st_mode & S_ISVTX) != 0;
  return S_ISLNK(link.st_mode) && ownLink && ownHolder && closed;
}

namespace {

std::atomic<bool> noOpenat2{false};

// The whole path in one call, refusing every link; -1 with errno ELOOP (or
// ENOSYS and the like) sends the caller to the walk.
int openWithoutLinks(const std::string& path, int flags) {
  if (noOpenat2.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || errno == EAGAIN) continue;
    if (errno == ENOSYS || errno == EPERM) noOpenat2.store(true, std::memory_order_relaxed);  // EPERM: a seccomp filter
    return -1;
  }
}

// The components of a path, last first, so that a link's target can be put in front.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
  size_t end = path.size();
  while (end > 0) {
    const size_t slash = path.rfind('/', end - 1);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (end > start) pending.emplace_back(path, start, end - start);
    if (slash == std::string::npos) break;
    end = slash;
  }
}

}  // namespace

int openPath(const std::string& path, int flags, bool followLast, std::string* refused) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  {
    // A path without any link needs no walk, whether the last one would be followed or not.
    const int fd = openWithoutLinks(path, flags);
    struct stat st;
    if (fd >= 0) {
      // O_PATH | O_NOFOLLOW opens a link in the last place as itself: the walk decides.
      if (!(flags & O_PATH) || (::fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode))) return fd;
      ::close(fd);
    } else if (errno != ELOOP && errno != ENOTDIR && errno != ENOSYS && errno != EINVAL && errno != E2BIG && errno != EPERM && errno != EXDEV) {
      // Any other failure is the path's own (a link on the way answers ELOOP first).
      return fd;
    }
  }
  UniqueFd current(::open(path.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (current.get() < 0) return -1;
  std::string walked = path.front() == '/' ? "" : ".";
  std::vector<std::string> pending;
  pushComponents(path, pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    const bool last = pending.empty();
    const std::string here = walked + "/" + part;
    const int fd = ::openat(current.get(), part.c_str(), last ? (flags | O_NOFOLLOW | O_CLOEXEC) : (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat link;
    if (fd >= 0) {
      // O_PATH | O_NOFOLLOW opens a link as itself.
      if (!(last && (flags & O_PATH)) || ::fstat(fd, &link) != 0 || !S_ISLNK(link.st_mode)) {
        if (last) return fd;
        current.reset(fd);
        walked = part == ".." ? walked + "/.." : here;
        continue;
      }
      ::close(fd);
    } else {
      const int err = errno;
      if ((err != ELOOP && err != ENOTDIR) || ::fstatat(current.get(), part.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
        errno = err;
        return -1;
      }
    }
    struct stat holder;
    if (::fstat(current.get(), &holder) != 0) return -1;
    if ((last && !followLast) || !trustedLink(link, holder) || ++links > kMaxLinks) {
      if (refused) *refused = here;
      errno = ELOOP;
      return -1;
    }
    char target[4096];
    const ssize_t n = ::readlinkat(current.get(), part.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
      if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
      return -1;
    }
    const std::string to(target, static_cast<size_t>(n));
    if (to.front() == '/') {
      current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (current.get() < 0) return -1;
      walked.clear();
    }
    pushComponents(to, pending);
  }
  // The path named a directory itself ("/", "a/.", a link to "/").
  return ::openat(current.get(), ".", (flags & ~O_NOFOLLOW) | O_CLOEXEC);
}

void failPath(int err, const wchar_t* what, const std::wstring& path, const std::string& refused, const char* function, bool aboutDirectory) {
  if (err == ELOOP && !refused.empty())
    raiseWindowsError(std::wstring(what) + L" '" + path + L"': the symbolic link '" + text::fromAnsi(refused) + L"' is not followed",
                      winerr::CantResolveFilename, VLOC(L"", function));
  fail(err, what, path, function, aboutDirectory);
}

// The directory holding the path's last component, walked by the trust
// rule; -1 with errno (and `refused`, the link not followed) on failure.
int tryOpenParentOf(const std::wstring& path, std::string& leaf, std::string& refused, const char* function) {
  std::string p = bytesOf(path, function);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  std::string dir;
  if (p == "/") {
    dir = "/";
    leaf = ".";
  } else if (slash == std::string::npos) {
    dir = ".";
    leaf = p;
  } else {
    dir = slash == 0 ? "/" : p.substr(0, slash);
    leaf = p.substr(slash + 1);
  }
  if (leaf.empty() || leaf == "..") raiseWindowsError(L"Invalid path '" + path + L"'", winerr::InvalidParameter, VLOC(L"", function));
  return openPath(dir, O_PATH | O_DIRECTORY, true, &refused);
}

int openParentOf(const std::wstring& path, std::string& leaf, const wchar_t* what, const char* function) {
  std::string refused;
  const int fd = tryOpenParentOf(path, leaf, refused, function);
  if (fd < 0) failPath(errno, what, path, refused, function, true);
  return fd;
}

}  // namespace posix

using namespace posix;

namespace {

// Gives a new file to the directory's owner and group (the documented rule).
// Returns 0 or the errno of the failure.
int giveToDirectoryOwner(int fileFd, int dirFd) {
  struct stat dir, file;
  if (::fstat(dirFd, &dir) != 0 || ::fstat(fileFd, &file) != 0) return errno;
  if (dir.st_uid == file.st_uid && dir.st_gid == file.st_gid) return 0;
  if (::fchown(fileFd, dir.st_uid, dir.st_gid) == 0) return 0;
  // Only root may give files away; anyone else keeps the file as its own.
  return (errno == EPERM && ::geteuid() != 0) ? 0 : errno;
}

std::wstring randomHex8() {
  uint32_t value = 0;
  while (::getrandom(&value, sizeof value, 0) < 0 && errno == EINTR) {
  }
  wchar_t buf[9];
  swprintf(buf, 9, L"%08x", value);
  return buf;
}

}  // namespace

// ---- File ---------------------------------------------------------------

File& File::operator=(File&& o) noexcept {
  if (this == &o) return *this;
  if (fd_ >= 0) ::close(fd_);
  fd_ = o.fd_;
  path_ = std::move(o.path_);
  viewed_ = o.viewed_;
  offset_ = o.offset_;
  end_ = o.end_;
  o.fd_ = -1;
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

size_t File::read(void* buf, size_t n) {
  if (viewed_) {
    if (offset_ >= end_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, end_ - offset_));
  }
  for (;;) {
    const ssize_t got = viewed_ ? ::pread(fd_, buf, n, static_cast<off_t>(offset_)) : ::read(fd_, buf, n);
    if (got >= 0) {
      offset_ += static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
    if (errno != EINTR) fail(errno, L"Unable to read file", path_, "vfs::File::read");
  }
}

File File::view(uint64_t bytes) const {
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) fail(errno, L"Unable to read file", path_, "vfs::File::view");
  File v(fd, path_);
  v.viewed_ = true;
  v.end_ = bytes;
  return v;
}

void File::writeAll(const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t put = ::write(fd_, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put == 0 || (put < 0 && (errno == ENOSPC || errno == EDQUOT)))
      raiseWindowsError(L"Can't write to file. Disk full? '" + path_ + L"'", winerr::DiskFull, VLOC(L"", "vfs::File::writeAll"));
    if (put < 0) fail(errno, L"Unable to write file", path_, "vfs::File::writeAll");
    p += put;
    n -= static_cast<size_t>(put);
  }
}

uint64_t File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) fail(errno, L"Unable to get the size of file", path_, "vfs::File::size");
  return static_cast<uint64_t>(st.st_size);
}

FileTime File::lastWrite() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) fail(errno, L"Unable to get the time of file", path_, "vfs::File::lastWrite");
  return fileTimeOf(st.st_mtim);
}

DirEntry File::info() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) fail(errno, L"Unable to get attributes of", path_, "vfs::File::info");
  return entryOf(fileName(path_), st);
}

void File::sync() {
  if (::fsync(fd_) != 0) fail(errno, L"Unable to flush file", path_, "vfs::File::sync");
}

void File::close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  // A failed close can report a lost write (NFS, quota); EINTR still closed it.
  if (::close(fd) != 0 && errno != EINTR) fail(errno, L"Unable to close file", path_, "vfs::File::close");
}

// ---- Directory ----------------------------------------------------------

Directory Directory::open(const std::wstring& path) {
  const std::string p = bytesOf(path, "vfs::Directory::open");
  std::string refused;
  const int fd = openPath(p, O_RDONLY | O_DIRECTORY, false, &refused);
  if (fd < 0) failPath(errno, L"Unable to open directory", path, refused, "vfs::Directory::open", true);
  return Directory(fd, path);
}

Directory Directory::openParent(const std::wstring& path, std::wstring* leaf) {
  std::string name;
  UniqueFd fd(openParentOf(path, name, L"Unable to open directory", "vfs::Directory::openParent"));
  if (name == ".") raiseWindowsError(L"Invalid path '" + path + L"'", winerr::InvalidParameter, VLOC(L"", "vfs::Directory::openParent"));
  if (leaf) *leaf = text::fromAnsi(name);
  // A descriptor that can be listed, as Directory::open gives.
  const int dir = ::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) fail(errno, L"Unable to open directory", directoryOf(path), "vfs::Directory::openParent", true);
  return Directory(dir, directoryOf(path));
}

Directory::Directory(Directory&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }

Directory& Directory::operator=(Directory&& o) noexcept {
  if (this == &o) return *this;
  if (fd_ >= 0) ::close(fd_);
  fd_ = o.fd_;
  path_ = std::move(o.path_);
  o.fd_ = -1;
  return *this;
}

Directory::~Directory() {
  if (fd_ >= 0) ::close(fd_);
}

DirEntry Directory::info() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) fail(errno, L"Unable to get attributes of", path_, "vfs::Directory::info", true);
  return entryOf(fileName(path_), st);
}

namespace {
// Name order regardless of case, as the original platform lists a
// directory: daily logs then come in time order, whatever order the file
// system keeps (hash order on ext4), so a directory's lines are read, fed and
// rotated oldest first.
void sortByName(std::vector<DirEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; ++i) {
      const wint_t x = std::towupper(static_cast<wint_t>(a.name[i])), y = std::towupper(static_cast<wint_t>(b.name[i]));
      if (x != y) return x < y;
    }
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;
  });
}

// Calls fn(name, d_type) for every entry of the directory but "." and "..",
// in the file system's order. The directory's own descriptor is read from
// its start each time, so that a directory may be listed twice; the kernel's
// records are read straight, with no second descriptor and no stream of
// libc's (a run lists several directories per domain).
template <class Fn>
void forEachName(int dirFd, const std::wstring& path, const char* function, Fn&& fn) {
  if (::lseek(dirFd, 0, SEEK_SET) < 0) fail(errno, L"Unable to list directory", path, function, true);
  alignas(struct dirent64) char buffer[16384];
  for (;;) {
    const ssize_t got = ::getdents64(dirFd, buffer, sizeof buffer);
    if (got < 0) fail(errno, L"Unable to list directory", path, function, true);
    if (got == 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      fn(name, d->d_type);
    }
  }
}

}  // namespace

std::vector<DirEntry> Directory::list() const {
  std::vector<DirEntry> entries;
  forEachName(fd_, path_, "vfs::Directory::list", [&](const char* name, unsigned char) {
    struct stat st;
    if (::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return;  // removed since the listing saw it
      DirEntry unknown;
      unknown.name = text::fromAnsi(name);
      unknown.error = windowsErrorFromErrno(errno);
      entries.push_back(std::move(unknown));
      return;
    }
    entries.push_back(entryOf(text::fromAnsi(name), st));
  });
  sortByName(entries);
  return entries;
}

EntrySizes Directory::entrySizes() const {
  EntrySizes sizes;
  forEachName(fd_, path_, "vfs::Directory::entrySizes", [&](const char* name, unsigned char type) {
    // The listing tells most directories by itself; their own attributes
    // count for nothing.
    if (type == DT_DIR) {
      sizes.subdirectories.push_back(text::fromAnsi(name));
      return;
    }
    struct stat st;
    if (::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // removed meanwhile, or unknown: 0
    if (S_ISDIR(st.st_mode))
      sizes.subdirectories.push_back(text::fromAnsi(name));
    else
      sizes.bytes += static_cast<uint64_t>(st.st_size);
  });
  return sizes;
}

bool Directory::exists(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::exists");
  struct stat st;
  if (::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno == ENOENT) return false;
  fail(errno, L"Unable to get attributes of", join(path_, name), "vfs::Directory::exists");
}

DirEntry Directory::stat(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::stat");
  struct stat st;
  if (::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    fail(errno, L"Unable to get attributes of", join(path_, name), "vfs::Directory::stat");
  return entryOf(name, st);
}

File Directory::openRead(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::openRead");
  const std::wstring full = join(path_, name);
  // O_NONBLOCK: a FIFO or device in a tenant's directory must not hang the open.
  UniqueFd fd(::openat(fd_, n.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) fail(errno, L"Unable to open file", full, "vfs::Directory::openRead");
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) fail(errno, L"Unable to open file", full, "vfs::Directory::openRead");
  if (!S_ISREG(st.st_mode))
    raiseWindowsError(L"Unable to open file '" + full + L"': not a regular file", winerr::AccessDenied, VLOC(L"", "vfs::Directory::openRead"));
  // The flag is left: it changes nothing in the reads of a regular file.
  return File(fd.release(), full);
}

File Directory::createExclusive(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::createExclusive");
  const std::wstring full = join(path_, name);
  UniqueFd fd(::openat(fd_, n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0640));
  if (fd.get() < 0) fail(errno, L"Unable to create file", full, "vfs::Directory::createExclusive");
  if (const int err = giveToDirectoryOwner(fd.get(), fd_)) {
    ::unlinkat(fd_, n.c_str(), 0);
    fail(err, L"Unable to set the owner of file", full, "vfs::Directory::createExclusive");
  }
  return File(fd.release(), full);
}

std::wstring Directory::createUnique(const std::wstring& prefix, File& out) const {
  for (int attempt = 0;; ++attempt) {
    const std::wstring name = prefix + randomHex8() + L".tmp";
    try {
      out = createExclusive(name);
      return name;
    } catch (const VFileExistsException&) {
      if (attempt >= 100) throw;
    }
  }
}

void Directory::rename(const std::wstring& from, const std::wstring& to) const {
  const std::string f = entryName(from, path_, "vfs::Directory::rename");
  const std::string t = entryName(to, path_, "vfs::Directory::rename");
  if (::renameat(fd_, f.c_str(), fd_, t.c_str()) != 0)
    fail(errno, (L"Unable to rename '" + join(path_, from) + L"' to").c_str(), join(path_, to), "vfs::Directory::rename");
}

void Directory::renameNoReplace(const std::wstring& from, const std::wstring& to) const {
  const std::string f = entryName(from, path_, "vfs::Directory::renameNoReplace");
  const std::string t = entryName(to, path_, "vfs::Directory::renameNoReplace");
  int rc = ::renameat2(fd_, f.c_str(), fd_, t.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without RENAME_NOREPLACE: a hard link fails just as well on an existing target.
    rc = ::linkat(fd_, f.c_str(), fd_, t.c_str(), 0);
    if (rc == 0) ::unlinkat(fd_, f.c_str(), 0);
  }
  if (rc != 0) fail(errno, (L"Unable to rename '" + join(path_, from) + L"' to").c_str(), join(path_, to), "vfs::Directory::renameNoReplace");
}

void Directory::unlink(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::unlink");
  if (::unlinkat(fd_, n.c_str(), 0) != 0) fail(errno, L"Unable to delete file", join(path_, name), "vfs::Directory::unlink");
}

void Directory::writeFileAtomically(const std::wstring& name, std::string_view data) const {
  entryName(name, path_, "vfs::Directory::writeFileAtomically");
  File out;
  const std::wstring temp = createUnique(L"." + name + L".", out);
  try {
    out.writeAll(data.data(), data.size());
    // On disk before the rename, so that a crash leaves the old file or the new one.
    out.sync();
    out.close();
    rename(temp, name);
  } catch (...) {
    ::unlinkat(fd_, text::toAnsi(temp).c_str(), 0);
    throw;
  }
}

Directory Directory::openSubdirectory(const std::wstring& name) const {
  const std::string n = entryName(name, path_, "vfs::Directory::openSubdirectory");
  const int fd = openDirectoryAt(fd_, n.c_str());
  if (fd < 0) fail(errno, L"Unable to open directory", join(path_, name), "vfs::Directory::openSubdirectory", true);
  return Directory(fd, join(path_, name));
}

// ---- Paths --------------------------------------------------------------

bool isPathComponent(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." && name.find(L'/') == std::wstring::npos;
}

std::wstring join(const std::wstring& a, const std::wstring& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  const bool aSlash = a.back() == L'/';
  const bool bSlash = b.front() == L'/';
  if (aSlash && bSlash) return a + b.substr(1);
  if (aSlash || bSlash) return a + b;
  return a + L"/" + b;
}

std::wstring fileName(const std::wstring& path) {
  const size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring parentDirectory(const std::wstring& path) {
  const size_t slash = path.rfind(L'/');
  if (slash == std::wstring::npos) return L"";
  if (slash == 0) return L"/";
  return path.substr(0, slash);
}

std::wstring extension(const std::wstring& path) {
  const std::wstring name = fileName(path);
  const size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? L"" : name.substr(dot);
}

namespace {

// lstat of the last component, the directories on the way walked by the
// trust rule: false when the path does not exist; other failures raise.
bool lstatPath(const std::wstring& path, struct stat& st, const char* function) {
  {
    // A path without any link on the way is answered by one lookup: O_PATH
    // with O_NOFOLLOW opens a link in the last place as itself, and the
    // kernel refuses every other link, which sends the question to the walk.
    std::string whole = bytesOf(path, function);
    while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
    if (!whole.empty() && whole != "/" && !whole.ends_with("/..") && whole != "..") {
      const int fd = openWithoutLinks(whole, O_PATH);
      if (fd >= 0) {
        const bool ok = ::fstat(fd, &st) == 0;
        ::close(fd);
        if (ok) return true;
      } else if (errno == ENOENT) {
        return false;
      }
    }
  }
  std::string leaf, refused;
  // A missing directory on the way is an answer, not a failure: asked once
  // per domain, it must not cost an exception.
  UniqueFd dir(tryOpenParentOf(path, leaf, refused, function));
  if (dir.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    failPath(errno, L"Unable to get attributes of", path, refused, function, true);
  }
  if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail(errno, L"Unable to get attributes of", path, function);
}

}  // namespace

bool exists(const std::wstring& path) {
  struct stat st;
  return lstatPath(path, st, "vfs::exists");
}

bool isDirectory(const std::wstring& path) {
  struct stat st;
  return lstatPath(path, st, "vfs::isDirectory") && S_ISDIR(st.st_mode);
}

std::optional<EntryType> entryType(const std::wstring& path) {
  struct stat st;
  if (!lstatPath(path, st, "vfs::entryType")) return std::nullopt;
  return entryType(st.st_mode);
}

bool isRegularFile(const std::wstring& path) {
  struct stat st;
  return lstatPath(path, st, "vfs::isRegularFile") && S_ISREG(st.st_mode);
}

DirEntry statPath(const std::wstring& path) {
  struct stat st;
  if (!lstatPath(path, st, "vfs::statPath")) fail(ENOENT, L"Unable to get attributes of", path, "vfs::statPath");
  return entryOf(fileName(path), st);
}

std::vector<DirEntry> listDirectory(const std::wstring& path) { return Directory::open(path).list(); }

File openRead(const std::wstring& path) {
  std::wstring leaf;
  const Directory dir = Directory::openParent(path, &leaf);
  return dir.openRead(leaf);
}

bool isTrustedRegularFile(const std::wstring& path) {
  const std::string p = bytesOf(path, "vfs::isTrustedRegularFile");
  UniqueFd fd(openPath(p, O_PATH, true));
  struct stat st;
  return fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string readFile(const std::wstring& path) {
  File file = openRead(path);
  std::string data;
  data.reserve(static_cast<size_t>(file.size()));
  char buf[65536];
  while (const size_t n = file.read(buf, sizeof buf)) data.append(buf, n);
  return data;
}

File createOutputFile(const std::wstring& path) {
  std::string leaf;
  UniqueFd dir(openParentOf(path, leaf, L"Unable to create file", "vfs::createOutputFile"));
  // Never through a link: the program's own output is no way to write elsewhere.
  const int fd = ::openat(dir.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) raiseErrno(L"Unable to create file " + path, VLOC(L"", "vfs::createOutputFile"), errno == ENOENT);
  return File(fd, path);
}

File standardOutput() {
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) raiseErrno(L"Unable to use the standard output", VLOC(L"", "vfs::standardOutput"));
  return File(fd, L"standard output");
}

bool createDirectory(const std::wstring& path, unsigned mode) {
  std::string leaf;
  UniqueFd dir(openParentOf(path, leaf, L"Unable to create directory", "vfs::createDirectory"));
  if (::mkdirat(dir.get(), leaf.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  if (errno == EEXIST) return false;
  raiseErrno(L"Unable to create directory " + path, VLOC(L"", "vfs::createDirectory"), true);
}

void writeFile(const std::wstring& path, std::string_view data) {
  std::wstring leaf;
  const Directory dir = Directory::openParent(path, &leaf);
  dir.writeFileAtomically(leaf, data);
}

}  // namespace vfs
