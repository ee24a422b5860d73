// A test Tomcat provider that counts the providers made and given back, so
// that a test can see the loader release what it obtained.
#include <new>

#include "diskusage/plugins/itomcat_provider.h"

extern "C" {
__attribute__((visibility("default"))) int halvexTestTomcatMade = 0;
__attribute__((visibility("default"))) int halvexTestTomcatReleased = 0;
}

namespace {

class CountingTomcat final : public ITomcatProvider {
 public:
  const char* packageVersion() const override { return "test"; }
  void release() override {
    ++halvexTestTomcatReleased;
    delete this;
  }
  const char* webappsDirectory() const override { return "var/tomcat/qmx-wars"; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) ITomcatProvider* getTomcatProviderInstance() {
  ++halvexTestTomcatMade;
  return new (std::nothrow) CountingTomcat;
}
