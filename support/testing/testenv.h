// Helpers for the tests of the registry, mutexes and logs: a private
// temporary directory holding the test's own registry store, lock directory
// and event log file, and child processes with their output on pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace testenv {

// A new directory of its own, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvex-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable (or unsets it, for nullopt) until destroyed.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value)
      setenv(name_.c_str(), value->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The places every test must give its own: registry store, lock directory
// and event log file, all inside one temporary directory.
struct IsolatedEnvironment {
  TempDir dir;
  std::string registryPath = dir / "registry/registry.db";
  std::string lockDir = dir / "locks";
  std::string eventLog = dir / "events.log";
  ScopedEnv registry{"HALVEX_REGISTRY", registryPath};
  ScopedEnv locks{"HALVEX_LOCK_DIR", lockDir};
  ScopedEnv events{"HALVEX_EVENT_LOG", eventLog};
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Where the built programs are: HALVEX_TEST_BIN_DIR (set by ctest), else
// beside the running test binary.
inline std::string binDir() {
  if (const char* dir = std::getenv("HALVEX_TEST_BIN_DIR"); dir && *dir) return dir;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// A running child with its standard input and output on pipes.
class Child {
 public:
  // Standard error goes to the file `errorPath` when one is given.
  Child(const std::string& path, const std::vector<std::string>& args, const std::string& errorPath = "") {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (!errorPath.empty()) posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (rc != 0) throw std::runtime_error("cannot start " + path);
  }
  ~Child() {
    closeInput();
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of output without its line break; "" at end of output.
  std::string readLine() {
    std::string line;
    char c;
    while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  std::string readAll() {
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    return all;
  }
  void write(const std::string& data) { (void)!::write(in_, data.data(), data.size()); }
  void closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void kill(int signal) { ::kill(pid_, signal); }
  // The exit code, or 128 + the signal that ended it.
  int wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

struct Result {
  int exitCode = 0;
  std::string out;
  std::string err;
};

// Runs a program to its end with `input` on its standard input; standard
// error is collected through a file of `scratch`.
inline Result run(const std::string& path, const std::vector<std::string>& args, const std::string& scratch, const std::string& input = "") {
  const std::string errPath = scratch + "/stderr.txt";
  Child child(path, args, errPath);
  child.write(input);
  child.closeInput();
  Result r;
  r.out = child.readAll();
  r.exitCode = child.wait();
  r.err = readFile(errPath);
  return r;
}

}  // namespace testenv
