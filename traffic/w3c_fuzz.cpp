// Fuzz target: the W3C extended log reader over a file of any content, read
// the way the accounting reads it (fields resolved once per block, values by
// column and by name, a record copied and overridden).
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/fuzz_targets.h"
#include "traffic/w3c.h"

namespace {

void readRecord(const W3CRecord& record, const std::vector<std::wstring>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const int column = record.column(fields[i]);
    if (column < 0 || static_cast<size_t>(column) >= fields.size()) fuzzing::propertyFailed("a listed field has no column");
    if (record.value(column) != record(fields[i]) && record.value(column).size() > 0)
      fuzzing::propertyFailed("a value differs by column and by name");
  }
  if (!record.value(static_cast<int>(fields.size())).empty() || !record.value(-1).empty())
    fuzzing::propertyFailed("a column outside the field list has a value");
}

// A copy keeps its own line and takes overrides.
void overrideCopy(const W3CRecord& record, const std::vector<std::wstring>& fields) {
  W3CRecord copy = record;
  if (copy.line() != record.line()) fuzzing::propertyFailed("a copy has another line");
  copy.set(L"no-such-field", L"x");
  if (fields.empty()) return;
  copy.set(fields.front(), L"override");
  if (copy(fields.front()) != L"override") fuzzing::propertyFailed("an overridden value is not read back");
  readRecord(copy, fields);
}

}  // namespace

void fuzzW3cReader(const uint8_t* data, size_t size) {
  const std::wstring path = text::fromUtf8(fuzzing::writeScratchFile("w3c.log", data, size));
  try {
    for (W3CFile::iterator section(path); !section.atEnd(); ++section) {
      section.directives();
      const std::vector<std::wstring> fields = section.fields();
      bool first = true;
      for (W3CFile::record_iterator r(section); !r.atEnd(); ++r) {
        readRecord(*r, fields);
        if (first) overrideCopy(*r, fields);
        first = false;
      }
    }
  } catch (const vexception&) {
  }
}

HALVEX_FUZZ_ENTRY(fuzzW3cReader)
