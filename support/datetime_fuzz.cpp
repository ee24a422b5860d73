// Fuzz target: VDateTime::parse with any text and pattern, and the calendar
// conversions of whatever it parsed.
#include <string>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "tests/fuzz_targets.h"

void fuzzDateTime(const uint8_t* data, size_t size) {
  // The first byte is the length of the pattern, which follows it; the rest
  // is the text.
  if (size == 0) return;
  const size_t patternLength = std::min<size_t>(data[0], size - 1);
  const std::wstring pattern = fuzzing::wideText(data + 1, patternLength);
  const std::wstring text = fuzzing::wideText(data + 1 + patternLength, size - 1 - patternLength);

  VDateTime value;
  try {
    value.parse(text, pattern);
  } catch (const vexception&) {
    return;
  }
  value.formatMarker();
  value.formatStamp17();
  value.datePart();
  if (!value.normalize() || !value.validFileTime()) return;
  int64_t fileTime = 0;
  try {
    fileTime = value.toFileTime();
  } catch (const vexception&) {
    fuzzing::propertyFailed("toFileTime raised for a valid file time");
  }
  if (VDateTime::fromFileTime(fileTime) != value) fuzzing::propertyFailed("file time does not convert back to the same fields");
  value.addSeconds(static_cast<int64_t>(size) * 86400 - 3600);
}

HALVEX_FUZZ_ENTRY(fuzzDateTime)
