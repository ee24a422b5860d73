#include "logrotate/zip_archive.h"

#include <zip.h>

#include <memory>
#include <vector>

#include "logrotate/rotation_step.h"
#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/process.h"
#include "support/text.h"

namespace zipstep {

namespace {

constexpr const char* kFunction = "zipstep::compressLog";

[[noreturn]] void fail(const std::wstring& what, const std::wstring& path) {
  throw vexception(what + L" '" + path + L"'", VLOC(L"", kFunction));
}

}  // namespace

// A scratch file in the process's own temporary directory, removed with its holder.
class ScratchFile {
 public:
  ScratchFile() : dir_(vfs::Directory::open(process::systemTempDirectory())) {
    vfs::File file;
    name_ = dir_.createUnique(L"halvex-zip-", file);
    file.close();
  }
  ~ScratchFile() {
    try {
      dir_.unlink(name_);
    } catch (...) {
    }
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  std::wstring path() const { return vfs::join(dir_.path(), name_); }

 private:
  vfs::Directory dir_;
  std::wstring name_;
};

namespace {

struct ZipCloser {
  void operator()(void* zip) const { zipClose(zip, nullptr); }
};

tm_zip zipTime(vfs::FileTime lastWrite) {
  const VDateTime t = VDateTime::fromFileTime(lastWrite);
  tm_zip z{};
  z.tm_year = t.year;
  z.tm_mon = t.month - 1u;  // minizip counts months from 0
  z.tm_mday = t.day;
  z.tm_hour = t.hour;
  z.tm_min = t.minute;
  z.tm_sec = t.second;
  return z;
}

// Writes the archive of `log` (named `entryName`, as `archived` describes
// it) to `archivePath`; returns the number of bytes archived.
uint64_t writeArchive(vfs::File& log, const vfs::DirEntry& archived, const std::wstring& entryName, const std::wstring& archivePath) {
  const std::string path = text::toAnsi(archivePath);
  std::unique_ptr<void, ZipCloser> zip(zipOpen64(path.c_str(), APPEND_STATUS_CREATE));
  if (!zip) fail(L"Unable to create archive", archivePath);

  zip_fileinfo info{};
  info.tmz_date = zipTime(archived.lastWrite);
  const uint64_t size = archived.size;
  // Entries of 4 GiB and more need the 64-bit extension in their headers.
  const int zip64 = size >= 0xffffffffULL ? 1 : 0;
  const std::string name = text::toAnsi(entryName);
  if (zipOpenNewFileInZip3_64(zip.get(), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                              DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, zip64) != ZIP_OK)
    fail(L"Unable to add an entry to archive", archivePath);

  std::vector<char> chunk(kChunkSize);
  uint64_t copied = 0;
  while (const size_t n = log.read(chunk.data(), chunk.size())) {
    if (zipWriteInFileInZip(zip.get(), chunk.data(), static_cast<unsigned>(n)) != ZIP_OK) fail(L"Unable to write archive", archivePath);
    copied += n;
  }
  if (copied != size) fail(L"The log changed while it was being archived", log.path());
  if (zipCloseFileInZip(zip.get()) != ZIP_OK) fail(L"Unable to write archive", archivePath);
  if (zipClose(zip.release(), nullptr) != ZIP_OK) fail(L"Unable to write archive", archivePath);
  return copied;
}

// Copies the finished archive into a new exclusive file of `dir`; returns its name.
std::wstring placeArchive(const vfs::Directory& dir, const std::wstring& scratchPath) {
  vfs::File source = vfs::openRead(scratchPath);
  vfs::File target;
  const std::wstring name = dir.createUnique(kTemporaryPrefix, target);
  try {
    std::vector<char> chunk(1 << 16);
    while (const size_t n = source.read(chunk.data(), chunk.size())) target.writeAll(chunk.data(), n);
    // On disk before the rename, so that a crash leaves the log or a whole archive.
    target.sync();
    target.close();
  } catch (...) {
    try {
      dir.unlink(name);
    } catch (...) {
    }
    throw;
  }
  return name;
}

// The log as it stands is what the archive holds: the same file at the name,
// with no byte more or less and no write since it was archived.
bool unchanged(const vfs::DirEntry& archived, uint64_t copied, const vfs::DirEntry& now, const vfs::DirEntry& atName) {
  return copied == archived.size && now.size == archived.size && now.lastWrite == archived.lastWrite && atName.type == vfs::EntryType::File &&
         atName.device == archived.device && atName.inode == archived.inode && atName.links == 1;
}

void unlinkQuietly(const vfs::Directory& dir, const std::wstring& name) noexcept {
  try {
    dir.unlink(name);
  } catch (...) {
  }
}

}  // namespace


PreparedArchive::PreparedArchive() = default;
PreparedArchive::~PreparedArchive() = default;
PreparedArchive::PreparedArchive(PreparedArchive&&) noexcept = default;
PreparedArchive& PreparedArchive::operator=(PreparedArchive&&) noexcept = default;

std::unique_ptr<PreparedArchive> prepareArchive(const vfs::Directory& dir, const std::wstring& name) {
  if (!dir.exists(name)) return nullptr;
  if (dir.stat(name).type != vfs::EntryType::File) return nullptr;
  // Checked before we open it ourselves: our own descriptor would count as a holder.
  if (vfs::isFileInUse(vfs::join(dir.path(), name))) return nullptr;

  // What is archived is what was opened and checked: a file swapped in
  // after the look above is checked again here, on the descriptor.
  vfs::File log;
  try {
    log = rotation::openOwnLog(dir, name);
  } catch (const vexception&) {
    return nullptr;
  }
  auto prepared = std::make_unique<PreparedArchive>();
  prepared->archived = log.info();
  prepared->scratch = std::make_unique<ScratchFile>();
  prepared->copied = writeArchive(log, prepared->archived, name, prepared->scratch->path());
  prepared->archiveSize = vfs::statPath(prepared->scratch->path()).size;
  return prepared;
}

Outcome compressLog(const vfs::Directory& dir, const std::wstring& name) {
  if (dir.exists(name + L".zip")) return Outcome::Skipped;
  const std::unique_ptr<PreparedArchive> prepared = prepareArchive(dir, name);
  if (!prepared) return Outcome::Skipped;
  return installArchive(dir, name, *prepared);
}

Outcome installArchive(const vfs::Directory& dir, const std::wstring& name, PreparedArchive& prepared) {
  const std::wstring archive = name + L".zip";
  if (dir.exists(archive)) return Outcome::Skipped;
  const vfs::DirEntry& archived = prepared.archived;
  const uint64_t copied = prepared.copied;
  if (vfs::isFileInUse(vfs::join(dir.path(), name))) return Outcome::Skipped;
  // The log as it stands now, checked again: it may have changed since it was archived.
  vfs::File log;
  try {
    log = rotation::openOwnLog(dir, name);
  } catch (const vexception&) {
    return Outcome::Skipped;
  }
  if (!unchanged(archived, copied, log.info(), dir.stat(name))) fail(L"The log changed while it was being archived", log.path());

  const std::wstring temporary = placeArchive(dir, prepared.scratch->path());
  try {
    dir.renameNoReplace(temporary, archive);
  } catch (...) {
    unlinkQuietly(dir, temporary);
    throw;
  }
  // The log goes only while it still is what the archive holds; one that
  // changed meanwhile stays as it is and its archive is discarded, so that
  // the next run archives all of it (appended lines are never lost).
  try {
    if (!unchanged(archived, copied, log.info(), dir.stat(name))) fail(L"The log changed while it was being archived", log.path());
    dir.unlink(name);
  } catch (...) {
    unlinkQuietly(dir, archive);
    throw;
  }
  return Outcome::Archived;
}

}  // namespace zipstep
