// The console application frame: logs the command line when a run starts
// and its exit code when it ends, and turns any exception that escapes the
// work into a logged Error and exit code 1.
#pragma once

#include <string>

class vconsoleapp {
 public:
  vconsoleapp() = default;
  virtual ~vconsoleapp() = default;

  // The frame around start: "start %s" with the masked command line, the
  // call inside the standard catch set (context "execute %s"), then
  // "end %s with code %d". Returns 0 for a completed run, 1 otherwise.
  int run(int argc, const wchar_t* const* argv);

  // Base version: always throws "Invalid command " + commandName.
  virtual int go(int argc, const wchar_t* const* argv);
  // Base version: command dispatch; the first argument names the command.
  virtual int start(int argc, const wchar_t* const* argv);
  // Base version: always throws "Missing command parameter".
  virtual void usage();

 protected:
  std::wstring commandName;
};
