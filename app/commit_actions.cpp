#include "app/commit_actions.h"

void CommitActions::add(ExceptionLocation where, LogLevel level, std::function<void()> action) {
  actions_.push_back(Action{std::move(where), level, std::move(action)});
}

void CommitActions::holdUntilCommitted(std::shared_ptr<void> resource) { held_.push_back(std::move(resource)); }

void CommitActions::commit() {
  std::vector<Action> actions = std::move(actions_);
  actions_.clear();
  for (Action& a : actions) guarded(a.level, a.where, a.run);
  release();
}

void CommitActions::discard() {
  actions_.clear();
  release();
}

void CommitActions::release() {
  while (!held_.empty()) held_.pop_back();
}
