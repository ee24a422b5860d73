// Log rotation of the hosted domains: older logs in a domain's log
// directories become ".rotated" files or ".zip" archives, a configured number
// of them stays, and the ones beyond it are mailed to the domain's address
// and handed to the web log storage, which saves or removes them at clean-up.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/domain.h"
#include "logrotate/log_storage.h"
#include "logrotate/rotation_entry.h"
#include "support/fs.h"

namespace zipstep {
struct PreparedArchive;
}

// What the night's rotation will do, worked out while the run measures:
// the archives of the logs to compress, made in the process's temporary
// directory (the logs themselves are untouched until the figures counted
// from them are delivered), and the bytes each log directory will have
// gained or lost once it is rotated, so that disk usage describes the
// directories as they stand after the night.
class RotationPlan {
 public:
  RotationPlan();
  ~RotationPlan();
  RotationPlan(const RotationPlan&) = delete;
  RotationPlan& operator=(const RotationPlan&) = delete;

  // The archive made for the log `name` of `directory`; null when none was.
  zipstep::PreparedArchive* archiveFor(const std::wstring& directory, const std::wstring& name);
  void addArchive(const std::wstring& directory, const std::wstring& name, std::unique_ptr<zipstep::PreparedArchive> archive);

 private:
  std::map<std::pair<std::wstring, std::wstring>, std::unique_ptr<zipstep::PreparedArchive>> archives_;
};

class logrotate {
 public:
  // `storage` retires the logs beyond the kept number (the web log storage,
  // owned by the run); without one they are removed at once.
  explicit logrotate(halvex::logging::LogStorage* storage) : storage_(storage) {}

  // Rotates the logs of each of the domain's log directories, when its
  // rotation is enabled. Tenants can write these directories: only regular
  // files with a single link are rotated, counted, mailed or handed over;
  // links, FIFOs and devices are left alone and never opened. The checks are
  // made on the opened descriptor (rotation::openOwnLog), and the mail and
  // the hand-over concern that very file (its device and inode). A directory
  // that fails (it vanished, it is a link) is logged at level Info with the
  // context "Rotate log for domain %s" and the next directory follows; a log
  // that cannot be mailed or handed over is logged at level Error with
  // "Process domain %s log %s" (the name in its Unicode display form) and
  // stays for the next run.
  // With `plan`, the archives prepared for it are put in place instead of
  // compressing the logs now.
  void start(const DomainInfo& domain, const std::wstring& adminEmail, const std::wstring& adminName, RotationPlan* plan = nullptr);

  // Works out the rotation of the domain's directories (when its rotation
  // is enabled) without changing them: archives the logs to compress into
  // `plan` and adds to `changes` (directory -> bytes) what each directory
  // will gain or lose: archives in, compressed logs and logs beyond the
  // kept number out. Failures are logged as by start.
  void prepare(const DomainInfo& domain, RotationPlan& plan, std::map<std::wstring, int64_t>& changes);

  // Mails one rotated log as an attachment: subject "Domain <name> log
  // <file>", sender "\"senderName\" <senderAddress>". Does nothing for an
  // empty recipient. Failures raise vexception with the context "Send log %s
  // for domain %s to %s" (file name, domain's Unicode display form,
  // recipient); nothing is logged here. The file is opened as a regular file
  // without following a link.
  static void _sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, const std::wstring& path,
                              const std::wstring& senderAddress, const std::wstring& senderName);
  // The same for the entry `name` of an open directory.
  static void _sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, const vfs::Directory& dir, const std::wstring& name,
                              const std::wstring& senderAddress, const std::wstring& senderName);
  // The same for a log the caller opened and checked: its descriptor is sent.
  static void _sendLogByEmail(const std::wstring& recipient, const std::wstring& domainName, vfs::File log, const std::wstring& senderAddress,
                              const std::wstring& senderName);

 private:
  struct Job;
  void rotateDirectory(const Job& job, const std::wstring& directory, RotationPlan* plan);
  void planDirectory(const Job& job, const std::wstring& directory, RotationPlan& plan, std::map<std::wstring, int64_t>& changes);
  // The logs to rotate (oldest first), the current one left out.
  std::vector<RotationEntry> candidates(const Job& job, const vfs::Directory& dir, bool& currentKept) const;
  // Of a directory's files after rotation, those beyond the kept number.
  std::vector<RotationEntry> beyondKept(const Job& job, std::vector<RotationEntry> files, bool currentKept) const;
  void retire(const Job& job, const vfs::Directory& dir, const RotationEntry& entry);

  halvex::logging::LogStorage* storage_;
};

// Rotates the logs of every domain whose business lock this run holds and
// whose traffic it did not hold back, in id order, with the parameters "adminEmail" and "adminName" (empty when
// absent), handing dropped logs to `httpLogStorage`. The run driver calls it
// once the results document is complete and before the domain locks are
// released, so no log changes before the figures counted from it have been
// delivered.
void launchLogRotate(DomainModel& model, halvex::logging::LogStorage& httpLogStorage, RotationPlan* plan = nullptr);

// The plan of launchLogRotate for the same domains, made before the results
// document ends (after traffic collection, before disk usage): the bytes
// each log directory will gain or lose go to model.logsChangeByDirectory.
std::shared_ptr<RotationPlan> prepareLogRotate(DomainModel& model, halvex::logging::LogStorage& httpLogStorage);
