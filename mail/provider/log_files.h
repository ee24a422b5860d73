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

struct MailLogFile {
  std::wstring path;
  bool rotated = false;     // not the file the mail system writes
  bool compressed = false;  // ends in ".gz"
  vfs::FileTime lastWrite = 0;
};

// The active log `activePath` and, beside it, its rotated files: the name
// followed by "." or "-" and digits ("mail.log.1", "mail.log-20240301"),
// optionally ".gz". Regular files only (a link is never followed); oldest
// (by last write) first, the active log last. A missing active log is left
// out; a missing directory raises.
std::vector<MailLogFile> findMailLogFiles(const std::wstring& activePath);

// Calls `onLine` with every line of the file, without its line break; a
// compressed file is inflated on the way. Lines longer than `maxLine` bytes
// are cut there (the rest of the line is dropped). Raises naming the file
// when it cannot be opened or read, or is no valid gzip data.
void readLines(const MailLogFile& file, const std::function<void(std::string_view)>& onLine, size_t maxLine = 65536);

}  // namespace mailprovider
