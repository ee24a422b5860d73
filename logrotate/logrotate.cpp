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

RotationPlan::RotationPlan() = default;
RotationPlan::~RotationPlan() = default;

zipstep::PreparedArchive* RotationPlan::archiveFor(const std::wstring& directory, const std::wstring& name) {
  const auto it = archives_.find({directory, name});
  return it == archives_.end() ? nullptr : it->second.get();
}

void RotationPlan::addArchive(const std::wstring& directory, const std::wstring& name, std::unique_ptr<zipstep::PreparedArchive> archive) {
  archives_[{directory, name}] = std::move(archive);
}

void logrotate::start(const DomainInfo& domain, const std::wstring& adminEmail, const std::wstring& adminName, RotationPlan* plan) {
  if (!domain.logRotation.enabled) return;
  const auto where = [&] { return VLOC(vaformat(L"Rotate log for domain %s", domain.name), kFunction); };
  guarded(LogLevel::Info, where, [&] {
    const Job job{domain, adminEmail, adminName, nowFileTime()};
    // One directory failing (vanished, swapped for a link) leaves the others to rotate.
    for (const std::wstring& directory : domain.rotatedLogDirectories())
      guarded(LogLevel::Info, where, [&] { rotateDirectory(job, directory, plan); });
  });
}

void logrotate::prepare(const DomainInfo& domain, RotationPlan& plan, std::map<std::wstring, int64_t>& changes) {
  if (!domain.logRotation.enabled) return;
  const auto where = [&] { return VLOC(vaformat(L"Rotate log for domain %s", domain.name), kFunction); };
  guarded(LogLevel::Info, where, [&] {
    const Job job{domain, L"", L"", nowFileTime()};
    for (const std::wstring& directory : domain.rotatedLogDirectories())
      guarded(LogLevel::Info, where, [&] { planDirectory(job, directory, plan, changes); });
  });
}

std::vector<RotationEntry> logrotate::candidates(const Job& job, const vfs::Directory& dir, bool& currentKept) const {
  const LogRotationSettings& settings = job.domain.logRotation;
  std::vector<RotationEntry> found;
  for (RotationEntry& e : rotatableFiles(dir)) {
    const int c = rotationClass(e.path);
    if (c == 0 || (c == 1 && !settings.compress)) continue;
    found.push_back(std::move(e));
  }
  currentKept = false;
  if (!found.empty()) {
    std::sort(found.begin(), found.end());
    if (isCurrentLog(settings, found.back(), job.now)) {
      currentKept = true;
      found.pop_back();
    }
  }
  return found;
}

std::vector<RotationEntry> logrotate::beyondKept(const Job& job, std::vector<RotationEntry> files, bool currentKept) const {
  const LogRotationSettings& settings = job.domain.logRotation;
  std::vector<RotationEntry> retained, ordinary;
  for (RotationEntry& e : files) (isArchive(e, settings.compress) ? retained : ordinary).push_back(std::move(e));
  if (!ordinary.empty()) {
    if (currentKept) {
      std::sort(ordinary.begin(), ordinary.end());
      ordinary.pop_back();
    }
    retained.insert(retained.end(), ordinary.begin(), ordinary.end());
  }
  std::sort(retained.rbegin(), retained.rend());

  std::vector<RotationEntry> beyond;
  int64_t counter = 0;
  for (RotationEntry& e : retained) {
    if (storage_ && !storage_->directory().empty() && storage_->contains(e.path)) continue;
    if (++counter <= settings.maxNumberOfFiles) continue;
    beyond.push_back(std::move(e));
  }
  return beyond;
}

void logrotate::rotateDirectory(const Job& job, const std::wstring& directory, RotationPlan* plan) {
  const LogRotationSettings& settings = job.domain.logRotation;
  const vfs::Directory dir = vfs::Directory::open(directory);
  bool currentKept = false;
  for (const RotationEntry& e : candidates(job, dir, currentKept)) {
    const std::wstring name = vfs::fileName(e.path);
    guarded(LogLevel::Error, [&] { return VLOC(vaformat(L"Can't rotate file %s", e.path), "logrotate::rotateFile"); },
            [&] { rotation::rotateFile(dir, name, settings.compress, plan ? plan->archiveFor(directory, name) : nullptr); });
  }
  for (const RotationEntry& e : beyondKept(job, rotatableFiles(dir), currentKept))
    guarded(
        LogLevel::Error,
        [&] { return VLOC(vaformat(L"Process domain %s log %s", domainDisplayNameOrStored(job.domain.name), vfs::fileName(e.path)), kFunction); },
        [&] { retire(job, dir, e); });
}

void logrotate::planDirectory(const Job& job, const std::wstring& directory, RotationPlan& plan, std::map<std::wstring, int64_t>& changes) {
  const LogRotationSettings& settings = job.domain.logRotation;
  const vfs::Directory dir = vfs::Directory::open(directory);
  bool currentKept = false;
  const std::vector<RotationEntry> rotated = candidates(job, dir, currentKept);
  // The directory's files as they will stand after the rotation step.
  std::vector<RotationEntry> after = rotatableFiles(dir);
  int64_t change = 0;
  // Archives are made oldest log first, so each is newer than the one before.
  vfs::FileTime made = job.now;
  for (const RotationEntry& e : rotated) {
    const auto it = std::find_if(after.begin(), after.end(), [&](const RotationEntry& a) { return a.path == e.path; });
    if (it == after.end()) continue;
    if (!settings.compress) {
      it->path += L".rotated";
      continue;
    }
    const std::wstring name = vfs::fileName(e.path);
    std::unique_ptr<zipstep::PreparedArchive> archive;
    guarded(
        LogLevel::Warning,
        [&] { return VLOC(vaformat(L"Can't compress file %s to %s", e.path, e.path + L".zip"), "logrotate::rotateFile"); },
        [&] { archive = zipstep::prepareArchive(dir, name); });
    // A log that cannot be archived now is tried again when the logs are
    // rotated; until then it counts as it stands.
    if (!archive) continue;
    change += static_cast<int64_t>(archive->archiveSize) - static_cast<int64_t>(e.size);
    it->path += L".zip";
    it->size = archive->archiveSize;
    it->lastWrite = ++made;
    plan.addArchive(directory, name, std::move(archive));
  }
  for (const RotationEntry& e : beyondKept(job, std::move(after), currentKept)) change -= static_cast<int64_t>(e.size);
  changes[directory] += change;
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

std::shared_ptr<RotationPlan> prepareLogRotate(DomainModel& model, halvex::logging::LogStorage& httpLogStorage) {
  auto plan = std::make_shared<RotationPlan>();
  for (const auto& [id, domain] : model.domainsById) {
    if (!domain->businessLock.held() || domain->trafficHeldBack()) continue;
    logrotate(&httpLogStorage).prepare(*domain, *plan, model.logsChangeByDirectory);
  }
  return plan;
}

void launchLogRotate(DomainModel& model, halvex::logging::LogStorage& httpLogStorage, RotationPlan* plan) {
  const std::wstring adminEmail = model.param(L"adminEmail");
  const std::wstring adminName = model.param(L"adminName");
  for (const auto& [id, domain] : model.domainsById) {
    // A domain whose traffic this run held back keeps its logs as they are
    // until a run has counted them.
    if (!domain->businessLock.held() || domain->trafficHeldBack()) continue;
    logrotate(&httpLogStorage).start(*domain, adminEmail, adminName, plan);
  }
}
