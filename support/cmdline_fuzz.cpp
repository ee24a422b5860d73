// Fuzz target: the Windows command-line splitter, quoting and masking.
#include <string>
#include <vector>

#include "support/cmdline.h"
#include "tests/fuzz_targets.h"

namespace {

// The input as a list of arguments: line feeds separate them, so that any
// character (blank, quote, backslash) can stand inside one.
std::vector<std::wstring> argumentsOf(const std::wstring& input) {
  std::vector<std::wstring> out;
  size_t start = 0;
  for (size_t end; (end = input.find(L'\n', start)) != std::wstring::npos; start = end + 1) out.push_back(input.substr(start, end - start));
  if (start < input.size()) out.push_back(input.substr(start));
  return out;
}

}  // namespace

void fuzzCommandLine(const uint8_t* data, size_t size) {
  const std::wstring input = fuzzing::wideText(data, size);

  const std::vector<std::wstring> split = splitArguments(input);
  const std::vector<std::wstring> withProgram = splitCommandLine(input);
  const std::wstring masked = maskCommandLine(input);
  // Masking changes arguments, never their number.
  if (splitArguments(masked).size() != withProgram.size()) fuzzing::propertyFailed("maskCommandLine changed the number of arguments");

  // Quoting any arguments and splitting the joined line gives them back.
  if (splitArguments(joinCommandLine(split)) != split) fuzzing::propertyFailed("split arguments do not survive quoting");
  const std::vector<std::wstring> arguments = argumentsOf(input);
  if (splitArguments(joinCommandLine(arguments)) != arguments) fuzzing::propertyFailed("arguments do not survive quoting");
  for (const std::wstring& argument : arguments)
    if (splitArguments(quoteArgument(argument)) != std::vector<std::wstring>{argument}) fuzzing::propertyFailed("one argument does not survive quoting");
}

HALVEX_FUZZ_ENTRY(fuzzCommandLine)
