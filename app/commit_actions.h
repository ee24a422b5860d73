// What a run records as done (run markers, rotations, retirements, removals)
// happens only once its results document is complete and on disk. Steps
// register those actions here instead of doing them at once; the run driver
// runs them in registration order after the document is ended, each inside
// its own failure boundary, then releases the locks that guard them. A run
// that fails before its document is complete commits nothing, so the next
// run counts the same lines again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/logging.h"

class CommitActions {
 public:
  // `where` names the unit for its failure report at `level`.
  void add(ExceptionLocation where, LogLevel level, std::function<void()> action);
  // Keeps a resource (typically a step's business lock) alive until the
  // actions have run; released in reverse order of registration.
  void holdUntilCommitted(std::shared_ptr<void> resource);

  // Runs every action once, in order, then releases the held resources.
  void commit();
  // Drops the actions without running them and releases the resources.
  void discard();

  size_t size() const { return actions_.size(); }

 private:
  struct Action {
    ExceptionLocation where;
    LogLevel level;
    std::function<void()> run;
  };
  std::vector<Action> actions_;
  std::vector<std::shared_ptr<void>> held_;
  void release();
};
