// One feed file: written during the run to a scratch file of the program's
// own, and copied into the domain's logs directory only when the run's
// figures are delivered.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/commit_actions.h"
#include "support/datetime.h"
#include "support/fs.h"

class TemporaryFile;

class LogFile {
 public:
  LogFile();
  // Discards: a feed is never copied into place implicitly.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the feed on first use (later calls do nothing). Kind 0, 1, 2 give
  // the prefixes "web", "ano", "ftp"; with a prefix and a directory the
  // destination is directory + prefix + the current UTC time as 17 digits +
  // ".log", and the feed is copied there on close; otherwise it is kept in
  // the scratch file only and dropped on close. Failures raise "Unable to
  // create temp file <path> for log domain <domain>" (the reason in the
  // trace's context) in "LogFile::checkLogFile".
  void checkLogFile(const std::wstring& domainName, int kind, const std::wstring& directory);
  bool isOpen() const { return file_.valid(); }

  // Appends one line's bytes (already in the ANSI code page) to the write
  // buffer; writeBufferIfFull writes its first kBufferSize bytes once it
  // holds that many (which may end inside a line: the rest follows with the
  // next block), flush writes all of it. A failed write raises "Write to
  // file" with the system's code, or "Can't write to file. Disk full?" when
  // the disk took fewer bytes, in "statistics::LogForAnalyser::writeLineToLog";
  // the lines still in the buffer are then lost, and the feed may end inside
  // a line (the caller reports the failure, which drops the feed).
  std::string& buffer() { return buffer_; }
  void writeBufferIfFull();
  void flush();

  // Flushes and closes the feed; when it is to be copied, stages it (below)
  // and puts it in place at once (installStagedFile: a link at the name is
  // replaced, never written through, a waiting feed never replaced; the
  // copy belongs to the directory's owner). Any failure is logged at Error as
  // "Unable to copy temporary log file %s to %s" with its own text in
  // "LogFile::~LogFile": the feed is lost. The scratch file is deleted in
  // every case. Never throws.
  void close() noexcept;
  // Flushes and closes the feed; when it is to be kept, copies it into its
  // directory under a scratch name of the program's own ("." + the free
  // name it is to have + "." + eight hexadecimal digits + ".tmp", read by
  // no one) and gives what is to be put in place. A failure is reported as
  // by close() and gives nothing: the feed is lost. The scratch file of the
  // temporary directory is deleted in every case. Never throws.
  std::optional<CommitActions::StagedFile> stage() noexcept;
  // Closes and deletes the scratch file without copying. Never throws.
  void discard() noexcept;

  // Where the feed goes on close; the scratch path when it is not kept.
  const std::wstring& destination() const { return destination_; }
  bool copyOnClose() const { return copyOnClose_; }
  // The scratch file's path; empty before the feed is opened.
  std::wstring temporaryPath() const;

  // Bytes collected before they are written to the scratch file.
  static constexpr size_t kBufferSize = 16 * 1024;

 private:
  // Writes the buffer's first n bytes (errors: see flush); clears it when that fails.
  void write(size_t n);
  // Closes the handle and deletes the scratch file.
  void release() noexcept;
  // The destination, or the next free moment's name when a regular file
  // (a feed still waiting) holds it.
  std::wstring freeDestination() const;

  std::wstring destination_;
  // The parts of a kept feed's name: directory, prefix and the moment it
  // was opened, from which a free name follows when that one is taken.
  std::wstring directory_, prefix_;
  VDateTime opened_;
  vfs::File file_;
  std::unique_ptr<TemporaryFile> temporary_;
  bool copyOnClose_ = false;
  std::string buffer_;
};
