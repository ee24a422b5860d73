// Processes: the current one, liveness of another, and running a child with
// its output captured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace process {

uint32_t currentId();
// The user the process acts as (its effective user id).
uint32_t effectiveUserId();
// Whether a process with that id exists (kill(pid, 0) does not fail with
// ESRCH); 0 and ids beyond the system's range do not.
bool exists(uint32_t pid);
// The program path and arguments, each quoted with quoteArgument, joined by blanks.
std::wstring commandLine();
// The full path of the running executable.
std::wstring executablePath();

struct RunResult {
  int exitCode = 0;
  std::string output;  // standard output and standard error, in order
  bool timedOut = false;  // killed at the time-out (exitCode 128 + SIGKILL)
};

// Optional settings of a run.
struct RunOptions {
  // The child's working directory; empty: ours.
  std::wstring workingDirectory;
  // With a time-out (seconds, 0: none) the child leads a process group of
  // its own; when it has not ended and closed its output by then, the whole
  // group is killed (SIGKILL), so a hung program and the children it started
  // go together, and the result says timedOut with the output read so far.
  unsigned timeoutSeconds = 0;
  // A descriptor of ours that the child gets as its standard input (it stays
  // open for us); -1: our standard input. A file opened by the caller is
  // then read by the child without its path being looked up again.
  int standardInput = -1;
  // Standard output handed over as it comes instead of gathered, so that
  // output of any size passes without being held whole; standard error then
  // goes apart, gathered in the result's output. When it raises, the child
  // (its group, with a time-out) is killed and waited for, and the exception
  // goes on to the caller.
  std::function<void(const char* data, size_t size)> onOutput;
};

// Starts `path` directly (no shell, no PATH search) with argv, standard
// output and error on one pipe (apart with onOutput), reads the output to its
// end, then waits. The child gets our environment, our standard input unless
// another is given, default signal handling, and no other descriptor of ours. A child killed by a signal gives 128 + the
// signal number. Raises the Windows error with "CreateProcess '" + the
// masked command line + "'" when the child cannot be started.
RunResult run(const std::wstring& path, const std::vector<std::wstring>& args);
RunResult run(const std::wstring& path, const std::vector<std::wstring>& args, const RunOptions& options);

// Environment.
std::wstring getEnv(const std::wstring& name);  // empty when unset
bool setEnv(const std::wstring& name, const std::wstring& value);
bool unsetEnv(const std::wstring& name);
// Whether the variable is set (possibly to an empty value).
bool hasEnv(const std::wstring& name);
// TMPDIR, else TMP, else TEMP, else /tmp.
std::wstring systemTempDirectory();

// Milliseconds of CLOCK_MONOTONIC.
uint64_t tickCount();

// A new random (version 4) GUID in its 36-character form, lower case.
std::wstring newGuid();

}  // namespace process
