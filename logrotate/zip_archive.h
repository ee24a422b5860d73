// The compression step of log rotation: one log becomes a ".zip" archive
// with a single deflate entry, written beside it in the tenant's directory.
#pragma once

#include <memory>
#include <string>

#include "support/fs.h"

namespace zipstep {

class ScratchFile;

// Archives in the making are named this prefix, eight hexadecimal digits
// and ".tmp": a hidden name, which rotation and the log scan leave alone.
inline constexpr const wchar_t* kTemporaryPrefix = L".halvex-zip-";

// Size of the pieces in which a log is copied into its archive.
inline constexpr size_t kChunkSize = 51200;

enum class Outcome {
  Archived,  // name + ".zip" holds the log, and the log is gone
  Skipped,   // the log is missing, no single-link regular file of its
             // directory's owner (rotation::openOwnLog), held open by another
             // process, or name + ".zip" is taken: nothing changed
};

// Compresses the entry `name` of `dir` into name + ".zip": one deflate entry
// (default level) named after the log in the 8-bit code page, stamped with
// the log's last-write time (UTC), copied in kChunkSize pieces. The archive
// is first written in the process's temporary directory, then copied into a
// new exclusive file in `dir` and renamed into place without replacing
// anything, so the final name never holds half an archive. The log is
// removed only when it still is the file that was read: the same inode at
// the name, and its size and last-write time, read through the descriptor
// the archive was made from, those of the archived bytes. A log that changed
// while it was archived is kept as it is and the archive removed again
// (raises "The log changed while it was being archived"): the next run
// archives it whole. Any other failure raises, after removing whatever part
// of the archive was made; the log is kept.
Outcome compressLog(const vfs::Directory& dir, const std::wstring& name);

// The same in two phases, so that a log is archived before the night's
// figures are delivered and changes only after: prepareArchive writes the
// archive into the process's temporary directory (the log is not touched);
// installArchive puts it in place and removes the log, as compressLog does,
// when the log still is what was archived. A log that cannot be archived
// now (the reasons of Skipped) gives no prepared archive.
struct PreparedArchive {
  PreparedArchive();
  ~PreparedArchive();
  PreparedArchive(PreparedArchive&&) noexcept;
  PreparedArchive& operator=(PreparedArchive&&) noexcept;
  std::unique_ptr<ScratchFile> scratch;
  vfs::DirEntry archived;  // the log as it was archived
  uint64_t copied = 0;
  uint64_t archiveSize = 0;
};
std::unique_ptr<PreparedArchive> prepareArchive(const vfs::Directory& dir, const std::wstring& name);
Outcome installArchive(const vfs::Directory& dir, const std::wstring& name, PreparedArchive& prepared);

}  // namespace zipstep
