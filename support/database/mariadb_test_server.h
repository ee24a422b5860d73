// A private MariaDB server for tests: its own data directory, loopback only,
// on a free port; started on first use and stopped (SIGTERM) when the test
// binary ends.
#pragma once

#include <string>
#include <vector>

namespace testkit {

class MariaDbServer {
 public:
  // The server of this test binary, or nullptr when mariadbd is not
  // installed (the caller skips). A server that fails to start fails the test.
  static MariaDbServer* shared();

  unsigned port() const { return port_; }
  // Runs statements with the mariadb command-line client as root and returns
  // its output (tab-separated rows, no column names). Fails the test on an error.
  std::string sql(const std::string& statements) const;
  // A loopback port on which nothing listens.
  static unsigned closedPort();

  ~MariaDbServer();

 private:
  MariaDbServer() = default;
  void start();
  void stop() noexcept;
  friend class MariaDbEnvironment;

  std::string dataDir_;
  unsigned port_ = 0;
  int pid_ = -1;
  int output_ = -1;
  void* drain_ = nullptr;  // the thread that keeps reading the server's output
};

}  // namespace testkit
