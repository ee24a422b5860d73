// A test plugin that loads but exports no factory.
extern "C" __attribute__((visibility("default"))) int halvexTestPluginWithoutFactory() { return 1; }
