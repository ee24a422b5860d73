#include "support/logging.h"

#include <dlfcn.h>
#include <link.h>

#include <cwchar>
#include <exception>
#include <vector>

#include "support/eventlog.h"
#include "support/halvexlog.h"
#include "support/text.h"

// The pointer through which modules loaded into one process share their
// logging context; its name is part of the plugin contract.
extern "C" {
__attribute__((visibility("default"))) void* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
}

namespace {

constexpr const char* kContextSymbol = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

int collectModule(struct dl_phdr_info* info, size_t, void* data) {
  auto* names = static_cast<std::vector<std::string>*>(data);
  names->emplace_back(info->dlpi_name ? info->dlpi_name : "");
  return 0;
}

// Finds a context that another loaded module already set.
ExecuteContext* findSharedContext() {
  std::vector<std::string> modules;
  dl_iterate_phdr(collectModule, &modules);
  for (const std::string& name : modules) {
    // The empty name is the main program; RTLD_NOLOAD only looks, never loads.
    void* handle = dlopen(name.empty() ? nullptr : name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) continue;
    auto* slot = static_cast<void**>(dlsym(handle, kContextSymbol));
    void* value = (slot && slot != &m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22) ? *slot : nullptr;
    dlclose(handle);
    if (value) return static_cast<ExecuteContext*>(value);
  }
  return nullptr;
}

}  // namespace

const char* logLevelName(int level) {
  switch (level) {
    case 0: return "Info";
    case 1: return "Warning";
    case 2: return "Result";
    case 3: return "Error";
    case 4: return "Unexpected";
    case 5: return "Crash";
    default: return "Unknown level";
  }
}

ExecuteContext& executeContext() {
  void*& own = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
  if (own) return *static_cast<ExecuteContext*>(own);
  ExecuteContext* ctx = findSharedContext();
  if (ctx) {
    ++ctx->referenceCount;
  } else {
    ctx = new ExecuteContext;  // lives as long as the process
    ctx->referenceCount = 1;
  }
  own = ctx;
  return *ctx;
}

LogManager& LogManager::instance() {
  static LogManager manager;
  return manager;
}

LogManager::LogManager() {
  if (!executeContext().outputFlags) {
    executeContext().outputFlags = new OutputFlags;
    applyInteractivePreset();
  }
}

LogManager::~LogManager() { halvex::logging::closeEventLog(); }

OutputFlags& LogManager::flags() {
  ExecuteContext& ctx = executeContext();
  if (!ctx.outputFlags) ctx.outputFlags = new OutputFlags;
  return *ctx.outputFlags;
}

void LogManager::applyInteractivePreset() {
  OutputFlags& f = flags();
  const bool debug = halvex::logging::isDebugEnabled();
  for (int level = 0; level < 6; ++level) f.flag[level] = level >= 2;
  for (int level = 0; level < 6; ++level) f.flag[6 + level] = level >= 3 || debug;
}

void LogManager::applyServicePreset() {
  applyInteractivePreset();
  OutputFlags& f = flags();
  for (int level = 0; level < 6; ++level) f.flag[level] = false;
}

void applyInteractivePreset() { LogManager::instance().applyInteractivePreset(); }
void applyServicePreset() { LogManager::instance().applyServicePreset(); }

void LogManager::writeConsole(const std::wstring& text) {
  OutputFlags& f = flags();
  FILE* out = console_ ? console_ : stdout;
  if (f.flag[12])
    std::fputs("\n", out);
  else
    f.flag[12] = true;
  std::fprintf(out, "%s", text::toUtf8(text).c_str());
  std::fflush(out);
}

bool isDebugLogOn() noexcept {
  try {
    return halvex::logging::isDebugEnabled();
  } catch (...) {
    return false;
  }
}

namespace {
// Levels outside the table use the flags of Error, as they are reported as errors.
int flagLevelOf(int level) { return level >= 0 && level <= 5 ? level : 3; }
}  // namespace

bool LogManager::wantsOutput(int level) {
  const OutputFlags& f = flags();
  const int l = flagLevelOf(level);
  return f.flag[l] || f.flag[6 + l];
}

void LogManager::logText(int level, const std::wstring& text) noexcept { logTextDecided(level, text, isDebugLogOn()); }

namespace {
// Names from tenants reach messages: a control character in one is written
// escaped ("\r", "\x1b"), so that no name can start a line of its own. A
// line feed followed by a space stays: the indented "at" lines of a trace.
std::wstring escapedControls(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if ((c >= 0x20 && c != 0x7f) || c == L'\t' || (c == L'\n' && i + 1 < text.size() && text[i + 1] == L' ')) {
      out += c;
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\n') {
      out += L"\\n";
    } else {
      wchar_t hex[8];
      std::swprintf(hex, 8, L"\\x%02x", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}
}  // namespace

void LogManager::logTextDecided(int level, const std::wstring& rawText, bool toDebugLog) noexcept {
  const int flagLevel = flagLevelOf(level);
  std::wstring text;
  try {
    text = escapedControls(rawText);
  } catch (...) {
    return;
  }
  try {
    if (toDebugLog) halvex::logging::writeDebugLog(logLevelName(level), text);
  } catch (...) {
  }
  try {
    if (flags().flag[6 + flagLevel]) halvex::logging::reportEvent(level, text);
  } catch (...) {
  }
  try {
    if (flags().flag[flagLevel]) writeConsole(text);
  } catch (...) {
  }
}

void LogManager::logException(int level, const vexception& e) noexcept {
  try {
    logText(level, e.fullText());
  } catch (...) {
  }
}

vexception currentAsVexception(ExceptionLocation where) {
  try {
    throw;
  } catch (vexception& e) {
    e.addLocation(std::move(where));
    return e;
  } catch (const std::exception& e) {
    return vexception(text::fromAnsi(e.what()), std::move(where));
  } catch (const cwrpexception& e) {
    return vexception(e.text(), std::move(where));
  } catch (...) {
    return vexception(L"Unexpected error", std::move(where));
  }
}

void rethrowStandard(ExceptionLocation where) {
  try {
    throw;
  } catch (vexception& e) {
    e.addLocation(std::move(where));
    throw;
  } catch (const std::exception& e) {
    throw vexception(text::fromAnsi(e.what()), std::move(where));
  } catch (const cwrpexception& e) {
    throw vexception(e.text(), std::move(where));
  } catch (...) {
    throw vexception(L"Unexpected error", std::move(where));
  }
}

void logStandard(LogLevel level, ExceptionLocation where) noexcept {
  try {
    vexception e = currentAsVexception(std::move(where));
    LogManager::instance().logException(static_cast<int>(level), e);
  } catch (...) {
  }
}
