// The recursive size of a directory, from the directory listings alone: no
// file is opened. The walk goes through descriptors of open directories and
// never follows a symbolic link, so a tenant's link can neither lead it out
// of the tree nor into a cycle; a link counts with its own size. A file
// reachable under several names (hard links) counts under each. Entries
// other than directories count with their logical size; directories
// themselves add only their contents.
//
// The walk costs a bounded number of directory opens per directory however
// deep the tree, and holds a bounded number of descriptors (about 130):
// see directory_size.cpp for how it comes back to levels it had to close.
#pragma once

#include <cstdint>
#include <string>

namespace vfs {
class Directory;
}

// The size of the tree at `path`; 0 when it cannot be listed (a missing
// path, a link in its place, no permission). Subdirectories that cannot be
// listed count as 0. Never raises.
uint64_t directorySize(const std::wstring& path) noexcept;

// The size of the tree of an open directory (the same rules).
uint64_t directorySize(const vfs::Directory& directory) noexcept;

// The size of the tree at `path`, where `path` lies below `root`: the part
// below `root` is opened one component at a time without following links,
// so a link that a tenant puts into it is not followed. A path that does not
// lie below `root` is measured as directorySize(path).
uint64_t directorySizeBelow(const std::wstring& root, const std::wstring& path) noexcept;

// What one walk did, for the benchmark and the tests of its bounds.
struct DirectoryWalkFigures {
  uint64_t bytes = 0;        // what directorySize answers
  uint64_t directories = 0;  // subdirectories opened and listed (each once)
  uint64_t reopened = 0;     // opens made to come back to a closed level
  uint64_t mostHeld = 0;     // most directory descriptors held at once
};

// directorySize(path) with its figures; all zero when the path cannot be
// listed.
DirectoryWalkFigures directoryWalkFigures(const std::wstring& path) noexcept;
