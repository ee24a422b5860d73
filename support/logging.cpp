#include "support/logging.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <mutex>
#include <vector>

#include "support/eventlog.h"
#include "support/halvexlog.h"
#include "support/process.h"
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
  try {
    // The console may be that terminal already (an interactive tool's
    // standard output): the entry is not shown twice.
    if (flagLevel >= 3 && terminal::active() && !(flags().flag[flagLevel] && !console_ && ::isatty(STDOUT_FILENO) == 1))
      terminal::writeEntry(level, text);
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

// ---- The operator's terminal ---------------------------------------------

namespace terminal {
namespace {

// The progress line of this module; an entry written by another module (a
// plugin has its own copy of this code) clears it, and the next update of
// the run draws it again.
struct ProgressLine {
  std::mutex mutex;
  std::wstring step;
  size_t total = 0;
  size_t done = 0;
  bool shown = false;
};

ProgressLine& progressLine() {
  static ProgressLine* line = new ProgressLine;  // outlives every static
  return *line;
}

std::string programName() {
  std::wstring path;
  try {
    path = process::executablePath();
  } catch (...) {
  }
  const size_t slash = path.find_last_of(L'/');
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string("statistics") : text::toUtf8(name);
}

// "\r" and "erase to the end of the line": the cursor is at the start of
// an empty line, whatever the progress line held.
constexpr const char* kClearLine = "\r\x1b[K";

void drawProgress(ProgressLine& line) {
  std::string out = kClearLine + programName() + ": " + text::toUtf8(line.step);
  if (line.total > 0) out += ": " + std::to_string(line.done) + " of " + std::to_string(line.total) + " domains";
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
  line.shown = true;
}

}  // namespace

bool active() noexcept {
  static const bool tty = ::isatty(STDERR_FILENO) == 1;
  return tty;
}

std::wstring entryLine(int level, const std::wstring& text) {
  std::wstring message;
  std::vector<std::wstring> contexts;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t end = text.find(L"\n   at ", start);
    const std::wstring part = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (first) {
      message = part;
      first = false;
    } else {
      // "<context>(<function> line <n>)": function names hold no "(".
      const size_t paren = part.rfind(L'(');
      const std::wstring context = part.substr(0, paren == std::wstring::npos ? part.size() : paren);
      if (!context.empty()) contexts.push_back(context);
    }
    if (end == std::wstring::npos) break;
    start = end + 7;
  }
  std::wstring line = text::fromUtf8(logLevelName(level)) + L": " + message;
  if (!contexts.empty()) {
    line += L" (";
    for (size_t i = 0; i < contexts.size(); ++i) line += (i ? L"; " : L"") + contexts[i];
    line += L")";
  }
  std::wstring single;
  single.reserve(line.size());
  for (wchar_t c : line) {
    if (c == L'\n' || c == L'\t') c = L' ';
    if (c == L' ' && !single.empty() && single.back() == L' ') continue;
    single += c;
  }
  while (!single.empty() && single.back() == L' ') single.pop_back();
  return single;
}

void writeEntry(int level, const std::wstring& text) {
  ProgressLine& line = progressLine();
  std::lock_guard<std::mutex> lock(line.mutex);
  const std::string out = kClearLine + programName() + ": " + text::toUtf8(entryLine(level, text)) + "\n";
  std::fputs(out.c_str(), stderr);
  line.shown = false;
  if (!line.step.empty()) drawProgress(line);
  std::fflush(stderr);
}

void progressStep(const std::wstring& step, size_t total) noexcept {
  if (!active()) return;
  try {
    ProgressLine& line = progressLine();
    std::lock_guard<std::mutex> lock(line.mutex);
    // A run that ends by an exception leaves no half line for the shell prompt.
    static const bool cleared = std::atexit([] { progressEnd(); }) == 0;
    (void)cleared;
    line.step = step;
    line.total = total;
    line.done = 0;
    drawProgress(line);
  } catch (...) {
  }
}

void progressDomainDone() noexcept {
  if (!active()) return;
  try {
    ProgressLine& line = progressLine();
    std::lock_guard<std::mutex> lock(line.mutex);
    if (line.step.empty()) return;
    if (line.done < line.total) ++line.done;
    drawProgress(line);
  } catch (...) {
  }
}

void progressEnd() noexcept {
  if (!active()) return;
  try {
    ProgressLine& line = progressLine();
    std::lock_guard<std::mutex> lock(line.mutex);
    if (line.shown) std::fputs(kClearLine, stderr);
    std::fflush(stderr);
    line.step.clear();
    line.shown = false;
  } catch (...) {
  }
}

}  // namespace terminal
