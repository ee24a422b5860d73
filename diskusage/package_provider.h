// A provider library of an optional panel package, found through the
// package registry keys:
//   default value of  HKLM\SOFTWARE\Halvex\QMX Config\Config\Packages\<package>
//     the installed implementation; empty or "none": no provider
//   value "dll" of    ...\Packages\<package>\<implementation>
//     the library (a name ending in ".dll" is loaded as ".so"); empty: no provider
// The library's factory makes the provider; the provider is given back with
// its release() (the second operation of its interface) before the library
// is unloaded.
#pragma once

#include <string>

#include "support/plugin_library.h"
#include "support/exceptions.h"
#include "support/registry.h"

// The interface's name as messages give it, e.g. "ITomcatProvider".
template <class T>
struct ProviderInterfaceName;

template <class T>
class DefPackageProviderInstance {
 public:
  // Loads the provider when one is configured. A library that cannot be
  // loaded or lacks the factory raises; a factory that gives null raises
  // "Library " + library + " is corrupted" (function
  // "DefPackageProviderInstance<class T>::DefPackageProviderInstance").
  DefPackageProviderInstance(const std::wstring& package, const char* factoryName) {
    const std::string function =
        std::string("DefPackageProviderInstance<class ") + ProviderInterfaceName<T>::value + ">::DefPackageProviderInstance";
    const std::wstring packages = std::wstring(kConfigKey) + L"\\Packages\\" + package;
    std::wstring current;
    if (registry::lookup(HKEY_LOCAL_MACHINE, packages, L"", current) != 0 || current.empty() || current == L"none") return;
    std::wstring dll;
    if (registry::lookup(HKEY_LOCAL_MACHINE, packages + L"\\" + current, L"dll", dll) != 0 || dll.empty()) return;
    library_ = PluginLibrary::load(platformLibraryName(dll), function.c_str());
    using Factory = T* (*)();
    provider_ = library_.function<Factory>(factoryName, function.c_str())();
    if (!provider_) throw vexception(L"Library " + dll + L" is corrupted", VLOC(L"", function));
  }
  ~DefPackageProviderInstance() {
    try {
      if (provider_) provider_->release();
    } catch (...) {
    }
  }
  DefPackageProviderInstance(const DefPackageProviderInstance&) = delete;
  DefPackageProviderInstance& operator=(const DefPackageProviderInstance&) = delete;

  // The provider; null when none is configured.
  T* get() const { return provider_; }

 private:
  // Declared first: unloaded only after the provider has been released.
  PluginLibrary library_;
  T* provider_ = nullptr;
};
