// The rotation step for one log: the numbered series of earlier archives is
// shifted up, then the log is renamed to ".rotated" or compressed to ".zip".
#pragma once

#include <string>

#include "logrotate/zip_archive.h"
#include "support/fs.h"

namespace rotation {

// Highest number of the series: "P_31999.zip" is the oldest kept name.
inline constexpr int kSeriesLimit = 32000;

// Rotates the entry `name` of `dir`. When name + E (E = ".zip" with
// `compress`, ".rotated" without) exists, the older archives move up first
// (name_1 + E to name_2 + E, ..., then name + E to name_1 + E), never
// replacing an entry. A rename that fails, or whose source is no regular
// file (a tenant's link is never renamed), is logged at level Error with the
// context "Can't rename file %s to %s" and stops the step: the log stays.
// Compression failures are logged at level Warning with the context
// "Can't compress file %s to %s" and keep the log; a log held open by
// another process is left for the next run without a message. With
// `prepared`, the archive made for the log earlier in the run is put in
// place instead of compressing the log now.
void rotateFile(const vfs::Directory& dir, const std::wstring& name, bool compress, zipstep::PreparedArchive* prepared = nullptr);

// Opens the entry `name` of `dir` and checks on the descriptor what rotation,
// compression and the log mail may act on: a regular file with a single link
// (a hard link could carry another file's content), owned by root, by the
// process's user or by the directory's owner. Raises vexception naming the
// file otherwise; a link, FIFO or device is refused without being followed.
vfs::File openOwnLog(const vfs::Directory& dir, const std::wstring& name);

}  // namespace rotation
