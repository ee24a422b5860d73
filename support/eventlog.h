// The event log output: syslog with the source name as ident, or, when
// HALVEX_EVENT_LOG names a file, one line per event appended there:
// type word, tab, source, tab, text ("\" as "\\", line breaks as "\n", a
// tab as "\t", so that the line keeps its four fields), tab, module path,
// in UTF-8. The source is registered in the registry store on first use
// (keys of the event log "Halvex"); while it cannot be (the configuration
// value "HalvexService" is missing, the store cannot be written) events are
// dropped and each new one tries again.
#pragma once

#include <string>

namespace halvex::logging {

// Reports one event at a dispatch level (Info: information, Warning: warning,
// Result: success, anything else: error). Never throws.
void reportEvent(int level, const std::wstring& text) noexcept;

// Deregisters the source (at exit); the next event registers it again.
void closeEventLog() noexcept;

}  // namespace halvex::logging
