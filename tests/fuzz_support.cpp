// The scratch place of the fuzz bodies (see fuzz_targets.h).
#include "tests/fuzz_targets.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/text.h"

namespace fuzzing {
namespace {

std::string makeScratchDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/halvex-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp " + pattern + " failed");
  // The bodies run as the program would, but on a store, locks and event log
  // of their own.
  setenv("HALVEX_REGISTRY", (pattern + "/registry.db").c_str(), 1);
  setenv("HALVEX_LOCK_DIR", (pattern + "/locks").c_str(), 1);
  setenv("HALVEX_EVENT_LOG", (pattern + "/events.log").c_str(), 1);
  return pattern;
}

void removeScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
}

}  // namespace

const std::string& scratchDirectory() {
  // Never destroyed: the handler that removes the directory at exit runs
  // after the destructors of the statics made before it was registered.
  static const std::string* dir = [] {
    const std::string* made = new std::string(makeScratchDirectory());
    std::atexit(removeScratchDirectory);
    return made;
  }();
  return *dir;
}

std::string writeScratchFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = scratchDirectory() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::wstring wideText(const uint8_t* data, size_t size) {
  return text::fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
}

void propertyFailed(const std::string& message) { throw std::logic_error(message); }

}  // namespace fuzzing
