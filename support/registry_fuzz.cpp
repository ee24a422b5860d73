// Fuzz target: the registry's value encoding, and the store opened over a
// file of any content (a corrupt store raises; it never crashes the reader).
#include <cstdio>
#include <string>

#include "support/exceptions.h"
#include "support/registry.h"
#include "tests/fuzz_targets.h"

namespace {

void decodeValues(const std::string& bytes) {
  const std::wstring decoded = registry::decodeString(bytes);
  if (decoded.find(L'\0') != std::wstring::npos) fuzzing::propertyFailed("a decoded string holds its terminator");
  if (registry::decodeString(registry::encodeString(decoded)) != decoded) fuzzing::propertyFailed("a string does not survive encoding");
  registry::expandEnvironmentStrings(decoded);
  if (registry::encodeDword(static_cast<uint32_t>(bytes.size())).size() != 4 || registry::encodeQword(bytes.size()).size() != 8)
    fuzzing::propertyFailed("a number of the wrong width");
}

void removeStore(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

// Every read the program makes, then a write.
void useStore() {
  registry::RawValue raw;
  registry::readValue(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", raw);
  registry::valueNames(HKEY_LOCAL_MACHINE, kConfigKey);
  registry::subKeyNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex");
  registry::keyExists(HKEY_LOCAL_MACHINE, kConfigKey);
  registry::storedKeyPath(HKEY_LOCAL_MACHINE, kConfigKey);
  registry::storedValueName(HKEY_LOCAL_MACHINE, kConfigKey, L"product_root_d");
  uint32_t number = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", number);
  std::wstring text;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", text, REG_EXPAND_SZ);
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"Fuzz", L"value");
  registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug");
}

}  // namespace

void fuzzRegistry(const uint8_t* data, size_t size) {
  // The first byte chooses: even, value decoding; odd, the store file.
  if (size == 0) return;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) return decodeValues(bytes);

  const std::string path = fuzzing::scratchDirectory() + "/registry.db";
  removeStore(path);
  fuzzing::writeScratchFile("registry.db", data + 1, size - 1);
  try {
    useStore();
  } catch (const vexception&) {
  }
  removeStore(path);
}

HALVEX_FUZZ_ENTRY(fuzzRegistry)
