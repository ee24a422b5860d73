// Whole-program tests of hostile tenants and of faults: a private
// installation with two hosted domains whose logs the tests write, the
// program run with a time-out (a run that blocks is a failure, not a hung
// suite), under a chosen clock, and with a hook in the middle of the run.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/soak_results.h"
#include "tests/testkit.h"

namespace hostile {

// What a file looks like from outside: a test checks that nothing changed it.
struct FileState {
  bool exists = false;
  ino_t inode = 0;
  mode_t type = 0;  // S_IFREG, S_IFLNK, ...
  int64_t mtimeNs = 0;
  uint64_t links = 0;
  mode_t mode = 0;  // permission bits
  uid_t uid = 0;
  gid_t gid = 0;
  std::string content;     // a regular file's bytes
  std::string linkTarget;  // a link's target
  bool operator==(const FileState&) const = default;
};
// lstat of the path: a link is described as itself.
FileState snapshot(const std::string& path);

// A real unprivileged user, made for one test (useradd, with a group of its
// own) and removed with it (userdel): the tenant of the attacks.
class Tenant {
 public:
  Tenant();
  ~Tenant();
  Tenant(const Tenant&) = delete;
  Tenant& operator=(const Tenant&) = delete;
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  // A shell command line that runs `command` with /bin/sh as this user.
  std::string as(const std::string& command) const;
  // Gives a tree to the tenant (chown -R, links as themselves).
  void own(const std::string& path) const;

 private:
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// The loopback SMTP server of the rotation tests (Debian's aiosmtpd), with
// the mail settings pointed at it: every message it accepted, as sent.
class MailSink {
 public:
  MailSink();
  ~MailSink();
  MailSink(const MailSink&) = delete;
  MailSink& operator=(const MailSink&) = delete;
  // The raw messages (headers and encoded body) and, for each, its decoded
  // parts and envelope recipients, all in one text to search.
  std::vector<std::string> messages() const;
  std::string everything() const;

 private:
  testkit::TempDir dir_;
  pid_t pid_ = -1;
};

// Every entry below a directory (links as themselves), by path relative to it.
std::map<std::string, FileState> tree(const std::string& dir);

class ProgramTest : public ::testing::Test {
 protected:
  // Domains 1 "a.example" and 2 "b.example" with logs directories, the panel
  // utilities, an FTP server directory, Debug on (every message reaches the
  // event log file).
  void SetUp() override;

  // Writes the configuration: `domainA` and `domainB` complete the two domain
  // elements after their id, name and hosting attributes (more attributes,
  // ">", children).
  void writeConfig(const std::string& domainA = ">", const std::string& domainB = ">");
  std::string configPath() const { return install.path("config.xml"); }
  std::string logsDir(const std::string& domain) const { return install.vhostsRoot() + "/" + domain + "/logs"; }
  std::string ftpDir() const { return install.dataRoot() + "/ftp/logs/192.0.2.10"; }

  // Appends n web lines of the domain stamped at `when` (UTC seconds; one
  // second apart) to the file of its logs directory, whose last-write time
  // becomes that of the last line. Counted ones go into `expected`.
  void webLines(const std::string& domainId, const std::string& domain, const std::string& file, int n, time_t when, bool counted = true);
  // Appends one W3C web line with huge byte counts to any file: what a
  // tenant would like to see counted; its last-write time becomes `when`.
  static void bait(const std::string& path, time_t when);

  // Runs the program with the arguments, "--config" and "--save-results-to"
  // added, under the clock `fakeTime` (libfaketime's FAKETIME: "+1h", an
  // absolute "2026-12-10 12:00:00" that stands still, ...; empty: the real
  // clock). A run still going after 60 seconds is killed (exit code 137).
  testkit::ProgramResult run(std::vector<std::string> args, const std::string& results, const std::string& fakeTime = "",
                             const std::map<std::string, std::string>& env = {});
  // Makes the mail provider a hook that runs `command` with /bin/sh in the
  // middle of a run with --mail-traffic: after traffic collection, before
  // anything is recorded.
  void useHook(const std::string& command);
  // Replaces a panel utility with a shell script; the real one stays beside
  // it as <name>.real.
  void standIn(const std::string& utility, const std::string& script);

  // Gives the domain's webspace (vhosts/<domain>) to the tenant and lets
  // every user reach it (the installation's directories searchable).
  void giveToTenant(const Tenant& tenant, const std::string& domain);

  std::string events() const { return testkit::readFile(install.eventLogPath()); }
  std::wstring marker(const std::wstring& id, const wchar_t* name) const;
  uint32_t lockValue(const std::wstring& id) const;

  testkit::Installation install;
  testkit::TempDir tmp;
  std::mt19937 rng{4711};
  soak::Figures expected;
  std::map<std::string, std::string> hookEnv;
};

// A fixed moment for tests that run under a clock that stands still.
inline constexpr const char* kFrozenNow = "2026-12-10 12:00:00";
time_t frozenNow();

}  // namespace hostile
