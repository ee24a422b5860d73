// Holder of consumed log files: at clean-up each registered file is moved
// into the save directory, under a name that records its owner and the
// moment of saving, or removed when there is no save directory.
#pragma once

#include <map>
#include <string>

namespace halvex::logging {

class LogStorage {
 public:
  // Sets the save directory; a non-empty one that does not exist is created.
  void setDirectory(const std::wstring& directory);
  const std::wstring& directory() const { return directory_; }

  // Registers a file under an owner name (a domain name, or empty); an empty
  // path is ignored; registering a path again replaces its owner.
  void add(const std::wstring& path, const std::wstring& owner);
  bool contains(const std::wstring& path) const;
  size_t size() const { return files_.size(); }

  // Moves ("%s_%s_%s" of owner, 17-digit UTC stamp and file name, or "%s_%s"
  // without owner) or removes every registered file, in path order; failures
  // are logged at level Info and the walk goes on; then forgets them all.
  void processAll();

 private:
  std::wstring directory_;
  std::map<std::wstring, std::wstring> files_;
};

}  // namespace halvex::logging
