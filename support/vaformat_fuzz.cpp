// Fuzz target: vaformat with any format text over a fixed set of arguments,
// one of each kind, and over none.
#include <array>
#include <string>

#include "support/vaformat.h"
#include "tests/fuzz_targets.h"

namespace {

enum class Sample { One = 1 };

}  // namespace

void fuzzVaformat(const uint8_t* data, size_t size) {
  const std::wstring format = fuzzing::wideText(data, size);
  const std::wstring text = L"text with %s and %d inside";
  const int marker = 0;
  const std::array<FormatArg, 12> args{FormatArg(text),
                                       FormatArg(L"literal"),
                                       FormatArg(static_cast<const wchar_t*>(nullptr)),
                                       FormatArg(-42),
                                       FormatArg(4000000000u),
                                       FormatArg(int64_t{-9000000000}),
                                       FormatArg(uint64_t{18446744073709551615ull}),
                                       FormatArg(static_cast<short>(-7)),
                                       FormatArg('x'),
                                       FormatArg(-1.5e300),
                                       FormatArg(static_cast<const void*>(&marker)),
                                       FormatArg(Sample::One)};
  vaformatArgs(format, args);
  vaformatArgs(format, {});
}

HALVEX_FUZZ_ENTRY(fuzzVaformat)
