// What a run records as done (run markers, rotations, retirements, removals)
// happens only once its results document is complete. Steps register those
// things here instead of doing them at once. The run markers are registry
// values written together in one transaction: before the document's last
// bytes the run driver stages them in a journal entry of the store (a store
// that cannot take them fails the run while nothing is delivered yet),
// naming the document; once the document is complete, on disk and closed,
// one transaction makes them visible and clears the entry, so that either
// all of a run's markers move or none. A run that dies in between leaves
// its entry: the next run, or the instance that takes over one of its
// locks, finds the owner gone and records the markers when the document is
// complete (or gone: the panel took it), and drops them when it is not.
// Then the actions run in registration order, each inside its own failure
// boundary, and the locks that guard them are released. A run that fails
// before its document is complete commits nothing, so the next run counts
// the same lines again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/logging.h"
#include "support/registry.h"

class CommitActions {
 public:
  CommitActions();
  ~CommitActions();
  CommitActions(const CommitActions&) = delete;
  CommitActions& operator=(const CommitActions&) = delete;

  // `where` names the unit for its failure report at `level`.
  void add(ExceptionLocation where, LogLevel level, std::function<void()> action);
  // A string value under HKEY_LOCAL_MACHINE that records work as counted (a
  // run marker); a later marker of the same key and name replaces it.
  void addMarker(const std::wstring& subKey, const std::wstring& name, const std::wstring& value);
  // Files the run consumed (antivirus logs set aside for counting), removed
  // by `remove` at this place once the figures are delivered. They are
  // journalled with the markers: a run killed after its document is
  // complete still has them removed, by the next run or the instance that
  // takes over its lock, before anyone counts them again.
  void addRemovals(ExceptionLocation where, std::vector<std::wstring> paths, std::function<void(const std::vector<std::wstring>&)> remove);
  // A file written into a directory under a scratch name of the program's
  // own, to be renamed to `name` once the figures are delivered.
  struct StagedFile {
    std::wstring directory, scratch, name;
  };
  // Files a step hands over only with its figures (the analyser feeds).
  // `stage` runs once, right before the markers are staged at the end of
  // the document (or at commit when they were not), writes the files under
  // scratch names and gives them; they are journalled with the markers and
  // renamed at this place once the figures are delivered. A run killed
  // after its document is complete has them renamed by the next run or by
  // the instance that takes over one of its locks; one killed before, or a
  // run that is discarded, has them removed. A regular file of that name
  // is never replaced (the last number in the name is counted up until one
  // is free); anything else there (a planted link) is replaced as an entry.
  // `stage` never throws.
  void addInstalls(ExceptionLocation where, std::function<std::vector<StagedFile>()> stage);
  // Keeps a resource (typically a step's business lock) alive until the
  // actions have run; released in reverse order of registration. A step
  // whose lock guards only some actions also registers an action that
  // releases it right after them (releaseAfterActions), so that the lock
  // lasts no longer than its purpose; this hold is what releases it when
  // the step failed before that.
  void holdUntilCommitted(std::shared_ptr<void> resource);
  // Registers an action that releases the business lock once the actions
  // registered before it have run.
  template <typename Lock>
  void releaseAfterActions(ExceptionLocation where, std::shared_ptr<Lock> lock) {
    add(std::move(where), LogLevel::Error, [lock] {
      if (lock->held()) lock->unlock();
    });
  }

  // Takes the store's write lock and writes the markers without making them
  // visible. Raises the store's error (nothing is then written). Does
  // nothing without markers.
  void prepareMarkers(const std::wstring& documentPath = {});
  // Makes the markers visible (preparing them first when that was not
  // done). Never throws: a failure is logged at level Error ("Save the run
  // markers") and false returned.
  bool commitMarkers() noexcept;
  // Commits the markers when that was not done, then runs every action once,
  // in order, then releases the held resources.
  void commit();
  // Drops markers and actions without writing or running them and releases
  // the resources.
  void discard();

  size_t size() const { return actions_.size(); }
  size_t markerCount() const { return markers_.size(); }

 private:
  struct Action {
    ExceptionLocation where;
    LogLevel level;
    std::function<void()> run;
  };
  std::vector<Action> actions_;
  // A marker in little room, as a host has one or two per domain: its
  // key's parent and its value name are among a few texts shared by all
  // (texts_), only the key's last name and the value are its own.
  struct Marker {
    uint32_t parent;  // in texts_; the key is parent + "\\" + leaf (no parent: leaf alone)
    uint32_t name;    // in texts_
    std::wstring leaf;
    std::wstring value;
  };
  static constexpr uint32_t kNoParent = UINT32_MAX;
  std::vector<Marker> markers_;
  std::vector<std::wstring> texts_;
  uint32_t textIndex(const std::wstring& text);
  std::wstring keyOf(const Marker& m) const;
  registry::ValueWrite writeOf(const Marker& m) const;
  // Places in markers_ by the hash of key and name without case: a run adds
  // a marker per domain, and looking each up among all was quadratic.
  std::unordered_multimap<size_t, size_t> markerIndex_;
  std::vector<std::wstring> removals_;
  struct Staging {
    std::function<std::vector<StagedFile>()> stage;
    std::shared_ptr<std::vector<StagedFile>> files;
  };
  std::vector<Staging> stagings_;
  bool stagingsDone_ = false;
  std::vector<StagedFile> installs_;
  bool staged_ = false;
  size_t stagedParts_ = 0;  // journal values staged: "<pid>", "<pid>.1", ...
  bool markersDone_ = false;
  std::vector<std::shared_ptr<void>> held_;
  void release();
  void unstage() noexcept;
  void runStagings() noexcept;
  // The journal's lines of what is left to do once the markers are visible.
  std::wstring pendingLines() const;
};

// Renames a staged file to its name (see CommitActions::addInstalls).
void installStagedFile(const CommitActions::StagedFile& file);

// Settles the journal entries of runs that ended between their complete
// document and their markers (see above). Runs under the machine-wide
// business-lock mutex; entries of live processes are left alone. Never
// throws: a failure is logged at level Error and the entry stays.
void recoverInterruptedCommits() noexcept;
