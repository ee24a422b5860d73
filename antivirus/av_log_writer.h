// Writing entries of the antivirus and spam filter logs the way the panel's
// mail filters do, for the demo and for tests of the statistics step.
#pragma once

#include <string>

struct AvLogEntry {
  std::wstring status;      // "clean", "infected", "protected", "skipped", ...
  std::wstring detail;      // free text, not counted (e.g. the sender)
  std::wstring recipients;  // a recipient list: "Name" <a@b>, c@d
  std::wstring virus;       // the virus name, empty when none
};

// The message of an entry: the four fields joined by tabs. A field holding a
// tab, CR or LF would change what the statistics read, so it raises a
// vexception naming the field. The status must be a non-empty word.
std::wstring formatAvLogMessage(const AvLogEntry& entry);

// Appends one entry to the named log ("avstat" or "spamstat") in
// <PRODUCT_ROOT_D>/admin/logs through the support library's HalvexLog, which
// adds the local time, process id and thread id, and rotates the files.
void appendAvLogEntry(const std::wstring& logName, const AvLogEntry& entry);
