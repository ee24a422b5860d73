#include "mail/dynamic_library.h"

#include <dlfcn.h>

#include "support/exceptions.h"
#include "support/text.h"

namespace {

std::wstring lastLoaderError() {
  const char* reason = dlerror();
  return reason ? text::fromAnsi(reason) : std::wstring(L"unknown reason");
}

}  // namespace

VDynamicLibrary::VDynamicLibrary(const std::wstring& path) : path_(path) {
  // RTLD_NOW: an unresolved symbol fails the load, not a later call.
  // RTLD_LOCAL: the provider's symbols do not serve later libraries.
  handle_ = dlopen(text::toAnsi(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw vexception(L"Unable to load library " + path + L": " + lastLoaderError(), VLOC(L"", "VDynamicLibrary::VDynamicLibrary"));
}

VDynamicLibrary::~VDynamicLibrary() {
  if (handle_) dlclose(handle_);
}

void* VDynamicLibrary::symbol(const char* name) const {
  dlerror();
  void* address = dlsym(handle_, name);
  if (!address)
    throw vexception(L"Unable to find " + text::fromAnsi(name) + L" in library " + path_ + L": " + lastLoaderError(),
                     VLOC(L"", "VDynamicLibrary::symbol"));
  return address;
}
