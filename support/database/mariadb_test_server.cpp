#include "support/database/mariadb_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tests/testkit.h"

extern char** environ;

namespace testkit {

namespace {

constexpr const char* kServer = "/usr/sbin/mariadbd";
constexpr const char* kInstall = "/usr/bin/mariadb-install-db";
constexpr const char* kClient = "/usr/bin/mariadb";

std::unique_ptr<TempDir>& serverDir() {
  static std::unique_ptr<TempDir> dir;
  return dir;
}

std::unique_ptr<MariaDbServer>& instance() {
  static std::unique_ptr<MariaDbServer> server;
  return server;
}

}  // namespace

// Stops the server when the test binary's tests have ended.
class MariaDbEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (instance()) instance()->stop();
  }
};

namespace {
[[maybe_unused]] ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new MariaDbEnvironment);
}

MariaDbServer* MariaDbServer::shared() {
  if (::access(kServer, X_OK) != 0 || ::access(kInstall, X_OK) != 0) return nullptr;
  if (!instance()) {
    instance().reset(new MariaDbServer);
    instance()->start();
  }
  return instance().get();
}

MariaDbServer::~MariaDbServer() { stop(); }

unsigned MariaDbServer::closedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    throw std::runtime_error("no free loopback port");
  // Bound but never listening: a connection to it is refused.
  ::close(s);
  return ntohs(a.sin_port);
}

void MariaDbServer::start() {
  serverDir() = std::make_unique<TempDir>();
  dataDir_ = serverDir()->file("data");
  // A temporary directory of the server's own: servers of tests running at
  // the same time must not meet in /tmp (their temporary tables collide).
  const std::string tmpDir = serverDir()->file("tmp");
  ::mkdir(tmpDir.c_str(), 0700);
  const ProgramResult installed = runProgram(kInstall, {"--no-defaults", "--datadir=" + dataDir_, "--user=root", "--auth-root-authentication-method=normal"},
                                             {{"TMPDIR", tmpDir}});
  if (installed.exitCode != 0) throw std::runtime_error("mariadb-install-db failed: " + installed.output);

  // A port taken between choosing and binding makes the server exit; choose again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = closedPort();
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
    std::vector<std::string> args{kServer,        "--no-defaults", "--datadir=" + dataDir_, "--socket=" + dataDir_ + "/sock",
                                  "--port=" + std::to_string(port_), "--bind-address=127.0.0.1", "--user=root", "--pid-file=" + dataDir_ + "/pid",
                                  "--tmpdir=" + tmpDir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, kServer, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipefd[1]);
    if (rc != 0) {
      ::close(pipefd[0]);
      throw std::runtime_error("cannot start mariadbd");
    }
    // The server says when it accepts connections; its output is read until then.
    std::string seen;
    char buf[4096];
    bool ready = false;
    for (;;) {
      const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<size_t>(n));
      if (seen.find("ready for connections") != std::string::npos) {
        ready = true;
        break;
      }
    }
    if (ready) {
      pid_ = pid;
      output_ = pipefd[0];
      // Keeps reading, so that the server never blocks on a full pipe.
      drain_ = new std::thread([fd = output_] {
        char sink[4096];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
      });
      return;
    }
    ::close(pipefd[0]);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (seen.find("Bind on TCP/IP port") == std::string::npos) throw std::runtime_error("mariadbd did not start: " + seen);
  }
  throw std::runtime_error("mariadbd found no free port");
}

void MariaDbServer::stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (auto* t = static_cast<std::thread*>(drain_)) {
    t->join();
    delete t;
    drain_ = nullptr;
  }
  if (output_ >= 0) ::close(output_);
  output_ = -1;
  serverDir().reset();
}

std::string MariaDbServer::sql(const std::string& statements) const {
  const ProgramResult r = runProgram(kClient, {"--no-defaults", "-h127.0.0.1", "-P" + std::to_string(port_), "-uroot", "-N", "-B", "-e", statements});
  if (r.exitCode != 0) ADD_FAILURE() << "mariadb client failed on: " << statements << "\n" << r.output;
  return r.output;
}

}  // namespace testkit
