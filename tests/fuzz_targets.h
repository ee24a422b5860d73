// The bodies of the fuzz targets. Each *_fuzz.cpp file beside the code it
// exercises defines one of these functions; in the fuzz build libFuzzer calls
// it through LLVMFuzzerTestOneInput, and in the ordinary build the regression
// test replays the committed inputs through the same function.
//
// A body returns normally for every input: the failure the code documents
// (a vexception) is caught inside it. Anything else (a crash, a sanitizer
// report, another exception, a broken round trip) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

void fuzzW3cReader(const uint8_t* data, size_t size);
void fuzzConfiguration(const uint8_t* data, size_t size);
void fuzzHostAnswer(const uint8_t* data, size_t size);
void fuzzCommandLine(const uint8_t* data, size_t size);
void fuzzDateTime(const uint8_t* data, size_t size);
void fuzzVaformat(const uint8_t* data, size_t size);
void fuzzRecipients(const uint8_t* data, size_t size);
void fuzzRegistry(const uint8_t* data, size_t size);

namespace fuzzing {

// A directory of this process's own under the system temporary directory,
// made on first use and removed at exit. HALVEX_REGISTRY, HALVEX_LOCK_DIR and
// HALVEX_EVENT_LOG are pointed into it at the same time, so that no body
// touches the installation's store, locks or event log.
const std::string& scratchDirectory();

// Writes the bytes to the named file of the scratch directory (replacing it)
// and returns its path.
std::string writeScratchFile(const std::string& name, const uint8_t* data, size_t size);

// The bytes as text, decoded as UTF-8 (an invalid byte keeps its value).
std::wstring wideText(const uint8_t* data, size_t size);

// Raises std::logic_error with the message: a property the code promises
// does not hold for this input.
[[noreturn]] void propertyFailed(const std::string& message);

}  // namespace fuzzing

// Defines libFuzzer's entry point over the body, in the fuzz build only.
#ifdef HALVEX_FUZZ_TARGET
#define HALVEX_FUZZ_ENTRY(body)                                           \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    body(data, size);                                                     \
    return 0;                                                             \
  }
#else
#define HALVEX_FUZZ_ENTRY(body)
#endif
