#include "app/commit_actions.h"

#include "support/text.h"

CommitActions::CommitActions() = default;
CommitActions::~CommitActions() = default;

void CommitActions::add(ExceptionLocation where, LogLevel level, std::function<void()> action) {
  actions_.push_back(Action{std::move(where), level, std::move(action)});
}

void CommitActions::addMarker(const std::wstring& subKey, const std::wstring& name, const std::wstring& value) {
  registry::RawValue data{REG_SZ, registry::encodeString(value)};
  for (registry::ValueWrite& m : markers_)
    if (text::equalsIgnoreCase(m.subKey, subKey) && text::equalsIgnoreCase(m.name, name)) {
      m.value = std::move(data);
      return;
    }
  markers_.push_back(registry::ValueWrite{subKey, name, std::move(data)});
}

void CommitActions::holdUntilCommitted(std::shared_ptr<void> resource) { held_.push_back(std::move(resource)); }

void CommitActions::prepareMarkers() {
  if (markers_.empty() || prepared_ || markersDone_) return;
  prepared_ = std::make_unique<registry::PreparedWrite>(HKEY_LOCAL_MACHINE, markers_);
}

bool CommitActions::commitMarkers() noexcept {
  if (markersDone_ || markers_.empty()) {
    markersDone_ = true;
    return true;
  }
  const bool written = guarded(LogLevel::Error, VLOC(L"Save the run markers", "statistics::start"), [&] {
    prepareMarkers();
    if (const uint32_t code = prepared_->commit())
      raiseWindowsError(L"Unable to write the run markers to the registry store " + text::fromAnsi(registry::storePath()), code,
                        VLOC(L"", "CommitActions::commitMarkers"));
  });
  prepared_.reset();
  markersDone_ = true;
  return written;
}

void CommitActions::commit() {
  commitMarkers();
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
  // Uncommitted markers are rolled back with their transaction.
  prepared_.reset();
  markers_.clear();
  markersDone_ = false;
  while (!held_.empty()) held_.pop_back();
}
