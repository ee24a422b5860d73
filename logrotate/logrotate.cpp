#include "logrotate/logrotate.h"

#include <algorithm>

#include "logrotate/domain_display.h"
#include "logrotate/rotation_step.h"
#include "logrotate/zip_archive.h"
#include "support/logging.h"

namespace {

constexpr const char* kFunction = "logrotate::start";

// The files rotation may touch: regular files with a single link (a hard
// link could carry another file's content into a mail), analyser feeds and
// our own archives in the making left out.
std::vector<RotationEntry> rotatableFiles(const vfs::Directory& dir) {
  std::vector<RotationEntry> files;
  for (const vfs::DirEntry& e : dir.list()) {
    if (e.type != vfs::EntryType::File || e.links != 1) continue;
    // Hidden names are scratch files of the program's own (an archive or a
    // configuration being written), never logs to rotate.
    if (isAnalyserFeed(e.name) || e.name.starts_with(L".")) continue;
    files.push_back({vfs::join(dir.path(), e.name), e.lastWrite, e.size});
  }
  return files;
}

bool isArchive(const RotationEntry& e, bool compress) {
  const int c = rotationClass(e.path);
  return c == 0 || (c == 1 && !compress);
}

}  // namespace

struct logrotate::Job {
  const DomainInfo& domain;
  const std::wstring& adminEmail;
  const std::wstring& adminName;
  vfs::FileTime now;
};

void logrotate::start(const DomainInfo& domain, const std::wstring& adminEmail, const std::wstring& adminName) {
  if (!domain.logRotation.enabled) return;
  const auto where = [&] { return VLOC(vaformat(L"Rotate log for domain %s", domain.name), kFunction); };
  guarded(LogLevel::Info, where, [&] {
    const Job job{domain, adminEmail, adminName, nowFileTime()};
    // One directory failing (vanished, swapped for a link) leaves the others to rotate.
    for (const std::wstring& directory : domain.logDirectories) guarded(LogLevel::Info, where, [&] { rotateDirectory(job, directory); });
  });
}

void logrotate::rotateDirectory(const Job& job, const std::wstring& directory) {
  const LogRotationSettings& settings = job.domain.logRotation;
  const vfs::Directory dir = vfs::Directory::open(directory);

  std::vector<RotationEntry> candidates;
  for (RotationEntry& e : rotatableFiles(dir)) {
    const int c = rotationClass(e.path);
    if (c == 0 || (c == 1 && !settings.compress)) continue;
    candidates.push_back(std::move(e));
  }
  bool currentKept = false;
  if (!candidates.empty()) {
    std::sort(candidates.begin(), candidates.end());
    if (isCurrentLog(settings, candidates.back(), job.now)) {
      currentKept = true;
      candidates.pop_back();
    }
  }
  for (const RotationEntry& e : candidates)
    guarded(LogLevel::Error, [&] { return VLOC(vaformat(L"Can't rotate file %s", e.path), "logrotate::rotateFile"); },
            [&] { rotation::rotateFile(dir, vfs::fileName(e.path), settings.compress); });

  std::vector<RotationEntry> retained, ordinary;
  for (RotationEntry& e : rotatableFiles(dir)) (isArchive(e, settings.compress) ? retained : ordinary).push_back(std::move(e));
  if (!ordinary.empty()) {
    if (currentKept) {
      std::sort(ordinary.begin(), ordinary.end());
      ordinary.pop_back();
    }
    retained.insert(retained.end(), ordinary.begin(), ordinary.end());
  }
  std::sort(retained.rbegin(), retained.rend());

  int64_t counter = 0;
  for (const RotationEntry& e : retained) {
    if (storage_ && !storage_->directory().empty() && storage_->contains(e.path)) continue;
    if (++counter <= settings.maxNumberOfFiles) continue;
    guarded(
        LogLevel::Error,
        [&] { return VLOC(vaformat(L"Process domain %s log %s", domainDisplayNameOrStored(job.domain.name), vfs::fileName(e.path)), kFunction); },
        [&] { retire(job, dir, e); });
  }
}

void logrotate::retire(const Job& job, const vfs::Directory& dir, const RotationEntry& entry) {
  const std::wstring name = vfs::fileName(entry.path);
  // Checked on the descriptor that the mail then reads: a hard link or a
  // link swapped in after the listing is neither mailed nor handed over.
  vfs::File log = rotation::openOwnLog(dir, name);
  const vfs::DirEntry checked = log.info();
  _sendLogByEmail(job.domain.logRotation.email, job.domain.name, std::move(log), job.adminEmail, job.adminName);
  // Only the file that was mailed is handed over or removed.
  const vfs::DirEntry now = dir.stat(name);
  if (now.type != vfs::EntryType::File || now.links != 1 || now.device != checked.device || now.inode != checked.inode)
    throw vexception(L"'" + entry.path + L"' is no longer the file that was mailed", VLOC(L"", "logrotate::retire"));
  if (storage_)
    storage_->add(entry.path, job.domain.name, checked);
  else
    vfs::forcedRemove(entry.path);
}

void launchLogRotate(DomainModel& model, halvex::logging::LogStorage& httpLogStorage) {
  const std::wstring adminEmail = model.param(L"adminEmail");
  const std::wstring adminName = model.param(L"adminName");
  for (const auto& [id, domain] : model.domainsById) {
    // A domain whose traffic this run held back keeps its logs as they are
    // until a run has counted them.
    if (!domain->businessLock.held() || domain->trafficHeldBack()) continue;
    logrotate(&httpLogStorage).start(*domain, adminEmail, adminName);
  }
}
