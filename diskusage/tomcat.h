// The domains' Tomcat web applications: measured on disk when a Tomcat
// provider is installed (plugins/itomcat_provider.h, package_provider.h).
#pragma once

#include "diskusage/disk_usage_record.h"
#include "diskusage/package_provider.h"
#include "diskusage/plugins/itomcat_provider.h"

struct DomainInfo;

template <>
struct ProviderInterfaceName<ITomcatProvider> {
  static constexpr const char* value = "ITomcatProvider";
};

// Logs "Calculate tomcat service disk space for %s...". For a domain with
// the Tomcat service, when the "tomcat" package names a provider (loaded
// through "getTomcatProviderInstance" and given back at once), adds the
// size of <PRODUCT_DATA_D>/var/tomcat/qmx-wars/<domain name> to `webapps`.
// Raises what loading the provider raises.
void calculateTomcatDiskSpace(const DomainInfo& domain, DomainDiskUsage& record);
