// A shared library loaded at run time: the panel's plugins (mail provider, dump
// repository, Tomcat provider). The POSIX implementation is
// posix/plugin_library.cpp (dlopen).
#pragma once

#include <string>

class PluginLibrary {
 public:
  PluginLibrary() = default;
  // Loads the library. Failure raises the Windows error 126 (module not
  // found) with "Unable to load library " + path + ": " + the loader's
  // reason, in `function`.
  static PluginLibrary load(const std::wstring& path, const char* function);

  PluginLibrary(PluginLibrary&& o) noexcept : handle_(o.handle_), path_(std::move(o.path_)) { o.handle_ = nullptr; }
  PluginLibrary& operator=(PluginLibrary&& o) noexcept;
  // Unloads the library unless it was kept.
  ~PluginLibrary();

  bool loaded() const { return handle_ != nullptr; }
  const std::wstring& path() const { return path_; }

  // The exported symbol; failure raises the Windows error 127 (procedure not
  // found) with "Unable to find " + name + " in library " + path, in `function`.
  void* symbol(const char* name, const char* function) const;
  // An exported function of type F.
  template <class F>
  F function(const char* name, const char* function) const {
    return reinterpret_cast<F>(symbol(name, function));
  }

  // Unloads now.
  void unload() noexcept;
  // Leaves the library loaded for the rest of the process (objects it made
  // are still in use).
  void keep() noexcept { handle_ = nullptr; }

 private:
  PluginLibrary(void* handle, std::wstring path) : handle_(handle), path_(std::move(path)) {}
  void* handle_ = nullptr;
  std::wstring path_;
};

// A library that the panel names "X.dll" is "X.so" on this platform: the
// name with its ".dll" ending (any case) replaced; other names stay as they are.
std::wstring platformLibraryName(const std::wstring& name);
