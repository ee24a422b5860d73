#include "app/commit_actions.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <optional>
#include <set>

#include "app/business_lock.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"

namespace {

// The journal of staged markers: string values of a run, named by its
// process id, the first "<pid>" and the further ones "<pid>.<n>" (a host's
// markers are shared among values of a few hundred each, none of them
// megabytes). Each text: the document's path on the first line (empty for
// standard output, and once the markers are recorded), then one line per
// marker ("marker", key, name, value) and, in the first, per consumed file
// to remove ("remove", path) or staged file to put in place ("install",
// directory, scratch name, name), fields separated by tabs (tab, line break
// and backslash escaped). Every value stands on its own: recovery settles
// each alone.
const std::wstring kJournalKey = std::wstring(kStatisticsKey) + L"\\PendingMarkers";
constexpr size_t kJournalMarkers = 512;

std::wstring journalName(size_t part) {
  const std::wstring pid = std::to_wstring(process::currentId());
  return part == 0 ? pid : pid + L"." + std::to_wstring(part);
}

std::wstring escape(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c == L'\\') out += L"\\\\";
    else if (c == L'\t') out += L"\\t";
    else if (c == L'\n') out += L"\\n";
    else out += c;
  }
  return out;
}

std::wstring unescape(std::wstring_view text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const wchar_t c = text[++i];
    out += c == L't' ? L'\t' : c == L'n' ? L'\n' : c;
  }
  return out;
}

std::vector<std::wstring> split(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::wstring_view::npos; start = at + 1) parts.emplace_back(text.substr(start, at - start));
  parts.emplace_back(text.substr(start));
  return parts;
}

registry::ValueWrite journalValue(size_t part, const std::wstring& text) {
  return registry::ValueWrite{kJournalKey, journalName(part), registry::RawValue{REG_SZ, registry::encodeString(text)}};
}

// Whether a run's results document stands complete: it ends with the root's
// closing tag. A document that is gone was taken by the panel, which takes
// only complete ones; standard output cannot be looked at again.
bool documentComplete(const std::wstring& path, std::wstring& how) {
  if (path.empty()) {
    how = L"written to standard output";
    return true;
  }
  if (!vfs::exists(path)) {
    how = L"no longer there";
    return true;
  }
  const std::string doc = vfs::readFile(path);
  const size_t end = doc.find_last_not_of(" \t\r\n");
  const std::string_view tail = end == std::string::npos ? std::string_view() : std::string_view(doc).substr(0, end + 1);
  const bool complete = tail.ends_with("</data>") || tail.ends_with("<data/>");
  how = complete ? L"complete" : L"incomplete";
  return complete;
}

}  // namespace

CommitActions::CommitActions() = default;
CommitActions::~CommitActions() = default;

void CommitActions::add(ExceptionLocation where, LogLevel level, std::function<void()> action) {
  actions_.push_back(Action{std::move(where), level, std::move(action)});
}

uint32_t CommitActions::textIndex(const std::wstring& text) {
  for (size_t i = 0; i < texts_.size(); ++i)
    if (texts_[i] == text) return static_cast<uint32_t>(i);
  texts_.push_back(text);
  return static_cast<uint32_t>(texts_.size() - 1);
}

std::wstring CommitActions::keyOf(const Marker& m) const { return m.parent == kNoParent ? m.leaf : texts_[m.parent] + L"\\" + m.leaf; }

registry::ValueWrite CommitActions::writeOf(const Marker& m) const {
  return registry::ValueWrite{keyOf(m), texts_[m.name], registry::RawValue{REG_SZ, registry::encodeString(m.value)}};
}

void CommitActions::addMarker(const std::wstring& subKey, const std::wstring& name, const std::wstring& value) {
  const size_t hash = std::hash<std::wstring>{}(text::lowerAscii(subKey) + L'\0' + text::lowerAscii(name));
  for (auto [at, end] = markerIndex_.equal_range(hash); at != end; ++at) {
    Marker& m = markers_[at->second];
    if (text::equalsIgnoreCase(keyOf(m), subKey) && text::equalsIgnoreCase(texts_[m.name], name)) {
      m.value = value;
      return;
    }
  }
  Marker m{kNoParent, textIndex(name), subKey, value};
  if (const size_t slash = subKey.rfind(L'\\'); slash != std::wstring::npos) {
    m.parent = textIndex(subKey.substr(0, slash));
    m.leaf = subKey.substr(slash + 1);
  }
  markerIndex_.emplace(hash, markers_.size());
  markers_.push_back(std::move(m));
}

void CommitActions::holdUntilCommitted(std::shared_ptr<void> resource) { held_.push_back(std::move(resource)); }

void CommitActions::addRemovals(ExceptionLocation where, std::vector<std::wstring> paths,
                                std::function<void(const std::vector<std::wstring>&)> remove) {
  for (const std::wstring& p : paths) removals_.push_back(p);
  add(std::move(where), LogLevel::Error, [paths = std::move(paths), remove = std::move(remove)] { remove(paths); });
}

void CommitActions::addInstalls(ExceptionLocation where, std::function<std::vector<StagedFile>()> stage) {
  auto files = std::make_shared<std::vector<StagedFile>>();
  stagings_.push_back(Staging{std::move(stage), files});
  add(std::move(where), LogLevel::Error, [files] {
    for (const StagedFile& f : *files)
      guarded(
          LogLevel::Error,
          [&] { return VLOC(vaformat(L"Unable to put %s in place as %s", vfs::join(f.directory, f.scratch), f.name), "CommitActions::commit"); },
          [&] { installStagedFile(f); });
  });
}

void CommitActions::runStagings() noexcept {
  if (stagingsDone_) return;
  stagingsDone_ = true;
  for (Staging& s : stagings_) {
    *s.files = s.stage();
    installs_.insert(installs_.end(), s.files->begin(), s.files->end());
  }
}

std::wstring CommitActions::pendingLines() const {
  std::wstring text;
  for (const std::wstring& path : removals_) text += L"\nremove\t" + escape(path);
  for (const StagedFile& f : installs_) text += L"\ninstall\t" + escape(f.directory) + L"\t" + escape(f.scratch) + L"\t" + escape(f.name);
  return text;
}

namespace {

// The name with its last number counted up by one ("web20161205000000999.log"
// gives "web20161205000001000.log"); a name without digits gains a "1".
std::wstring nextNumbered(const std::wstring& name) {
  size_t end = name.size();
  while (end > 0 && !std::iswdigit(name[end - 1])) --end;
  if (end == 0) return name + L"1";
  std::wstring out = name;
  size_t i = end;
  while (i > 0 && std::iswdigit(out[i - 1])) {
    if (out[i - 1] != L'9') {
      ++out[i - 1];
      return out;
    }
    out[i - 1] = L'0';
    --i;
  }
  return out.insert(i, L"1");
}

// Removes a staged file that will not be put in place.
void dropStagedFile(const CommitActions::StagedFile& f) noexcept {
  guarded(LogLevel::Warning, [&] { return VLOC(vaformat(L"Unable to remove %s", vfs::join(f.directory, f.scratch)), "CommitActions::discard"); },
          [&] {
            const vfs::Directory dir = vfs::Directory::open(f.directory);
            if (dir.exists(f.scratch)) dir.unlink(f.scratch);
          });
}

}  // namespace

void installStagedFile(const CommitActions::StagedFile& file) {
  const vfs::Directory dir = vfs::Directory::open(file.directory);
  std::wstring name = file.name;
  for (int tries = 0; tries < 100000; ++tries, name = nextNumbered(name)) {
    try {
      dir.renameNoReplace(file.scratch, name);
      return;
    } catch (const VFileExistsException&) {
    } catch (const VAlreadyExistsException&) {
    }
    // A regular file there may be another run's file still waiting for its
    // reader: never replaced. Anything else (a planted link) is replaced as
    // an entry, never written through.
    if (dir.stat(name).type != vfs::EntryType::File) {
      dir.rename(file.scratch, name);
      return;
    }
  }
  throw vexception(L"No free name for " + vfs::join(file.directory, file.scratch) + L" near " + file.name, VLOC(L"", "installStagedFile"));
}

void CommitActions::prepareMarkers(const std::wstring& documentPath) {
  if ((markers_.empty() && removals_.empty() && stagings_.empty()) || staged_ || markersDone_) return;
  runStagings();
  // Each part is encoded piece by piece as it is made, never held as wide
  // text beside its encoding (the pieces are whole strings, so theirs is
  // the whole text's).
  const auto part = [&](size_t index) {
    std::string data;
    const auto put = [&](const std::wstring& piece) { data += text::toUtf16le(piece); };
    put(escape(documentPath));
    for (size_t i = index * kJournalMarkers; i < markers_.size() && i < (index + 1) * kJournalMarkers; ++i) {
      const Marker& m = markers_[i];
      put(L"\nmarker\t" + escape(keyOf(m)) + L"\t" + escape(texts_[m.name]) + L"\t" + escape(m.value));
    }
    if (index == 0) put(pendingLines());
    data.append(2, '\0');
    return std::vector<registry::ValueWrite>{{kJournalKey, journalName(index), registry::RawValue{REG_SZ, std::move(data)}}};
  };
  const size_t parts = std::max<size_t>(1, (markers_.size() + kJournalMarkers - 1) / kJournalMarkers);
  // A connection of its own, opened for writing now: a store that can no
  // longer be written fails here, before anything is delivered. All parts
  // go in one batch.
  registry::PreparedWrite stage(HKEY_LOCAL_MACHINE, part(0));
  for (size_t i = 1; i < parts; ++i) stage.add(part(i));
  if (const uint32_t code = stage.commit())
    raiseWindowsError(L"Unable to stage the run markers in the registry store " + text::fromAnsi(registry::storePath()), code,
                      VLOC(L"", "CommitActions::prepareMarkers"));
  stagedParts_ = parts;
  staged_ = true;
}

bool CommitActions::commitMarkers() noexcept {
  if (markersDone_ || (markers_.empty() && !staged_)) {
    markersDone_ = true;
    return true;
  }
  const bool written = guarded(LogLevel::Error, VLOC(L"Save the run markers", "statistics::start"), [&] {
    // The markers and the journal entry, left with the files still to
    // remove or put in place, in one transaction: a run that dies here has
    // moved all of them or none, and its entry says which.
    // The markers go into the batch a few hundred at a time: a host's
    // markers are never all held as registry values at once.
    std::vector<registry::ValueWrite> batch;
    // The first part keeps what is left to do; the others are emptied.
    if (staged_)
      for (size_t i = 0; i < stagedParts_; ++i) batch.push_back(journalValue(i, i == 0 ? pendingLines() : std::wstring()));
    registry::PreparedWrite write(HKEY_LOCAL_MACHINE, batch);
    constexpr size_t kBatch = 512;
    for (size_t first = 0; first < markers_.size(); first += kBatch) {
      batch.clear();
      for (size_t i = first; i < markers_.size() && i < first + kBatch; ++i) batch.push_back(writeOf(markers_[i]));
      write.add(batch);
    }
    if (const uint32_t code = write.commit())
      raiseWindowsError(L"Unable to write the run markers to the registry store " + text::fromAnsi(registry::storePath()), code,
                        VLOC(L"", "CommitActions::commitMarkers"));
  });
  if (written && removals_.empty() && installs_.empty()) unstage();
  markersDone_ = true;
  return written;
}

void CommitActions::unstage() noexcept {
  if (!staged_) return;
  for (size_t i = 0; i < stagedParts_; ++i) registry::deleteValue(HKEY_LOCAL_MACHINE, kJournalKey, journalName(i));
  stagedParts_ = 0;
  staged_ = false;
}

void CommitActions::commit() {
  runStagings();
  commitMarkers();
  std::vector<Action> actions = std::move(actions_);
  actions_.clear();
  for (Action& a : actions) guarded(a.level, a.where, a.run);
  // The consumed files are gone now: nothing of the run is left to settle.
  unstage();
  release();
}

void CommitActions::discard() {
  for (const StagedFile& f : installs_) dropStagedFile(f);
  actions_.clear();
  unstage();
  release();
}

void CommitActions::release() {
  markers_.clear();
  texts_.clear();
  markerIndex_.clear();
  removals_.clear();
  stagings_.clear();
  stagingsDone_ = false;
  installs_.clear();
  markersDone_ = false;
  while (!held_.empty()) held_.pop_back();
}

namespace {

std::vector<CommitActions::StagedFile> stagedFilesOf(const std::vector<std::wstring>& lines) {
  std::vector<CommitActions::StagedFile> files;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::wstring> f = split(lines[i], L'\t');
    if (f.size() == 4 && f[0] == L"install") files.push_back({unescape(f[1]), unescape(f[2]), unescape(f[3])});
  }
  return files;
}

}  // namespace

void recoverInterruptedCommits() noexcept {
  guarded(LogLevel::Error, VLOC(L"Recover the run markers of an interrupted run", "recoverInterruptedCommits"), [] {
    const std::vector<std::wstring> runs = registry::valueNames(HKEY_LOCAL_MACHINE, kJournalKey);
    if (runs.empty()) return;
    // Under the business-lock mutex: two instances never settle one entry
    // twice, and no lock changes hands meanwhile.
    const std::shared_ptr<VMutex> mutex = BusinessLock::businessMutex();
    mutex->lock();
    struct Unlock {
      VMutex& m;
      ~Unlock() { m.unlock(); }
    } unlock{*mutex};
    // A run's journal may be several values ("<pid>", "<pid>.1", ...), each
    // settled alone; its document is looked at once, and the run reported once.
    std::map<std::wstring, std::pair<bool, std::wstring>> documents;
    std::set<uint32_t> reported;
    for (const std::wstring& run : registry::valueNames(HKEY_LOCAL_MACHINE, kJournalKey)) {
      const uint32_t pid = static_cast<uint32_t>(std::wcstoul(run.c_str(), nullptr, 10));
      if (pid == process::currentId() || (pid != 0 && process::exists(pid))) continue;
      std::wstring text;
      if (registry::lookup(HKEY_LOCAL_MACHINE, kJournalKey, run, text) != 0) continue;
      if (!text.empty()) {
        const std::vector<std::wstring> lines = split(text, L'\n');
        const std::wstring document = unescape(lines[0]);
        auto known = documents.find(document);
        if (known == documents.end()) {
          std::wstring how;
          const bool complete = documentComplete(document, how);
          known = documents.emplace(document, std::make_pair(complete, how)).first;
        }
        const std::wstring& how = known->second.second;
        const bool report = reported.insert(pid).second;
        if (known->second.first) {
          std::vector<registry::ValueWrite> writes;
          std::vector<std::wstring> removals;
          for (size_t i = 1; i < lines.size(); ++i) {
            const std::vector<std::wstring> f = split(lines[i], L'\t');
            if (f.size() == 4 && f[0] == L"marker")
              writes.push_back(registry::ValueWrite{unescape(f[1]), unescape(f[2]), registry::RawValue{REG_SZ, registry::encodeString(unescape(f[3]))}});
            else if (f.size() == 2 && f[0] == L"remove")
              removals.push_back(unescape(f[1]));
          }
          // The files it consumed go before anyone counts them again.
          for (const std::wstring& path : removals)
            guarded(
                LogLevel::Warning, [&] { return VLOC(vaformat(L"Failed to remove log file %s", path), "recoverInterruptedCommits"); },
                [&] { vfs::forcedRemove(path); });
          // The files it handed over with its figures are put in place (those
          // it renamed before it ended are gone from their scratch names).
          for (const CommitActions::StagedFile& f : stagedFilesOf(lines))
            guarded(
                LogLevel::Warning,
                [&] { return VLOC(vaformat(L"Unable to put %s in place as %s", vfs::join(f.directory, f.scratch), f.name), "recoverInterruptedCommits"); },
                [&] {
                  if (vfs::Directory::open(f.directory).exists(f.scratch)) installStagedFile(f);
                });
          writes.push_back(registry::ValueWrite{kJournalKey, run, registry::RawValue{REG_SZ, registry::encodeString(L"")}});
          if (const uint32_t code = registry::writeValues(HKEY_LOCAL_MACHINE, writes))
            raiseWindowsError(L"Unable to write the run markers of process " + run + L" to the registry store", code,
                              VLOC(L"", "recoverInterruptedCommits"));
          if (report)
            logMessage(LogLevel::Warning,
                       L"Process %s ended after its results document %s was complete (%s) and before it recorded its run markers: they are recorded now",
                       std::to_wstring(pid), document, how);
        } else {
          for (const CommitActions::StagedFile& f : stagedFilesOf(lines)) dropStagedFile(f);
          if (report)
            logMessage(LogLevel::Warning, L"Process %s ended before its results document %s was complete: its run markers are dropped",
                       std::to_wstring(pid), document);
        }
      }
      registry::deleteValue(HKEY_LOCAL_MACHINE, kJournalKey, run);
    }
  });
}
