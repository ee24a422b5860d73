// Crash reports. A processor fault (an invalid memory access, an integer
// division by zero, an illegal instruction, a stack overflow) ends the
// process with exit code 1 after writing a report: throwing from a signal
// handler is not sound, so a fault is never turned into an exception here.
// The report is a text file "<directory>/<prefix><YYYYMMDD_hhmmss>.dmp"
// (local time) holding the signal, the matching Windows exception code, the
// faulting address and a backtrace; one line on standard error names it.
//
// Settings, DWORDs and strings of the configuration key: "CrashDumpsEnabled"
// (0 or missing: off), "PRODUCT_ROOT_D" (missing or empty: off; the directory
// is <PRODUCT_ROOT_D>/etc/crashdumps), "CrashDumpsLocation" (replaces that
// directory when present and not empty), "CrashDumpsMaxCount" (default 10).
#pragma once

#include <cstdint>
#include <string>

class CrashDumpInfo {
 public:
  // Reads the settings; when enabled, creates the directory (mode 0700: a
  // report shows the program's state). Raises when the registry store cannot
  // be read or the directory cannot be created.
  CrashDumpInfo();

  bool enabled() const { return enabled_; }
  uint32_t maxCount() const { return maxCount_; }
  const std::wstring& directory() const { return directory_; }
  // The program's file name without its extension.
  const std::wstring& prefix() const { return prefix_; }

  // The path for a report written now; raises vexception "Crash dumping does
  // not enabled" (location CrashDumpInfo::getFileName) when disabled.
  std::wstring getFileName() const;

  // Deletes the oldest "*.dmp" files of the directory (regular files, by
  // last-write time) until at most maxCount remain. Nothing when disabled.
  void pruneOldDumps() const;

 private:
  bool enabled_ = false;
  uint32_t maxCount_ = 10;
  std::wstring directory_;
  std::wstring prefix_;
};

// The Windows exception code of a fault signal and its si_code: 0xc0000005
// access violation (SIGSEGV), 0xc0000094 integer divide by zero, 0xc000001d
// illegal instruction, and their neighbours; 0 for a signal that is no fault.
uint32_t faultExceptionCode(int signal, int signalCode);

// Reads the settings (a failure is logged at Warning and leaves reports off)
// and installs the handlers of SIGSEGV, SIGBUS, SIGFPE and SIGILL on an
// alternate stack, so that a stack overflow is reported too. Old reports are
// pruned when the process exits normally. Called once, early in main, on the
// main thread; later calls do nothing.
void installFaultHandlers();
