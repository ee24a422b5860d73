// The mail log and its rotated predecessors, and reading their lines
// (gzip-compressed ones included).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// Calls `onLine` with every line of the file, without its line break; a
// gzip-compressed file is inflated on the way. Lines longer than `maxLine`
// bytes are not passed on, only counted. Raises naming the file when it
// cannot be read, is no valid gzip data, ends inside its compressed data
// (the lines before are passed on) or uses a compression other than gzip.
ReadCounts readLines(OpenedMailLog& log, const std::function<void(std::string_view)>& onLine, size_t maxLine = 65536);

}  // namespace mailprovider
