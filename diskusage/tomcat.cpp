#include "diskusage/tomcat.h"

#include "config/domain.h"
#include "diskusage/directory_size.h"
#include "support/fs.h"
#include "support/logging.h"

void calculateTomcatDiskSpace(const DomainInfo& domain, DomainDiskUsage& record) {
  logMessage(LogLevel::Info, L"Calculate tomcat service disk space for %s...", domain.name);
  if (!domain.tomcatService) return;
  {
    const DefPackageProviderInstance<ITomcatProvider> provider(L"tomcat", "getTomcatProviderInstance");
    if (!provider.get()) return;
  }
  // A name that is no single path component has no directory there.
  if (domain.name.empty() || domain.name == L"." || domain.name == L".." || domain.name.find(L'/') != std::wstring::npos) return;
  const std::wstring wars = vfs::join(getProductSetting(L"PRODUCT_DATA_D"), L"var/tomcat/qmx-wars");
  record.webapps += directorySize(vfs::join(wars, domain.name));
}
