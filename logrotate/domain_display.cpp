#include "logrotate/domain_display.h"

#include <unicode/uidna.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <string>

#include "support/exceptions.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

[[noreturn]] void raiseConversion(const std::wstring& name, UErrorCode status) {
  throw vexception(vaformat(L"Unable to convert a whole domain name '%s' into its Unicode form for human-readable display using IDNA2003, "
                            L"name of the error code: %s.",
                            name, text::fromUtf8(u_errorName(status))),
                   VLOC(L"", "domainDisplayName"));
}

}  // namespace

std::wstring domainDisplayName(const std::wstring& name) {
  const std::string utf8 = text::toUtf8(name);
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) status = U_ZERO_ERROR;
  if (U_FAILURE(status)) raiseConversion(name, status);
  std::u16string source(static_cast<size_t>(length), u'\0');
  u_strFromUTF8(source.data(), length, nullptr, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) raiseConversion(name, status);

  constexpr int32_t kCapacity = 256;
  UChar unicode[kCapacity + 1];
  UParseError parseError;
  // IDNA2003 on purpose: names are shown as the panel has always shown them,
  // and ICU keeps the older API (marked deprecated in favour of UTS #46).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const int32_t produced = uidna_IDNToUnicode(source.data(), static_cast<int32_t>(source.size()), unicode, kCapacity, UIDNA_DEFAULT, &parseError, &status);
#pragma GCC diagnostic pop
  // A result that exactly fills the buffer is reported as a warning, not an error.
  if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
  if (U_FAILURE(status)) raiseConversion(name, status);

  std::string out(static_cast<size_t>(produced) * 3 + 1, '\0');
  int32_t outLength = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, unicode, produced, &status);
  if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
  if (U_FAILURE(status)) raiseConversion(name, status);
  out.resize(static_cast<size_t>(outLength));
  return text::fromUtf8(out);
}

std::wstring domainDisplayNameOrStored(const std::wstring& name) noexcept {
  try {
    return domainDisplayName(name);
  } catch (...) {
    return name;
  }
}
