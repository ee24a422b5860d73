// The event log: the source is registered in the registry store as the
// Windows event log keeps it, and events go to syslog or, when
// HALVEX_EVENT_LOG names a file, one line each to that file.
#include "support/eventlog.h"

#include <syslog.h>

#include <cstdlib>
#include <mutex>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logfile.h"
#include "support/mutex.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"

namespace halvex::logging {
namespace {

constexpr const wchar_t* kRegistrationMutex = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
constexpr const wchar_t* kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvex";
constexpr const wchar_t* kApplicationKey = L"System\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr const wchar_t* kSourceParentKey = L"System\\CurrentControlSet\\Services\\EventLog\\Halvex\\";
constexpr uint32_t kMaxSize = 8388608;
constexpr uint32_t kTypesSupported = 7;

struct EventSource {
  std::mutex guard;
  bool registered = false;
  std::wstring name;
  // The program's path, read once with the registration: every event names it.
  std::wstring executable;
  // syslog keeps the ident pointer, so the text must live as long as the log is open.
  std::string ident;
  bool syslogOpen = false;
};

EventSource& source() {
  static EventSource* s = new EventSource;  // outlives every static destructor that may still log
  return *s;
}

// Set while this thread reports an event, so that anything logged on the way
// is dropped instead of coming back here.
thread_local bool reporting = false;

[[noreturn]] void registrationFailed(uint32_t code) {
  raiseWindowsError(L"RegisterEventSource", code ? code : winerr::AccessDenied, VLOC(L"", "LogManager::getEventLog"));
}

// The keys of the event log "Halvex" and of the source, written under the
// registration mutex so that two processes do not both decide on a name.
void registerSource(EventSource& s) {
  ExclusiveTask task(kRegistrationMutex, -1);
  if (!registry::keyExists(HKEY_LOCAL_MACHINE, kEventLogKey)) {
    registry::create(HKEY_LOCAL_MACHINE, kEventLogKey, RegView32);
    registry::setDword(HKEY_LOCAL_MACHINE, kEventLogKey, L"MaxSize", kMaxSize, RegView32);
    registry::setDword(HKEY_LOCAL_MACHINE, kEventLogKey, L"Retention", 0, RegView32);
  }
  const std::wstring executable = process::executablePath();
  std::wstring name = vfs::fileName(executable);
  if (registry::keyExists(HKEY_LOCAL_MACHINE, kApplicationKey + name)) name = L"Halvex:  " + name;
  const std::wstring sourceKey = kSourceParentKey + name;
  // The message file first: without it the source is not registered at all.
  std::wstring messageFile;
  if (const uint32_t code = registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService", messageFile, REG_SZ, RegView32))
    registrationFailed(code);
  if (const uint32_t code = registry::createKey(HKEY_LOCAL_MACHINE, sourceKey)) registrationFailed(code);
  if (const uint32_t code = registry::setDword(HKEY_LOCAL_MACHINE, sourceKey, L"TypesSupported", kTypesSupported, RegView32))
    registrationFailed(code);
  if (const uint32_t code = registry::setString(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile", messageFile, RegView32))
    registrationFailed(code);
  s.name = name;
  s.executable = executable;
  s.registered = true;
}

const wchar_t* typeWord(int level) {
  switch (level) {
    case 0: return L"information";
    case 1: return L"warning";
    case 2: return L"success";
    default: return L"error";
  }
}

int syslogPriority(int level) {
  switch (level) {
    case 0: return LOG_INFO;
    case 1: return LOG_WARNING;
    case 2: return LOG_NOTICE;
    default: return LOG_ERR;
  }
}

// One event, one line: the separators (tab, line breaks) and the escape
// character itself are escaped inside the text.
std::wstring escaped(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case L'\\': out += L"\\\\"; break;
      case L'\t': out += L"\\t"; break;
      case L'\n': out += L"\\n"; break;
      case L'\r':
        out += L"\\n";
        if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;  // CR LF is one line break
        break;
      default: out += text[i];
    }
  }
  return out;
}

void appendToFile(const char* path, EventSource& s, int level, const std::wstring& text) {
  const std::wstring line =
      std::wstring(typeWord(level)) + L"\t" + escaped(s.name) + L"\t" + escaped(text) + L"\t" + escaped(s.executable) + L"\n";
  LogFile file = LogFile::open(text::fromAnsi(path));
  file.append(text::toUtf8(line));
}

void sendToSyslog(EventSource& s, int level, const std::wstring& text) {
  if (s.syslogOpen && s.ident != text::toUtf8(s.name)) closelog();  // registered again under another name
  if (!s.syslogOpen || s.ident != text::toUtf8(s.name)) {
    s.ident = text::toUtf8(s.name);
    openlog(s.ident.c_str(), LOG_PID, LOG_USER);
    s.syslogOpen = true;
  }
  syslog(syslogPriority(level), "%s", text::toUtf8(text).c_str());
}

}  // namespace

void reportEvent(int level, const std::wstring& text) noexcept {
  if (reporting) return;
  reporting = true;
  EventSource& s = source();
  try {
    std::lock_guard<std::mutex> lock(s.guard);
    if (!s.registered) registerSource(s);
    try {
      const char* file = std::getenv("HALVEX_EVENT_LOG");
      if (file && *file)
        appendToFile(file, s, level, text);
      else
        sendToSyslog(s, level, text);
    } catch (...) {
      s.registered = false;  // a failed report registers the source again next time
    }
  } catch (...) {
    // Registration failed: this event is dropped and the next one tries again.
  }
  reporting = false;
}

void closeEventLog() noexcept {
  EventSource& s = source();
  std::lock_guard<std::mutex> lock(s.guard);
  if (s.syslogOpen) closelog();
  s.syslogOpen = false;
  s.registered = false;
}

}  // namespace halvex::logging
