#include "app/vconsoleapp.h"

#include "support/cmdline.h"
#include "support/logging.h"
#include "support/process.h"

// Processor faults are not turned into exceptions here: the fault handlers
// installed at start write a crash report and end the process with code 1.

int vconsoleapp::run(int argc, const wchar_t* const* argv) {
  const std::wstring masked = maskCommandLine(process::commandLine());
  logMessage(LogLevel::Info, L"start %s", masked);
  int result = 1;
  try {
    result = start(argc, argv);
  } catch (...) {
    logStandard(LogLevel::Error, VLOC(vaformat(L"execute %s", masked), "vconsoleapp::run"));
  }
  logMessage(LogLevel::Info, L"end %s with code %d", masked, result);
  return result;
}

int vconsoleapp::go(int, const wchar_t* const*) {
  throw vexception(L"Invalid command " + commandName, VLOC(L"", "vconsoleapp::go"));
}

void vconsoleapp::usage() { throw vexception(L"Missing command parameter", VLOC(L"", "vconsoleapp::usage")); }

int vconsoleapp::start(int argc, const wchar_t* const* argv) {
  const wchar_t* const* commandArgs = argv;
  int commandCount = 0;
  if (argc >= 2) {
    commandName = argv[1];
    commandArgs = argv + 2;
    commandCount = argc - 2;
  } else if (commandName.empty()) {
    usage();
    return 1;
  }
  return rethrowing(
      [&] { return VLOC(vaformat(L"execute console command %s", maskCommandLine(commandName)), "vconsoleapp::start"); },
      [&] { return go(commandCount, commandArgs); });
}
