#include "mail/provider_loader.h"

#include "support/logging.h"
#include "support/plugin_library.h"
#include "support/registry.h"

namespace mailhostctl {

namespace {
constexpr const char* kLoadFunction = "mailhostctl::imailhostctlprovider::load";
}

ProviderPtr loadMailProviderFrom(const std::wstring& path) {
  PluginLibrary library = PluginLibrary::load(path, kLoadFunction);
  auto factory = library.function<ProviderFactory>(kProviderFactoryName, kLoadFunction);
  IMailHostCtlProvider* provider = nullptr;
  try {
    provider = factory();
  } catch (...) {
    // The exception in flight may be the library's own object: its code
    // must stay mapped until the exception is gone.
    library.keep();
    throw;
  }
  if (!provider) throw vexception(L"Library " + path + L" is corrupt", VLOC(L"", kLoadFunction));
  library.keep();
  return ProviderPtr(provider);
}

ProviderPtr loadMailProvider() {
  return rethrowing(VLOC(L"Load mail provider", kLoadFunction), [] { return loadMailProviderFrom(getProductSetting(L"MAIL_PROVIDERW_DLL")); });
}

}  // namespace mailhostctl
