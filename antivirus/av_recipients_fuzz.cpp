// Fuzz target: splitting a filter record's recipient list.
#include <cwctype>
#include <string>

#include "antivirus/av_recipients.h"
#include "tests/fuzz_targets.h"

void fuzzRecipients(const uint8_t* data, size_t size) {
  for (const std::wstring& address : splitRecipients(fuzzing::wideText(data, size))) {
    if (address.empty()) fuzzing::propertyFailed("an empty address");
    if (std::iswspace(static_cast<wint_t>(address.front())) || std::iswspace(static_cast<wint_t>(address.back())))
      fuzzing::propertyFailed("an address with white space around it");
  }
}

HALVEX_FUZZ_ENTRY(fuzzRecipients)
