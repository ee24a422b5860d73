#include "webstat/log_file.h"

#include <unistd.h>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/logging.h"
#include "support/text.h"
#include "support/utilrunner.h"

namespace {

constexpr const char* kWriteFunction = "statistics::LogForAnalyser::writeLineToLog";

const wchar_t* prefixOf(int kind) {
  switch (kind) {
    case 0: return L"web";
    case 1: return L"ano";
    case 2: return L"ftp";
    default: return L"";
  }
}

// The scratch file is made closed by TemporaryFile; it is made again in its
// place as a new file, so that the handle comes from the link-safe layer.
vfs::File openForWriting(const std::wstring& path) {
  const vfs::Directory directory = vfs::Directory::open(vfs::parentDirectory(path));
  const std::wstring name = vfs::fileName(path);
  directory.unlink(name);
  return directory.createExclusive(name);
}

}  // namespace

LogFile::LogFile() = default;

LogFile::~LogFile() { discard(); }

std::wstring LogFile::temporaryPath() const { return temporary_ ? temporary_->path() : std::wstring(); }

void LogFile::checkLogFile(const std::wstring& domainName, int kind, const std::wstring& directory) {
  if (file_.valid()) return;
  release();
  try {
    temporary_ = std::make_unique<TemporaryFile>();
    file_ = openForWriting(temporary_->path());
  } catch (const vexception& e) {
    const std::wstring text = L"Unable to create temp file " + temporaryPath() + L" for log domain " + domainName;
    release();
    if (const auto* os = dynamic_cast<const vosexception*>(&e)) raiseWindowsError(text, os->code(), VLOC(e.message(), "LogFile::checkLogFile"));
    throw vexception(text, VLOC(e.message(), "LogFile::checkLogFile"));
  }
  destination_ = temporary_->path();
  copyOnClose_ = false;
  const std::wstring prefix = prefixOf(kind);
  if (!prefix.empty() && !directory.empty()) {
    directory_ = directory;
    prefix_ = prefix;
    opened_ = VDateTime::nowUtc();
    destination_ = vfs::join(directory, prefix + opened_.formatStamp17() + L".log");
    copyOnClose_ = true;
  }
  buffer_.reserve(kBufferSize + 1024);
}

void LogFile::writeBufferIfFull() {
  // Whole blocks of kBufferSize, the rest of the last line kept for the next:
  // the scratch file grows by whole pages, where a write that ends inside a
  // page leaves the kernel that page to take again with the next write.
  if (buffer_.size() < kBufferSize) return;
  write(kBufferSize);
  buffer_.erase(0, kBufferSize);
}

void LogFile::flush() {
  if (buffer_.empty()) return;
  write(buffer_.size());
  buffer_.clear();
}

void LogFile::write(size_t n) {
  if (!file_.valid()) {
    buffer_.clear();
    raiseWindowsError(L"Write to file", winerr::InvalidHandle, VLOC(L"feed " + destination_ + L" is not open", kWriteFunction));
  }
  try {
    file_.writeAll(buffer_.data(), n);
  } catch (const vosexception& e) {
    buffer_.clear();
    if (e.code() == winerr::DiskFull) raiseWindowsError(L"Can't write to file. Disk full?", winerr::DiskFull, VLOC(e.message(), kWriteFunction));
    raiseWindowsError(L"Write to file", e.code(), VLOC(e.message(), kWriteFunction));
  }
}

std::wstring LogFile::freeDestination() const {
  // A feed of that name still waiting for the analyser (a run in the same
  // millisecond) is never replaced, its lines would be lost: the next free
  // moment names this one. Anything else there (a planted link) is
  // replaced as an entry, never written through.
  std::wstring destination = destination_;
  for (int n = 1; n < 100000 && vfs::isRegularFile(destination); ++n) {
    constexpr int64_t kTicksPerMillisecond = 10000;
    const VDateTime t = VDateTime::fromFileTime(opened_.toFileTime() + n * kTicksPerMillisecond);
    destination = vfs::join(directory_, prefix_ + t.formatStamp17() + L".log");
  }
  return destination;
}

void LogFile::close() noexcept {
  if (std::optional<CommitActions::StagedFile> staged = stage())
    guarded(LogLevel::Error,
            [&] {
              return VLOC(vaformat(L"Unable to copy temporary log file %s to %s", vfs::join(staged->directory, staged->scratch),
                                   vfs::join(staged->directory, staged->name)),
                          "LogFile::~LogFile");
            },
            [&] { installStagedFile(*staged); });
}

std::optional<CommitActions::StagedFile> LogFile::stage() noexcept {
  if (!temporary_) return std::nullopt;
  const std::wstring temp = temporary_->path();
  std::optional<CommitActions::StagedFile> staged;
  if (copyOnClose_ && !destination_.empty() && !text::equalsIgnoreCase(destination_, temp)) {
    std::wstring destination = destination_;
    const auto where = [&] { return VLOC(vaformat(L"Unable to copy temporary log file %s to %s", temp, destination), "LogFile::~LogFile"); };
    guarded(LogLevel::Error, where, [&] {
      destination = freeDestination();
      flush();
      file_.close();
      const vfs::Directory directory = vfs::Directory::open(directory_);
      vfs::File reserved;
      const std::wstring scratch = directory.createUnique(L"." + vfs::fileName(destination) + L".", reserved);
      reserved.close();
      try {
        vfs::copyFile(temp, vfs::join(directory_, scratch));
      } catch (...) {
        ::unlinkat(directory.fd(), text::toAnsi(scratch).c_str(), 0);
        throw;
      }
      staged = CommitActions::StagedFile{directory_, scratch, vfs::fileName(destination)};
    });
  }
  release();
  return staged;
}

void LogFile::discard() noexcept { release(); }

void LogFile::release() noexcept {
  buffer_.clear();
  try {
    if (file_.valid()) file_.close();
  } catch (...) {
    // The scratch file goes away below; a failing close changes nothing.
  }
  temporary_.reset();
  destination_.clear();
  copyOnClose_ = false;
}
