// Shared test fixtures: a private installation per test (registry store,
// lock directory, event log file, product root) and helpers to run the
// built programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "support/logging.h"

namespace testkit {

// A fresh directory under the system temporary directory, removed with the
// object unless HALVEX_KEEP_TEST_DIRS is set.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::wstring wpath() const;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points HALVEX_REGISTRY, HALVEX_LOCK_DIR and HALVEX_EVENT_LOG at a private
// temporary place and lays out a product root (admin/bin, admin/logs) whose
// path is stored as "PRODUCT_ROOT_D" (with "PRODUCT_DATA_D", "HTTPD_VHOSTS_D"
// and the "Packages\ftpserver" key). Restores the environment when destroyed.
class Installation {
 public:
  Installation();
  ~Installation();

  const std::string& root() const { return dir_.path(); }
  std::string productRoot() const { return dir_.path() + "/product"; }
  std::string dataRoot() const { return dir_.path() + "/data"; }
  std::string vhostsRoot() const { return dir_.path() + "/vhosts"; }
  std::string logsDir() const { return productRoot() + "/admin/logs"; }
  std::string registryPath() const { return dir_.path() + "/registry.db"; }
  std::string eventLogPath() const { return dir_.path() + "/events.log"; }
  std::string path(const std::string& name) const { return dir_.file(name); }

  // Environment for a child process (name -> value) reflecting this installation.
  std::map<std::string, std::string> environment() const;

 private:
  TempDir dir_;
  std::map<std::string, std::string> saved_;
};

struct ProgramResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// The built program of that name (build/bin/<name>).
std::string programPath(const std::string& name);

// Runs a program with arguments and extra environment, capturing its output.
ProgramResult runProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {});

// Captures what the log dispatch prints on the console at the given levels
// (all six by default), on a stream of the test's own; the output flags are
// put back when it ends.
class LogCapture {
 public:
  LogCapture(std::initializer_list<LogLevel> levels = {LogLevel::Info, LogLevel::Warning, LogLevel::Result, LogLevel::Error,
                                                       LogLevel::Unexpected, LogLevel::Crash});
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything printed so far, messages separated by single newlines.
  std::string text() const;
  // How often `what` occurs in it.
  size_t count(const std::string& what) const;

 private:
  FILE* file_;
  OutputFlags saved_;
};

size_t occurrences(const std::string& text, const std::string& what);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// What a shell command line prints on its standard output.
std::string commandOutput(const std::string& command);

// Real servers on loopback, for the tests that drive one with a real client.
// A port free on 127.0.0.1 now (0 when none could be had).
int freeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
bool answersOnLoopback(int port);
// A server run in the foreground under the time zone `zone`, its output
// appended to `output`; waited for (boundedly) until it answers on `port`;
// stopped (SIGTERM, waited for) when the object ends.
class LoopbackServer {
 public:
  LoopbackServer(const std::vector<std::string>& argv, const std::string& zone, const std::string& output, int port);
  ~LoopbackServer() { stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  bool up() const { return pid_ > 0 && answersOnLoopback(port_); }
  int pid() const { return pid_; }
  // Bounded: a server that never comes up fails its test with its output.
  void waitUp() const;
  void stop();

 private:
  int pid_ = 0;
  int port_;
};
// The UTC moment of a common-log time ("10/Oct/2000:13:55:36 -0700"), read
// by the tests themselves rather than by the readers they check.
std::tm utcOfCommonLogTime(const std::string& stamp);
bool fileExists(const std::string& path);
// A debug log file's entries decoded from UTF-16LE.
std::string readUtf16File(const std::string& path);

}  // namespace testkit
