#include "tests/hostile_support.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "app/business_lock.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/soak_world.h"

namespace hostile {

namespace fs = std::filesystem;

namespace {
const char* kWebHeader =
    "#Software: Microsoft Internet Information Services\r\n#Version: 1.0\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
    "sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";
}

time_t frozenNow() {
  struct tm tm = {};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 10;
  tm.tm_hour = 12;
  return timegm(&tm);
}

FileState snapshot(const std::string& path) {
  FileState s;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.inode = st.st_ino;
  s.type = st.st_mode & S_IFMT;
  s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.links = st.st_nlink;
  s.mode = st.st_mode & 07777;
  s.uid = st.st_uid;
  s.gid = st.st_gid;
  if (S_ISREG(st.st_mode)) s.content = testkit::readFile(path);
  if (S_ISLNK(st.st_mode)) s.linkTarget = fs::read_symlink(path).string();
  return s;
}

namespace {

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

Tenant::Tenant() {
  static int made = 0;
  name_ = "hxtenant" + std::to_string(::getpid()) + "x" + std::to_string(++made);
  const std::string add = "/usr/sbin/useradd --system --no-create-home --shell /usr/sbin/nologin --user-group " + name_ + " 2>&1";
  if (std::system(add.c_str()) != 0) throw std::runtime_error("useradd " + name_ + " failed (the tests run as root)");
  const struct passwd* pw = ::getpwnam(name_.c_str());
  if (!pw) throw std::runtime_error("no user " + name_ + " after useradd");
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
}

Tenant::~Tenant() { std::system(("/usr/sbin/userdel " + name_ + " >/dev/null 2>&1").c_str()); }

// Without the clock a run may be under: libfaketime's shared state belongs to
// root, and a tenant's process that loads it fails at start.
std::string Tenant::as(const std::string& command) const {
  return "/usr/bin/env -u LD_PRELOAD -u FAKETIME -u FAKETIME_SHARED /usr/sbin/runuser -u " + name_ + " -- /bin/sh -c " + shellQuoted(command);
}

void Tenant::own(const std::string& path) const {
  ::lchown(path.c_str(), uid_, gid_);
  if (!fs::is_directory(fs::symlink_status(path))) return;
  for (const auto& e : fs::recursive_directory_iterator(path)) ::lchown(e.path().c_str(), uid_, gid_);
}

MailSink::MailSink() {
  // The source tree holds the server script: <source>/<build>/bin/<test>.
  const fs::path script = fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path() / "logrotate/testdata/smtp_server.py";
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    const std::string log = dir_.file("server.log");
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) ::dup2(err, 2);
    ::execl("/usr/bin/python3", "python3", script.c_str(), "--out", dir_.path().c_str(), "--lifetime", "300", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  const int port = std::atoi(line.c_str());
  if (port <= 0) throw std::runtime_error("the SMTP server did not start: " + testkit::readFile(dir_.file("server.log")));
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendHost", L"127.0.0.1");
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendPort", static_cast<uint32_t>(port));
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendSSL", 0);
}

MailSink::~MailSink() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

std::vector<std::string> MailSink::messages() const {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir_.path()))
    if (e.path().extension() == ".eml") out.push_back(testkit::readFile(e.path().string()));
  return out;
}

std::string MailSink::everything() const {
  std::string all;
  for (const auto& e : fs::directory_iterator(dir_.path()))
    if (e.path().filename() != "server.log") all += testkit::readFile(e.path().string()) + "\n";
  return all;
}

std::map<std::string, FileState> tree(const std::string& dir) {
  std::map<std::string, FileState> out;
  if (!fs::is_directory(fs::symlink_status(dir))) return out;
  out["."] = snapshot(dir);
  for (const auto& e : fs::recursive_directory_iterator(dir)) out[fs::relative(e.path(), dir).string()] = snapshot(e.path().string());
  return out;
}

void ProgramTest::SetUp() {
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", 1);
  for (const char* tool : {"webhostctl", "ftphostctl"})
    fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
  for (const char* d : {"a.example", "b.example"}) fs::create_directories(logsDir(d));
  fs::create_directories(ftpDir());
  writeConfig();
}

void ProgramTest::giveToTenant(const Tenant& tenant, const std::string& domain) {
  for (const std::string& dir : {install.root(), install.vhostsRoot()}) ::chmod(dir.c_str(), 0711);
  tenant.own(install.vhostsRoot() + "/" + domain);
}

void ProgramTest::writeConfig(const std::string& domainA, const std::string& domainB) {
  testkit::writeFile(configPath(), "<?xml version=\"1.0\"?>\n<config>\n  <domain id=\"1\" name=\"a.example\" hosting=\"true\" " + domainA +
                                       "</domain>\n  <domain id=\"2\" name=\"b.example\" hosting=\"true\" " + domainB +
                                       "</domain>\n  <ftp><ip address=\"192.0.2.10\"/></ftp>\n</config>\n");
}

void ProgramTest::webLines(const std::string& domainId, const std::string& domain, const std::string& file, int n, time_t when, bool counted) {
  const std::string path = logsDir(domain) + "/" + file;
  std::string out = fs::exists(path) ? "" : kWebHeader;
  for (int i = 0; i < n; ++i) {
    const time_t t = when + i;
    const int64_t sc = rng() % 100000, cs = rng() % 2000;
    char line[512];
    snprintf(line, sizeof line, "%s %s 10.0.0.1 GET /p%d.html - 80 - 203.0.113.%d Mozilla/5.0 200 0 0 %lld %lld 15\r\n", soak::formatDate(t).c_str(),
             soak::formatTime(t).c_str(), i, i % 250, static_cast<long long>(sc), static_cast<long long>(cs));
    out += line;
    if (!counted) continue;
    auto& v = expected[{domainId, soak::formatDate(t), "http"}];
    v.first += cs;
    v.second += sc;
  }
  soak::appendStamped(path, out, when + (n > 0 ? n - 1 : 0));
}

void ProgramTest::bait(const std::string& path, time_t when) {
  const std::string line = std::string(kWebHeader) + soak::formatDate(when) + " " + soak::formatTime(when) +
                           " 10.0.0.1 GET /secret - 80 - 1.1.1.1 x 200 0 0 777777777 666666666 1\r\n";
  soak::appendStamped(path, line, when);
}

testkit::ProgramResult ProgramTest::run(std::vector<std::string> args, const std::string& results, const std::string& fakeTime,
                                        const std::map<std::string, std::string>& env) {
  auto all = install.environment();
  all["TMPDIR"] = tmp.path();
  for (const auto& [k, v] : hookEnv) all[k] = v;
  for (const auto& [k, v] : env) all[k] = v;
  if (!fakeTime.empty()) {
    const auto preload = all.find("LD_PRELOAD");
    all["LD_PRELOAD"] = (preload != all.end() ? preload->second + ":" : std::string()) + "/usr/$LIB/faketime/libfaketime.so.1";
    all["FAKETIME"] = fakeTime;
    // File times stay real: the tests set them to the clock they mean.
    all["NO_FAKE_STAT"] = "1";
  }
  args.push_back("--config=" + configPath());
  args.push_back("--save-results-to=" + results);
  args.insert(args.begin(), {"-s", "KILL", "60", testkit::programPath("statistics")});
  return testkit::runProgram("/usr/bin/timeout", args, all);
}

void ProgramTest::useHook(const std::string& command) {
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"MAIL_PROVIDERW_DLL", text::fromAnsi(HALVEX_HOOK_PROVIDER));
  hookEnv["HALVEX_TEST_HOOK"] = command;
}

void ProgramTest::standIn(const std::string& utility, const std::string& script) {
  const std::string path = install.productRoot() + "/admin/bin/" + utility;
  if (!fs::exists(path + ".real")) fs::rename(path, path + ".real");
  testkit::writeFile(path, script);
  fs::permissions(path, fs::perms::owner_all);
}

std::wstring ProgramTest::marker(const std::wstring& id, const wchar_t* name) const {
  std::wstring v;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(id), name, v);
  return v;
}

uint32_t ProgramTest::lockValue(const std::wstring& id) const {
  uint32_t v = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, domainKey(id), L"OfflineLockStatus", v, RegView32);
  return v;
}

}  // namespace hostile
