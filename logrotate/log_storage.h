// Holder of consumed log files: at clean-up each registered file is moved
// into the save directory, under a name that records its owner and the
// moment of saving, or removed when there is no save directory.
#pragma once

#include <map>
#include <string>

#include "support/fs.h"

namespace halvex::logging {

class LogStorage {
 public:
  // Sets the save directory; a non-empty one that does not exist is created.
  void setDirectory(const std::wstring& directory);
  const std::wstring& directory() const { return directory_; }

  // Registers a file under an owner name (a domain name, or empty); an empty
  // path is ignored; registering a path again replaces its owner. The file
  // is looked at now (without following a link): clean-up moves or removes
  // that very file (device and inode), never what sits at the name later; a
  // name that is no regular file now is never touched.
  void add(const std::wstring& path, const std::wstring& owner);
  // The same for a file the caller checked through its descriptor.
  void add(const std::wstring& path, const std::wstring& owner, const vfs::DirEntry& checked);
  bool contains(const std::wstring& path) const;
  size_t size() const { return files_.size(); }

  // Moves ("%s_%s_%s" of owner, 17-digit UTC stamp and file name, or "%s_%s"
  // without owner) or removes every registered file, in path order, while it
  // is still the file registered; failures (and a file swapped for another
  // entry) are logged at level Info and the walk goes on; then forgets them all.
  void processAll();

 private:
  struct Registered {
    std::wstring owner;
    bool known = false;  // a regular file was there when it was added
    vfs::DirEntry identity;
  };
  std::wstring directory_;
  std::map<std::wstring, Registered> files_;
};

}  // namespace halvex::logging
