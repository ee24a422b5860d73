// Plugins on POSIX: dlopen with immediate binding, so that a library with an
// unresolved symbol fails at load time rather than in the middle of a call.
#include "support/plugin_library.h"

#include <dlfcn.h>

#include "support/exceptions.h"
#include "support/text.h"

namespace {
constexpr uint32_t kModuleNotFound = 126;
constexpr uint32_t kProcedureNotFound = 127;
}  // namespace

PluginLibrary PluginLibrary::load(const std::wstring& path, const char* function) {
  const std::string bytes = text::toAnsi(path);
  // RTLD_LOCAL: two plugins may carry equal symbol names without meeting.
  void* handle = ::dlopen(bytes.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    raiseWindowsError(L"Unable to load library " + path + L": " + text::fromAnsi(reason ? reason : "unknown reason"), kModuleNotFound,
                      VLOC(L"", function));
  }
  return PluginLibrary(handle, path);
}

PluginLibrary& PluginLibrary::operator=(PluginLibrary&& o) noexcept {
  if (this == &o) return *this;
  unload();
  handle_ = o.handle_;
  path_ = std::move(o.path_);
  o.handle_ = nullptr;
  return *this;
}

PluginLibrary::~PluginLibrary() { unload(); }

void PluginLibrary::unload() noexcept {
  if (handle_) ::dlclose(handle_);
  handle_ = nullptr;
}

void* PluginLibrary::symbol(const char* name, const char* function) const {
  ::dlerror();
  void* address = handle_ ? ::dlsym(handle_, name) : nullptr;
  if (!address)
    raiseWindowsError(L"Unable to find " + text::fromAnsi(name) + L" in library " + path_, kProcedureNotFound, VLOC(L"", function));
  return address;
}

std::wstring platformLibraryName(const std::wstring& name) {
  if (name.size() >= 4 && text::equalsIgnoreCase(std::wstring_view(name).substr(name.size() - 4), L".dll"))
    return name.substr(0, name.size() - 4) + L".so";
  return name;
}
