// The file-system layer. Tenants can write the directories the program works
// in (their log directories, document roots), so nothing here follows a
// symbolic link a tenant could have made: every path is walked from "/" one
// component at a time, and a link on the way is followed only when it is the
// administrator's (owned by root or by the process's user, in a directory of
// root's or ours that nobody else may write, or that is sticky); any other
// link fails with code 1921 and names the link. The last component of a path
// is never followed: entries are examined with lstat semantics, files are
// opened with O_NOFOLLOW | O_NONBLOCK and checked to be regular through the
// descriptor, new files are made with O_EXCL and renamed into place, and work
// on a directory's entries goes through an open descriptor of the directory.
// Failures raise the vosexception family with the Windows code of the errno.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vfs {

// 100-nanosecond intervals since 1601-01-01 UTC, as Windows file times.
using FileTime = int64_t;

enum class EntryType { File, Directory, Symlink, Other };

struct DirEntry {
  std::wstring name;
  EntryType type = EntryType::Other;
  uint64_t size = 0;       // logical size; the link's own size for a link
  FileTime lastWrite = 0;  // UTC
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t links = 1;      // hard link count
  uint32_t mode = 0;       // permission bits (07777), set-id and sticky included
  uint64_t allocated = 0;  // bytes the file takes on disk (st_blocks * 512)
  uint64_t device = 0;     // with inode: which file this is, whatever its name
  uint64_t inode = 0;
  // Non-zero (a Windows code) when a listing could not examine this entry
  // (type Other then): the entry exists but its attributes are unknown.
  uint32_t error = 0;
};

// What a measure of a tree needs of one of its directories (see
// Directory::entrySizes).
struct EntrySizes {
  uint64_t bytes = 0;
  std::vector<std::wstring> subdirectories;
};

// An open regular file. Failures name the path it was opened by.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(int fd, std::wstring path) : fd_(fd), path_(std::move(path)) {}
  File(File&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)), viewed_(o.viewed_), offset_(o.offset_), end_(o.end_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;
  ~File();

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::wstring& path() const { return path_; }
  // Reads up to n bytes; 0 at end of file (for a view, at its end).
  size_t read(void* buf, size_t n);
  // A reader of the file's first `bytes` bytes, from its start, with an
  // offset of its own: a log read in place gives the lines it held when it
  // was opened, whatever its writer appends meanwhile, and one opened file
  // serves several readers in turn without a name being looked up again.
  File view(uint64_t bytes) const;
  // Writes all bytes or raises ("Can't write to file. Disk full?" on a short write).
  void writeAll(const void* buf, size_t n);
  uint64_t size() const;
  FileTime lastWrite() const;
  // fstat of the open descriptor (name: the file name of path()): what was
  // opened, not what a name points to now.
  DirEntry info() const;
  void sync();
  void close();

 private:
  int fd_ = -1;
  std::wstring path_;
  bool viewed_ = false;  // reads go through pread from offset_ up to end_
  uint64_t offset_ = 0;
  uint64_t end_ = 0;
};

// An open directory: entries are worked on relative to its descriptor, so a
// directory swapped for a link after opening cannot redirect the work. Entry
// names are single components: an empty name, ".", ".." or a name with "/"
// is refused with code 87.
class Directory {
 public:
  // Opens a directory; a link in its place is refused (code 1921, path in
  // text), links on the way by the trust rule above.
  static Directory open(const std::wstring& path);
  // Opens the directory that holds the last component of `path` (a trusted
  // link in its place is followed: it is not the path's last component) and
  // gives that component in `leaf`. "/" and a path ending in ".." are refused
  // with code 87.
  static Directory openParent(const std::wstring& path, std::wstring* leaf = nullptr);
  Directory(Directory&& o) noexcept;
  Directory& operator=(Directory&& o) noexcept;
  ~Directory();

  const std::wstring& path() const { return path_; }
  // The descriptor, for the platform layer's own work relative to it.
  int fd() const { return fd_; }
  // fstat of the open directory itself (name: the last component of path()).
  DirEntry info() const;

  // Every entry except "." and "..", in name order regardless of case (then
  // exact), whatever order the file system keeps.
  // An entry that cannot be examined is listed with its error set, so that
  // one bad entry does not hide the others; one removed meanwhile is left out.
  std::vector<DirEntry> list() const;
  // The same pass for a measure of the tree, in the file system's order: the
  // logical sizes of the entries that are not directories added up (a link
  // with its own size, an entry that cannot be examined as 0) and the names
  // of the subdirectories. An entry the listing itself gives as a directory
  // is not examined further. Raises as list() does.
  EntrySizes entrySizes() const;
  // Whether an entry of that name exists (any type, links included).
  bool exists(const std::wstring& name) const;
  // lstat of one entry; raises when it does not exist.
  DirEntry stat(const std::wstring& name) const;

  // Opens a regular file for reading; a link, FIFO, device or directory is
  // refused without blocking.
  File openRead(const std::wstring& name) const;
  // Creates a new file (O_EXCL, never through a link), mode 0640, owned by the
  // directory's owner and group. Ownership rule: a file the program creates
  // in a directory belongs to whoever owns that directory (a tenant's log
  // directory gives the tenant's files), and is never writable by others;
  // a process that may not give files away (not root) keeps its own owner.
  // An existing entry of that name, a link included, fails with code 80.
  File createExclusive(const std::wstring& name) const;
  // Creates a uniquely named new file: `prefix`, eight hexadecimal digits,
  // ".tmp"; the rules of createExclusive apply. Returns its name.
  std::wstring createUnique(const std::wstring& prefix, File& out) const;
  // renameat within the directory; the target is replaced. Neither name is
  // followed if it is a link (a link is renamed as the link itself).
  void rename(const std::wstring& from, const std::wstring& to) const;
  // Same as rename, but fails when the target exists.
  void renameNoReplace(const std::wstring& from, const std::wstring& to) const;
  void unlink(const std::wstring& name) const;
  // Writes `data` to `name` atomically: a new exclusive file, then renamed over.
  void writeFileAtomically(const std::wstring& name, std::string_view data) const;
  // Opens a directory entry as a directory; a link is refused as by open.
  Directory openSubdirectory(const std::wstring& name) const;

 private:
  Directory(int fd, std::wstring path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::wstring path_;
};

// Path helpers ("/" separated).
std::wstring join(const std::wstring& a, const std::wstring& b);
// Whether a name is one component of a path, so that a path joined from it
// stays where it is joined: not empty, not "." or "..", no "/".
bool isPathComponent(const std::wstring& name);
std::wstring fileName(const std::wstring& path);
std::wstring parentDirectory(const std::wstring& path);
// From the last dot of the file name, dot included; empty when there is none.
std::wstring extension(const std::wstring& path);

// lstat-based tests: a link is never taken for what it points to. The
// directories on the way are walked by the trust rule; a refused link raises.
bool exists(const std::wstring& path);
bool isDirectory(const std::wstring& path);
// What the path is, by the same lstat; nothing when it does not exist.
std::optional<EntryType> entryType(const std::wstring& path);
bool isRegularFile(const std::wstring& path);
// lstat of a path; raises when missing.
DirEntry statPath(const std::wstring& path);

// Whether the path ends at a regular file, links followed by the trust rule
// at every component, the last one included: for the installation's own
// places (its utilities may be the links a package installs), never for a
// tenant's. False for anything else, failures included.
bool isTrustedRegularFile(const std::wstring& path);

// Lists a directory (Directory::open + list).
std::vector<DirEntry> listDirectory(const std::wstring& path);

// Opens a regular file for reading by path (parent opened, then openRead).
File openRead(const std::wstring& path);

// Copies a regular file onto `destination`, which is replaced through a new
// exclusive file in its directory and a rename: an entry of that name (a
// link included) is replaced as an entry, never written through. The copy
// keeps the source's last-write time and follows the ownership rule of
// Directory::createExclusive. A source that is a link or no regular file is
// refused. Raises "copy file " + source + " to " + destination with the code
// of the failure.
void copyFile(const std::wstring& source, const std::wstring& destination);
// The same from a file already open (and checked through its descriptor).
void copyFile(const File& source, const std::wstring& destination);

// Moves a file or link (renamed as itself); an existing destination is never
// replaced (code 183). Across file systems a regular file is copied and the
// source removed; when the source cannot be removed the copy is removed
// again and the failure raised, so the file stays in one place.
void moveFile(const std::wstring& source, const std::wstring& destination);

// Moves the regular file `name` of `from` to `toName` in `to` (never
// replacing anything) only while it is the file `expected` describes (same
// device and inode): what sits at the name after a swap, a link or another
// file or directory, stays where it is (code 1921, the path in the text).
// Across file systems the file is copied from the descriptor that was
// checked and the source removed, as moveFile does.
void moveCheckedFile(const Directory& from, const std::wstring& name, const Directory& to, const std::wstring& toName, const DirEntry& expected);

// Another process holds the file open (a write lease, F_SETLEASE, is refused;
// where the file system has no leases, /proc/*/fd is searched). A missing
// file is not in use; a link is refused (code 1921).
bool isFileInUse(const std::wstring& path);
// The same for the entry `name` of an open directory.
bool isFileInUse(const Directory& dir, const std::wstring& name);
// Names (/proc/PID/comm) of the other processes that hold the file open, one
// per process in process-id order; empty for a missing file.
std::vector<std::wstring> processesUsingFile(const std::wstring& path);

// Deletes a file (a link: the link itself); a missing file counts as
// removed. When unlink is refused with EACCES or EPERM, the immutable and
// append-only attributes of a regular file are cleared and the unlink tried
// once more; a second failure raises. A directory's attributes are never
// changed.
void forcedRemove(const std::wstring& path);

// Creates a directory and its missing parents with the mode (umask applies).
// Existing components are walked without following links, except a link that
// belongs to root or to the process's own user (one the administrator made);
// any other link fails with code 1921.
void createDirectories(const std::wstring& path, unsigned mode = 0755);
// Removes a directory tree without following links (a link is removed as
// itself) and without entering other file systems; errors are ignored.
void removeTree(const std::wstring& path) noexcept;

// Creates or truncates an output file of the program's own (the results
// document), mode 0644. Raises the Windows error naming the path (3 when its
// directory is missing).
File createOutputFile(const std::wstring& path);
// A descriptor of the process's standard output, closed independently of it.
File standardOutput();
// Creates one directory with the mode; false when an entry of that name
// exists already; other failures raise.
bool createDirectory(const std::wstring& path, unsigned mode);

// Reads a whole regular file / writes a file of the program's own (not in a
// tenant's directory) through a temporary file and rename.
std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, std::string_view data);

}  // namespace vfs
