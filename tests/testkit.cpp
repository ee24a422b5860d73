#include "tests/testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/registry.h"
#include "support/text.h"

extern char** environ;

namespace testkit {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/halvex-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  if (std::getenv("HALVEX_KEEP_TEST_DIRS")) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::wstring TempDir::wpath() const { return text::fromAnsi(path_); }

namespace {
const char* const kVariables[] = {"HALVEX_REGISTRY", "HALVEX_LOCK_DIR", "HALVEX_EVENT_LOG"};
}

Installation::Installation() {
  for (const char* v : kVariables) {
    const char* old = std::getenv(v);
    saved_[v] = old ? old : std::string("\x01");
  }
  for (const auto& [k, v] : environment()) ::setenv(k.c_str(), v.c_str(), 1);
  for (const std::string& d : {productRoot() + "/admin/bin", logsDir(), dataRoot(), vhostsRoot()}) std::filesystem::create_directories(d);
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", text::fromAnsi(productRoot()));
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_DATA_D", text::fromAnsi(dataRoot()));
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HTTPD_VHOSTS_D", text::fromAnsi(vhostsRoot()));
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"HalvexService", L"halvex-service");
  registry::setString(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Packages\\ftpserver", L"", L"ftpserver");
}

Installation::~Installation() {
  for (const auto& [k, v] : saved_) {
    if (v == "\x01")
      ::unsetenv(k.c_str());
    else
      ::setenv(k.c_str(), v.c_str(), 1);
  }
}

std::map<std::string, std::string> Installation::environment() const {
  return {{"HALVEX_REGISTRY", registryPath()}, {"HALVEX_LOCK_DIR", dir_.path() + "/locks"}, {"HALVEX_EVENT_LOG", eventLogPath()}};
}

std::string programPath(const std::string& name) {
  const char* dir = std::getenv("HALVEX_TEST_BIN_DIR");
  if (dir && *dir) return std::string(dir) + "/" + name;
  // Beside the running test binary.
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path() / name).string();
}

ProgramResult runProgram(const std::string& path, const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);

  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  ProgramResult result;
  if (rc != 0) {
    close(pipefd[0]);
    result.output = "spawn failed: " + path;
    return result;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(pipefd[0], buf, sizeof(buf));
    if (n > 0) {
      result.output.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

LogCapture::LogCapture(std::initializer_list<LogLevel> levels) : file_(std::tmpfile()), saved_(LogManager::instance().flags()) {
  OutputFlags& flags = LogManager::instance().flags();
  for (int level = 0; level < 6; ++level) flags.flag[level] = false;
  for (LogLevel level : levels) flags.flag[static_cast<int>(level)] = true;
  flags.flag[12] = false;  // the first captured message is not preceded by a newline
  LogManager::instance().setConsoleStream(file_);
}

LogCapture::~LogCapture() {
  LogManager::instance().setConsoleStream(nullptr);
  LogManager::instance().flags() = saved_;
  std::fclose(file_);
}

std::string LogCapture::text() const {
  std::fflush(file_);
  std::rewind(file_);
  std::string out;
  char buf[4096];
  while (const size_t n = std::fread(buf, 1, sizeof buf, file_)) out.append(buf, n);
  std::fseek(file_, 0, SEEK_END);
  return out;
}

size_t LogCapture::count(const std::string& what) const { return occurrences(text(), what); }

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string readUtf16File(const std::string& path) {
  std::string raw = readFile(path);
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) raw = raw.substr(2);
  return text::toUtf8(text::fromUtf16le(raw));
}

}  // namespace testkit

namespace testkit {

std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

int freeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  close(s);
  return ok ? ntohs(a.sin_port) : 0;
}

bool answersOnLoopback(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

LoopbackServer::LoopbackServer(const std::vector<std::string>& argv, const std::string& zone, const std::string& output, int port) : port_(port) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TZ=", 0) != 0) env.push_back(*e);
  env.push_back("TZ=" + zone);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) pid = 0;
  pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  waitUp();
}

void LoopbackServer::waitUp() const {
  for (int i = 0; i < 200 && pid_ > 0 && !answersOnLoopback(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void LoopbackServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

std::tm utcOfCommonLogTime(const std::string& stamp) {
  std::tm t{};
  char month[4] = {};
  int offset = 0;
  std::sscanf(stamp.c_str(), "%d/%3s/%d:%d:%d:%d %d", &t.tm_mday, month, &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec, &offset);
  t.tm_mon = static_cast<int>(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(month) / 3);
  t.tm_year -= 1900;
  const int sign = offset < 0 ? -1 : 1;
  offset *= sign;
  const time_t utc = timegm(&t) - sign * ((offset / 100) * 3600 + (offset % 100) * 60);
  std::tm u{};
  gmtime_r(&utc, &u);
  return u;
}

}  // namespace testkit
