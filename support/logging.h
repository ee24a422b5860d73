// The process-wide log dispatch: a message goes, by level, to the debug log
// file, the event log and the console. Also the standard catch set, the one
// mechanism by which every unit of work isolates its failures.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>

#include "support/exceptions.h"
#include "support/vaformat.h"

enum class LogLevel : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info" ... "Crash", "Unknown level" for any other value.
const char* logLevelName(int level);

// Console flags 0-5, event log flags 6-11 (6 + level), flag 12: the console
// has been written to.
struct OutputFlags {
  std::array<bool, 13> flag{};
};

// Shared by every module of the process that logs, so that a plugin follows
// the program's output flags.
struct ExecuteContext {
  void* runtimeState = nullptr;
  OutputFlags* outputFlags = nullptr;
  long referenceCount = 0;
};

// The context of this process: the exported pointer of this module when set,
// else the first one set in another loaded module, else a new one.
ExecuteContext& executeContext();

class LogManager {
 public:
  static LogManager& instance();
  // Deregisters the event source at exit.
  ~LogManager();

  // Neither throws: a failing output is skipped for that message.
  void logText(int level, const std::wstring& text) noexcept;
  // Dispatches a text whose debug-log decision was already taken (see
  // logMessage, which asks once and formats only when some output wants it).
  void logTextDecided(int level, const std::wstring& text, bool toDebugLog) noexcept;
  // Whether the event log or the console takes messages of this level.
  bool wantsOutput(int level);
  void logException(int level, const vexception& e) noexcept;

  // Console on for Result, Error, Unexpected, Crash; event log on for Error,
  // Unexpected, Crash, and for Info, Warning, Result when the debug log is on.
  void applyInteractivePreset();
  // As the interactive preset, but nothing on the console.
  void applyServicePreset();

  OutputFlags& flags();

  // Redirects console output (tests); nullptr restores standard output.
  void setConsoleStream(FILE* stream) { console_ = stream; }

 private:
  LogManager();
  void writeConsole(const std::wstring& text);
  FILE* console_ = nullptr;
};

// Formats with vaformat and dispatches. Never throws.
bool isDebugLogOn() noexcept;

// Formats with vaformat and dispatches. Never throws. Formats only when some
// output takes the message, so progress messages cost little when nobody reads them.
template <class... A>
void logMessage(LogLevel level, std::wstring_view format, const A&... args) noexcept {
  try {
    LogManager& manager = LogManager::instance();
    const int l = static_cast<int>(level);
    const bool debug = isDebugLogOn();
    if (!debug && !manager.wantsOutput(l)) return;
    manager.logTextDecided(l, vaformat(format, args...), debug);
  } catch (...) {
  }
}

void applyInteractivePreset();
void applyServicePreset();

// ---- The operator's terminal ---------------------------------------------
//
// When standard error is a terminal (a run started by hand), Error,
// Unexpected and Crash entries are also written there, one line each:
// "<program>: Error: <message> (<contexts>)", and a long run keeps one line
// of progress there, rewritten in place. With standard error redirected or
// not a terminal (the panel, a timer, cron) none of this is written.
namespace terminal {
// Whether standard error is a terminal (asked once per process).
bool active() noexcept;
// The one readable line of an entry: the message and the non-empty
// contexts of its trace, innermost first, line breaks and runs of blanks
// made single blanks.
std::wstring entryLine(int level, const std::wstring& text);
// Writes an entry's line there (the log dispatch calls it for Error and
// worse when active()).
void writeEntry(int level, const std::wstring& text);
// Begins a step of a run on the progress line; total is the number of
// domains it goes through (0: not counted by domain).
void progressStep(const std::wstring& step, size_t total) noexcept;
// One more domain of the current step is done.
void progressDomainDone() noexcept;
// Clears the progress line (the run is over; also done at exit).
void progressEnd() noexcept;
}  // namespace terminal

// ---- The standard catch set ----------------------------------------------
//
// Inside a catch (...) handler, these apply the catch set to the exception in
// flight: a vexception gets the location added to itself; std::exception,
// cwrpexception and anything else become a new vexception with their text
// ("Unexpected error" for an unknown type) and the location.

// Throws the result on (a vexception keeps its own class).
[[noreturn]] void rethrowStandard(ExceptionLocation where);
// Logs the result at the level; never throws.
void logStandard(LogLevel level, ExceptionLocation where) noexcept;
// Returns the result as a vexception value.
vexception currentAsVexception(ExceptionLocation where);

namespace detail {
template <class W>
ExceptionLocation resolveWhere(W&& where) {
  if constexpr (std::is_invocable_v<W>)
    return where();
  else
    return ExceptionLocation(std::forward<W>(where));
}
}  // namespace detail

// Runs a unit of work; a failure is logged at `level` with `where` and the
// caller goes on. `where` is an ExceptionLocation or a callable that makes one
// (so that a costly context text is built only on failure). Returns whether
// the body completed.
template <class W, class F>
bool guarded(LogLevel level, W&& where, F&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    logStandard(level, detail::resolveWhere(std::forward<W>(where)));
    return false;
  }
}

// Runs a body; a failure gets `where` added and is thrown on.
template <class W, class F>
decltype(auto) rethrowing(W&& where, F&& body) {
  try {
    return body();
  } catch (...) {
    rethrowStandard(detail::resolveWhere(std::forward<W>(where)));
  }
}
