// The event log output: syslog with the source name as ident, or, when
// HALVEX_EVENT_LOG names a file, one line per event appended there:
// type word, tab, source, tab, text ("\" as "\\", line breaks as "\n"), tab,
// module path. The source is registered in the registry on first use.
#pragma once

#include <string>

namespace halvex::logging {

// Reports one event at a dispatch level (Info: information, Warning: warning,
// Result: success, anything else: error). Never throws.
void reportEvent(int level, const std::wstring& text) noexcept;

// Deregisters the source (at exit).
void closeEventLog() noexcept;

}  // namespace halvex::logging
