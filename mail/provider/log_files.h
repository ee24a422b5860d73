// The mail log and its rotated predecessors, and reading their lines
// (compressed ones included: gzip inflated by zlib, xz, bzip2 and zstd by
// the system's own decompressors).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/exceptions.h"
#include "support/fs.h"

namespace mailprovider {

enum class Compression { None, Gzip, Xz, Bzip2, Zstd };

struct MailLogFile {
  std::wstring path;
  bool rotated = false;  // not the file the mail system writes
  Compression compression = Compression::None;
  vfs::FileTime lastWrite = 0;
  uint64_t device = 0, inode = 0;  // which file it is, whatever its name
};

// A log file opened right after the listing: what is read is the file that
// was listed, whatever a rotation renames meanwhile.
struct OpenedMailLog {
  MailLogFile file;
  vfs::File opened;
};

// The active log `activePath` and, beside it, its rotated files: the name
// followed by "." or "-" and a number or a date and time ("mail.log.1",
// "mail.log-20240301", "mail.log.20240301-062500", "mail.log-2024-03-01"),
// optionally compressed (".gz", ".xz", ".bz2", ".zst"). Regular files only (a
// link is never followed), each opened at once and described by its open
// descriptor; a file reached under two names is taken once, and a rotated
// file that is being compressed (both "mail.log.2" and "mail.log.2.gz") is
// taken uncompressed. Oldest (by last write) first, the active log last.
// The active log is left out when it does not exist.
std::vector<OpenedMailLog> openMailLogFiles(const std::wstring& activePath);

struct ReadCounts {
  uint64_t overlong = 0;  // lines longer than the limit: skipped whole
};

// Compressed data that is damaged, cut short or not of its kind: the lines
// before the damage were passed on, the rest cannot be read by anyone.
class DamagedLogError : public vexception {
 public:
  using vexception::vexception;
};

// Where the decompressors of xz, bzip2 and zstd files are: /usr/bin/xz
// (Debian package xz-utils), /usr/bin/bzip2 (bzip2), /usr/bin/zstd (zstd).
inline constexpr const wchar_t* kDecompressorDirectory = L"/usr/bin";
// The longest a decompressor may take over one file, our reading of its
// lines included: a hung one must not hold the night's run.
inline constexpr unsigned kDecompressorTimeoutSeconds = 3600;

// Calls `onLine` with every line of the file, without its line break; a
// compressed file is decompressed on the way, streamed: gzip by zlib, xz,
// bzip2 and zstd by their programs in `decompressors`, started without a
// shell with the open file as their standard input and read from a pipe.
// Lines longer than `maxLine` bytes are not passed on, only counted.
// Raises DamagedLogError naming the file when its compressed data is no
// valid data of its kind or ends inside it (the lines before are passed on);
// a vexception naming the file when it cannot be read, and naming the
// program too when the decompressor cannot be run, is killed or times out.
ReadCounts readLines(OpenedMailLog& log, const std::function<void(std::string_view)>& onLine, size_t maxLine = 65536,
                     const std::wstring& decompressors = kDecompressorDirectory);

}  // namespace mailprovider
