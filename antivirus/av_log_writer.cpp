#include "antivirus/av_log_writer.h"

#include <cwctype>

#include "support/exceptions.h"
#include "support/halvexlog.h"

namespace {

void checkField(const std::wstring& value, const wchar_t* field) {
  if (value.find_first_of(L"\t\r\n") == std::wstring::npos) return;
  throw vexception(std::wstring(L"The ") + field + L" of an antivirus log entry holds a tab or a line break", VLOC(L"", "formatAvLogMessage"));
}

bool isWord(const std::wstring& s) {
  if (s.empty()) return false;
  for (wchar_t c : s)
    if (!std::iswalnum(static_cast<wint_t>(c)) && c != L'_') return false;
  return true;
}

}  // namespace

std::wstring formatAvLogMessage(const AvLogEntry& entry) {
  if (!isWord(entry.status))
    throw vexception(L"The status of an antivirus log entry must be one word: '" + entry.status + L"'", VLOC(L"", "formatAvLogMessage"));
  checkField(entry.detail, L"detail");
  checkField(entry.recipients, L"recipient list");
  checkField(entry.virus, L"virus name");
  return entry.status + L'\t' + entry.detail + L'\t' + entry.recipients + L'\t' + entry.virus;
}

void appendAvLogEntry(const std::wstring& logName, const AvLogEntry& entry) {
  const std::wstring message = formatAvLogMessage(entry);
  halvex::logging::HalvexLog log(logName, true);
  log.write(message);
}
