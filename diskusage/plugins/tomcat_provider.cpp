// The Tomcat provider the panel ships. The program only asks it whether a
// Tomcat package is installed; the web applications themselves are measured
// on disk.
#include <new>

#include "diskusage/plugins/itomcat_provider.h"

namespace {

class TomcatProvider final : public ITomcatProvider {
 public:
  const char* packageVersion() const override { return "9"; }
  void release() override { delete this; }
  const char* webappsDirectory() const override { return "var/tomcat/qmx-wars"; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) ITomcatProvider* getTomcatProviderInstance() { return new (std::nothrow) TomcatProvider; }
