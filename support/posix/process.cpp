// Processes on POSIX: /proc for the running one, posix_spawn for children.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "support/cmdline.h"
#include "support/exceptions.h"
#include "support/text.h"

extern char** environ;

namespace process {

namespace {

std::string readWhole(const char* path) {
  std::string data;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) raiseErrno(text::fromAnsi(std::string("Unable to open file '") + path + "'"), VLOC(L"", "process::readWhole"));
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      data.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    if (n < 0) raiseErrno(err, text::fromAnsi(std::string("Unable to read file '") + path + "'"), VLOC(L"", "process::readWhole"));
    return data;
  }
}

// The spawn settings that keep the child clean: stdout and stderr on the
// pipes, the standard input asked for, nothing else of ours inherited,
// default signal handling.
class SpawnSetup {
 public:
  SpawnSetup(int outputWrite, int errorWrite, int standardInput, const std::string& workingDirectory, bool ownGroup) {
    ::posix_spawn_file_actions_init(&actions_);
    if (standardInput >= 0) ::posix_spawn_file_actions_adddup2(&actions_, standardInput, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions_, outputWrite, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions_, errorWrite, STDERR_FILENO);
    // Descriptors that some library opened without close-on-exec stay with us.
    ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    // A directory that cannot be entered fails the spawn, as a missing program does.
    if (!workingDirectory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions_, workingDirectory.c_str());
    ::posix_spawnattr_init(&attr_);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    // An ignored SIGPIPE or a blocked signal of ours must not carry over.
    ::posix_spawnattr_setsigdefault(&attr_, &all);
    ::posix_spawnattr_setsigmask(&attr_, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownGroup) {
      ::posix_spawnattr_setpgroup(&attr_, 0);  // the child's own id
      flags |= POSIX_SPAWN_SETPGROUP;
    }
    ::posix_spawnattr_setflags(&attr_, flags);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  // Killed by a signal: the shell's convention, never 0.
  return 128 + WTERMSIG(status);
}

}  // namespace

uint32_t currentId() { return static_cast<uint32_t>(::getpid()); }

uint32_t effectiveUserId() { return static_cast<uint32_t>(::geteuid()); }

bool exists(uint32_t pid) {
  // 0 and values beyond pid_t would address process groups or everyone.
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::wstring commandLine() {
  const std::string raw = readWhole("/proc/self/cmdline");
  std::vector<std::wstring> args;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    args.push_back(text::fromAnsi(std::string_view(raw).substr(start, end - start)));
    start = end + 1;
  }
  return joinCommandLine(args);
}

std::wstring executablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n < 0) raiseErrno(L"Unable to read link '/proc/self/exe'", VLOC(L"", "process::executablePath"));
  if (static_cast<size_t>(n) == sizeof buf) raiseWindowsError(L"Unable to read link '/proc/self/exe'", winerr::FilenameTooLong, VLOC(L"", "process::executablePath"));
  return text::fromAnsi(std::string_view(buf, static_cast<size_t>(n)));
}

RunResult run(const std::wstring& path, const std::vector<std::wstring>& args) { return run(path, args, RunOptions{}); }

RunResult run(const std::wstring& path, const std::vector<std::wstring>& args, const RunOptions& options) {
  std::vector<std::wstring> line{path};
  line.insert(line.end(), args.begin(), args.end());
  // The error text shows the masked form: a password argument stays out of logs.
  auto masked = [&] { return maskCommandLine(joinCommandLine(line)); };
  auto where = [&] { return L"CreateProcess '" + masked() + L"'"; };

  std::vector<std::string> argv8;
  for (const std::wstring& a : line) {
    if (a.find(L'\0') != std::wstring::npos) raiseWindowsError(where(), winerr::InvalidParameter, VLOC(L"", "process::run"));
    argv8.push_back(text::toAnsi(a));
  }
  std::vector<char*> argv;
  if (options.workingDirectory.find(L'\0') != std::wstring::npos)
    raiseWindowsError(where(), winerr::InvalidParameter, VLOC(L"", "process::run"));
  const std::string workingDirectory = text::toAnsi(options.workingDirectory);
  for (std::string& a : argv8) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Standard output, and standard error apart when the output is handed over.
  const bool handOver = static_cast<bool>(options.onOutput);
  int fds[2], errorFds[2] = {-1, -1};
  // Close-on-exec from the start, so that no other child inherits our pipe.
  if (::pipe2(fds, O_CLOEXEC) != 0) raiseErrno(where(), VLOC(L"", "process::run"));
  if (handOver && ::pipe2(errorFds, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    raiseErrno(err, where(), VLOC(L"", "process::run"));
  }
  pid_t pid = 0;
  int rc;
  {
    SpawnSetup setup(fds[1], handOver ? errorFds[1] : fds[1], options.standardInput, workingDirectory, options.timeoutSeconds != 0);
    rc = ::posix_spawn(&pid, argv8[0].c_str(), setup.actions(), setup.attr(), argv.data(), environ);
  }
  // Our copies of the write ends must go, or the read below never sees the end.
  ::close(fds[1]);
  if (handOver) ::close(errorFds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    if (handOver) ::close(errorFds[0]);
    raiseErrno(rc, where(), VLOC(L"", "process::run"));
  }

  RunResult result;
  std::vector<char> buf(1 << 16);
  int readError = 0;
  std::exception_ptr failure;  // raised by onOutput
  // Read to the end before waiting: a child that fills the pipe would otherwise wait for us forever.
  const uint64_t deadline = options.timeoutSeconds != 0 ? tickCount() + uint64_t{options.timeoutSeconds} * 1000u : 0;
  // [0]: the output, [1]: the error apart; a closed one is ignored by poll (fd -1).
  struct pollfd streams[2] = {{fds[0], POLLIN, 0}, {handOver ? errorFds[0] : -1, POLLIN, 0}};
  while ((streams[0].fd >= 0 || streams[1].fd >= 0) && readError == 0 && !failure) {
    int wait = -1;
    if (deadline != 0) {
      const uint64_t now = tickCount();
      if (now >= deadline) {
        // The group: the program and whatever it started, which may hold
        // the pipe open after the program itself has gone.
        ::kill(-pid, SIGKILL);
        result.timedOut = true;
        break;
      }
      wait = static_cast<int>(std::min<uint64_t>(deadline - now, 60000));
    }
    const int ready = ::poll(streams, 2, wait);
    if (ready < 0 && errno != EINTR) readError = errno;
    if (ready <= 0) continue;
    for (int i = 0; i < 2 && readError == 0 && !failure; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      const ssize_t n = ::read(streams[i].fd, buf.data(), buf.size());
      if (n > 0 && i == 0 && handOver) {
        try {
          options.onOutput(buf.data(), static_cast<size_t>(n));
        } catch (...) {
          failure = std::current_exception();
        }
      } else if (n > 0) {
        result.output.append(buf.data(), static_cast<size_t>(n));
      } else if (n < 0 && errno != EINTR) {
        readError = errno;
      } else if (n == 0) {
        ::close(streams[i].fd);
        streams[i].fd = -1;
      }
    }
  }
  // The caller gave up on the output: the child must not go on without a reader.
  if (failure) ::kill(options.timeoutSeconds != 0 ? -pid : pid, SIGKILL);
  for (const struct pollfd& s : streams)
    if (s.fd >= 0) ::close(s.fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) raiseErrno(L"GetExitCodeProcess", VLOC(L"", "process::run"));
  }
  if (failure) std::rethrow_exception(failure);
  // Output cut short is no result: the caller would take a part for the whole.
  if (readError != 0) raiseErrno(readError, L"Unable to read the output of '" + masked() + L"'", VLOC(L"", "process::run"));
  // The program itself may have ended before its group was killed.
  result.exitCode = result.timedOut ? 128 + SIGKILL : exitCodeOf(status);
  return result;
}

std::wstring getEnv(const std::wstring& name) {
  const char* value = std::getenv(text::toAnsi(name).c_str());
  return value ? text::fromAnsi(value) : std::wstring();
}

bool setEnv(const std::wstring& name, const std::wstring& value) {
  return ::setenv(text::toAnsi(name).c_str(), text::toAnsi(value).c_str(), 1) == 0;
}

bool unsetEnv(const std::wstring& name) { return ::unsetenv(text::toAnsi(name).c_str()) == 0; }

bool hasEnv(const std::wstring& name) { return std::getenv(text::toAnsi(name).c_str()) != nullptr; }

std::wstring systemTempDirectory() {
  for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
    const char* value = std::getenv(name);
    if (value && *value) return text::fromAnsi(value);
  }
  return L"/tmp";
}

uint64_t tickCount() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::wstring newGuid() {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) raiseErrno(L"Unable to create GUID", VLOC(L"", "process::newGuid"));
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  wchar_t out[37];
  swprintf(out, 37, L"%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8],
           b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

}  // namespace process
