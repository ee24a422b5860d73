#include "diskusage/directory_size.h"

#include <optional>
#include <vector>

#include "support/fs.h"

namespace {

// Directories held open at once. A deeper directory is reopened, one name at
// a time from the deepest held one, when the walk comes back to it: a tree
// of any depth is walked without running out of descriptors.
constexpr size_t kHeldLevels = 128;

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
  std::vector<vfs::DirEntry> entries;
  try {
    entries = directory.list();
  } catch (...) {
    return {};
  }
  std::vector<std::wstring> subdirectories;
  for (vfs::DirEntry& e : entries) {
    if (e.type == vfs::EntryType::Directory)
      subdirectories.push_back(std::move(e.name));
    else
      total += e.size;
  }
  return subdirectories;
}

// Opens the directory of stack[index] again from the nearest ancestor that is
// still open.
void reopen(std::vector<Level>& stack, size_t index) {
  size_t held = index;
  while (!stack[held].directory()) --held;
  vfs::Directory current = stack[held].directory()->openSubdirectory(stack[held + 1].name);
  for (size_t i = held + 2; i <= index; ++i) current = current.openSubdirectory(stack[i].name);
  stack[index].owned = std::move(current);
}

uint64_t walk(const vfs::Directory& root) {
  uint64_t total = 0;
  std::vector<Level> stack(1);
  stack[0].borrowed = &root;
  stack[0].subdirectories = listLevel(root, total);
  while (!stack.empty()) {
    const size_t top = stack.size() - 1;
    if (stack[top].next == stack[top].subdirectories.size()) {
      stack.pop_back();
      continue;
    }
    const std::wstring name = stack[top].subdirectories[stack[top].next++];
    std::optional<vfs::Directory> child;
    try {
      if (!stack[top].directory()) reopen(stack, top);
      child = stack[top].directory()->openSubdirectory(name);
    } catch (...) {
      continue;  // gone, replaced by a link, or unreadable: counts as 0
    }
    Level level;
    level.name = name;
    level.subdirectories = listLevel(*child, total);
    if (level.subdirectories.empty()) continue;
    level.owned = std::move(child);
    // Beyond the held levels only the deepest directory stays open.
    if (top >= kHeldLevels) stack[top].owned.reset();
    stack.push_back(std::move(level));
  }
  return total;
}

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
    return walk(directory);
  } catch (...) {
    return 0;
  }
}

uint64_t directorySize(const std::wstring& path) noexcept {
  try {
    const vfs::Directory directory = vfs::Directory::open(path);
    return walk(directory);
  } catch (...) {
    return 0;
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
    return walk(current);
  } catch (...) {
    return 0;
  }
}
