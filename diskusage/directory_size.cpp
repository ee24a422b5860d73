#include "diskusage/directory_size.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "support/fs.h"

namespace {

// Descriptors the walk may hold, whatever the depth. A directory it has to
// come back to after its descriptor was given up is opened again by name
// from the nearest ancestor still open; which ancestors stay open is chosen
// so that this costs a bounded number of opens per directory:
// - the last kWindow levels of the path (returning into them is free);
// - every level at a multiple of `spacing` (checkpoints), at most
//   kCheckpoints of them; when the path gets deeper the spacing doubles and
//   every other checkpoint is given up.
// Coming back above the window then reopens at most `spacing` levels from a
// checkpoint and keeps the last kWindow of them, so a chain of depth D costs
// about D / (kCheckpoints * kWindow) extra opens per level: none up to
// kCheckpoints + kWindow levels, about one at 4,000, and it stays linear in
// the entries for any depth a file system holds in practice. Nothing is ever
// listed twice: each level keeps the names of the subdirectories it still
// has to visit.
constexpr size_t kWindow = 64;
constexpr size_t kCheckpoints = 64;

// One directory on the walk's path from the root.
struct Level {
  std::optional<vfs::Directory> owned;
  const vfs::Directory* borrowed = nullptr;
  std::wstring name;  // in the parent; empty for the root
  std::vector<std::wstring> subdirectories;
  size_t next = 0;

  const vfs::Directory* directory() const { return owned ? &*owned : borrowed; }
};

// Adds the sizes of the entries that are not directories and returns the
// names of the subdirectories; a directory that cannot be listed adds nothing.
std::vector<std::wstring> listLevel(const vfs::Directory& directory, uint64_t& total) {
  vfs::EntrySizes sizes;
  try {
    sizes = directory.entrySizes();
  } catch (...) {
    return {};
  }
  total += sizes.bytes;
  return std::move(sizes.subdirectories);
}

class Walk {
 public:
  explicit Walk(const vfs::Directory& root) {
    stack_.emplace_back();
    stack_[0].borrowed = &root;
    stack_[0].subdirectories = listLevel(root, figures_.bytes);
  }

  DirectoryWalkFigures run() {
    while (!stack_.empty()) {
      const size_t top = stack_.size() - 1;
      if (stack_[top].next == stack_[top].subdirectories.size()) {
        pop();
        continue;
      }
      const std::wstring name = stack_[top].subdirectories[stack_[top].next++];
      if (!stack_[top].directory() && !reenter(top)) continue;
      std::optional<vfs::Directory> child;
      try {
        child = stack_[top].directory()->openSubdirectory(name);
      } catch (...) {
        continue;  // gone, replaced by a link, or unreadable: counts as 0
      }
      ++figures_.directories;
      Level level;
      level.name = name;
      level.subdirectories = listLevel(*child, figures_.bytes);
      if (level.subdirectories.empty()) continue;
      level.owned = std::move(child);
      stack_.push_back(std::move(level));
      held(+1);
      descended();
    }
    return figures_;
  }

 private:
  bool keep(size_t index, size_t top) const { return index == 0 || index % spacing_ == 0 || index + kWindow > top; }

  void held(int change) {
    held_ += change;
    figures_.mostHeld = std::max<uint64_t>(figures_.mostHeld, held_);
  }
  void close(size_t index) {
    if (!stack_[index].owned) return;
    stack_[index].owned.reset();
    held(-1);
  }
  void pop() {
    close(stack_.size() - 1);
    stack_.pop_back();
  }

  // After a push: the level that left the window, and with a doubled
  // spacing the checkpoints that are no longer ones, give up their
  // descriptors.
  void descended() {
    const size_t top = stack_.size() - 1;
    if (top >= kWindow && !keep(top - kWindow, top)) close(top - kWindow);
    if (top / spacing_ <= kCheckpoints) return;
    spacing_ *= 2;
    for (size_t i = spacing_ / 2; i < top; i += spacing_)
      if (!keep(i, top)) close(i);
  }

  // Opens the top level again, by name from the nearest open ancestor,
  // keeping the window's levels open on the way. When a level on the way
  // cannot be opened any more (renamed, removed or replaced meanwhile), it
  // and the levels below it are left: what they still had to visit counts
  // as 0, like any subdirectory that cannot be opened.
  bool reenter(size_t top) {
    size_t from = top;
    while (!stack_[from].directory()) --from;  // the root is always open
    for (size_t i = from + 1; i <= top; ++i) {
      try {
        stack_[i].owned = stack_[i - 1].directory()->openSubdirectory(stack_[i].name);
      } catch (...) {
        while (stack_.size() > i) pop();
        return false;
      }
      ++figures_.reopened;
      held(+1);
      if (!keep(i - 1, top)) close(i - 1);
    }
    return true;
  }

  std::vector<Level> stack_;
  size_t spacing_ = 1;
  int64_t held_ = 0;
  DirectoryWalkFigures figures_;
};

DirectoryWalkFigures walk(const vfs::Directory& root) { return Walk(root).run(); }

std::vector<std::wstring> components(const std::wstring& relative) {
  std::vector<std::wstring> parts;
  size_t at = 0;
  while (at <= relative.size()) {
    size_t slash = relative.find(L'/', at);
    if (slash == std::wstring::npos) slash = relative.size();
    const std::wstring part = relative.substr(at, slash - at);
    if (!part.empty() && part != L".") parts.push_back(part);
    at = slash + 1;
  }
  return parts;
}

}  // namespace

uint64_t directorySize(const vfs::Directory& directory) noexcept {
  try {
    return walk(directory).bytes;
  } catch (...) {
    return 0;
  }
}

uint64_t directorySize(const std::wstring& path) noexcept {
  try {
    const vfs::Directory directory = vfs::Directory::open(path);
    return walk(directory).bytes;
  } catch (...) {
    return 0;
  }
}

DirectoryWalkFigures directoryWalkFigures(const std::wstring& path) noexcept {
  try {
    const vfs::Directory directory = vfs::Directory::open(path);
    return walk(directory);
  } catch (...) {
    return {};
  }
}

uint64_t directorySizeBelow(const std::wstring& root, const std::wstring& path) noexcept {
  std::wstring base = root;
  while (base.size() > 1 && base.back() == L'/') base.pop_back();
  if (base.empty() || path.size() <= base.size() || path.compare(0, base.size(), base) != 0 || path[base.size()] != L'/')
    return directorySize(path);
  const std::vector<std::wstring> parts = components(path.substr(base.size() + 1));
  for (const std::wstring& part : parts)
    if (part == L"..") return directorySize(path);
  try {
    vfs::Directory current = vfs::Directory::open(base);
    for (const std::wstring& part : parts) current = current.openSubdirectory(part);
    return walk(current).bytes;
  } catch (...) {
    return 0;
  }
}
