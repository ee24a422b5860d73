// A shared library opened at run time (the mail provider). Kept behind this
// small interface so that only the platform file includes the loader's
// header; it belongs with the support library's platform layer.
#pragma once

#include <string>

class VDynamicLibrary {
 public:
  // Opens the library by its full path, resolving all its symbols at once so
  // that a library with a missing dependency fails here and not in a call.
  // The library's own dependencies are found through its run path; nothing
  // process-wide is changed. Raises "Unable to load library <path>: <reason>".
  explicit VDynamicLibrary(const std::wstring& path);
  VDynamicLibrary(VDynamicLibrary&& o) noexcept : handle_(o.handle_), path_(std::move(o.path_)) { o.handle_ = nullptr; }
  VDynamicLibrary(const VDynamicLibrary&) = delete;
  VDynamicLibrary& operator=(const VDynamicLibrary&) = delete;
  // Closes the library unless it was kept.
  ~VDynamicLibrary();

  // The exported symbol; raises "Unable to find <name> in library <path>".
  void* symbol(const char* name) const;
  // Leaves the library loaded for the rest of the process: objects it made
  // are still in use, and code or exceptions of theirs may be still running.
  void keep() noexcept { handle_ = nullptr; }

  const std::wstring& path() const { return path_; }

 private:
  void* handle_ = nullptr;
  std::wstring path_;
};
