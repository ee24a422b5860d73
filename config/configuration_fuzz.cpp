// Fuzz target: the configuration loader over a document of any content.
#include <string>

#include "config/configuration.h"
#include "support/exceptions.h"
#include "support/text.h"
#include "tests/fuzz_targets.h"

void fuzzConfiguration(const uint8_t* data, size_t size) {
  const std::wstring path = text::fromUtf8(fuzzing::writeScratchFile("config.xml", data, size));
  DomainModel model;
  try {
    loadConfiguration(model, path);
  } catch (const vexception&) {
  }
}

HALVEX_FUZZ_ENTRY(fuzzConfiguration)
