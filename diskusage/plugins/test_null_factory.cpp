// A test plugin whose factories give nothing: a library that cannot serve.
#include "diskusage/plugins/idump_repository.h"
#include "diskusage/plugins/itomcat_provider.h"

extern "C" __attribute__((visibility("default"))) IDumpRepository* getDumpRepository() { return nullptr; }
extern "C" __attribute__((visibility("default"))) ITomcatProvider* getTomcatProviderInstance() { return nullptr; }
