// The operator's terminal, on a real pseudo-terminal: this test binary runs
// itself again as the child (TerminalChild.Run) with its standard error on
// the slave side of a pty, or on a pipe, and the parent reads what reached it.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>

#include "support/logging.h"
#include "tests/testkit.h"

namespace {

constexpr const char* kChildVariable = "HALVEX_TERMINAL_TEST_CHILD";

// What the child does: a run in miniature. Entries of every level, one of
// them an exception with a trace and a tenant's name holding an escape
// sequence, and a step of three domains with an error in its middle.
void childBody() {
  applyServicePreset();  // as the statistics run driver: nothing on the console
  logMessage(LogLevel::Info, L"an info entry");
  logMessage(LogLevel::Warning, L"a warning entry");
  terminal::progressStep(L"disk usage", 3);
  terminal::progressDomainDone();
  try {
    throw vexception(L"Unable to open /var/www/vhosts/\x1b[2Jevil.example/logs", VLOC(L"", "DiskUsageCalculator::walk"));
  } catch (...) {
    logStandard(LogLevel::Error, VLOC(L"Calculate domain evil.example disk space", "statistics::start"));
  }
  terminal::progressDomainDone();
  terminal::progressDomainDone();
  terminal::progressDomainDone();  // one beyond the total stays at the total
  terminal::progressStep(L"mail traffic", 0);
  logMessage(LogLevel::Unexpected, L"Possible parameters:\n    [--help]\n    [--all]");
  std::exit(0);  // the progress line is cleared at exit
}

std::string selfPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

[[noreturn]] void execChild(const std::string& self) {
  ::setenv(kChildVariable, "1", 1);
  // Only standard error is looked at: the test framework's own report goes away.
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  ::execl(self.c_str(), self.c_str(), "--gtest_filter=TerminalChild.Run", static_cast<char*>(nullptr));
  ::_exit(127);
}

struct ChildOutput {
  std::string standardError;
  int status = -1;
};

std::string readAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // end of the pipe, or EIO once the pty's slave side is closed
    }
  }
  return out;
}

ChildOutput runOnTerminal() {
  const std::string self = selfPath();
  struct termios raw {};
  ::cfmakeraw(&raw);  // no "\n" to "\r\n": the bytes as the program wrote them
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, &raw, nullptr);
  if (pid == 0) execChild(self);
  ChildOutput result;
  if (pid < 0) return result;
  result.standardError = readAll(master);
  ::waitpid(pid, &result.status, 0);
  ::close(master);
  return result;
}

ChildOutput runOnPipe() {
  const std::string self = selfPath();
  int fds[2];
  ChildOutput result;
  if (::pipe(fds) != 0) return result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], STDERR_FILENO);
    execChild(self);
  }
  ::close(fds[1]);
  result.standardError = readAll(fds[0]);
  ::close(fds[0]);
  ::waitpid(pid, &result.status, 0);
  return result;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

}  // namespace

TEST(TerminalChild, Run) {
  if (!std::getenv(kChildVariable)) GTEST_SKIP() << "the child of TerminalTest";
  childBody();
}

TEST(TerminalTest, ErrorsAndProgressReachATerminalAndNothingReachesARedirectedStream) {
  testkit::Installation install;
  const std::string clear = "\r\x1b[K";

  const ChildOutput tty = runOnTerminal();
  ASSERT_TRUE(WIFEXITED(tty.status) && WEXITSTATUS(tty.status) == 0) << tty.standardError;
  const std::string& out = tty.standardError;
  const std::string program = "support_tests: ";

  // Info and Warning stay off the terminal.
  EXPECT_EQ(out.find("an info entry"), std::string::npos) << out;
  EXPECT_EQ(out.find("a warning entry"), std::string::npos) << out;

  // The error is one line: program, level, message, then the non-empty
  // contexts of its trace innermost first; the tenant's escape character
  // arrives escaped, never as a control sequence of the terminal.
  const std::string errorLine = clear + program +
                                "Error: Unable to open /var/www/vhosts/\\x1b[2Jevil.example/logs "
                                "(Calculate domain evil.example disk space)\n";
  EXPECT_EQ(count(out, errorLine), 1u) << out;
  EXPECT_EQ(count(out, "\x1b[2J"), 0u) << "a raw escape sequence from a tenant reached the terminal";
  // A multi-line text becomes one line with single blanks.
  EXPECT_EQ(count(out, clear + program + "Unexpected: Possible parameters: [--help] [--all]\n"), 1u) << out;

  // Progress is rewritten in place: every state starts at the line's
  // beginning with the line erased, the count never passes the total, and
  // after the error the progress is drawn again where it was.
  const std::string step = clear + program + "disk usage: ";
  EXPECT_EQ(count(out, step + "0 of 3 domains"), 1u) << out;
  const size_t one = out.find(step + "1 of 3 domains");
  const size_t error = out.find(errorLine);
  ASSERT_NE(one, std::string::npos) << out;
  ASSERT_NE(error, std::string::npos);
  EXPECT_LT(one, error);
  EXPECT_EQ(out.compare(error + errorLine.size(), step.size() + 14, step + "1 of 3 domains"), 0) << "redrawn after the error";
  EXPECT_EQ(count(out, step + "3 of 3 domains"), 2u) << out;
  EXPECT_EQ(count(out, "4 of 3"), 0u) << out;
  EXPECT_EQ(count(out, clear + program + "mail traffic"), 2u) << "a step without a count, redrawn after the Unexpected entry: " << out;
  // Nothing but erased-line rewrites and whole entry lines: no line feed
  // ever ends a progress state, and the run leaves the line empty.
  EXPECT_EQ(count(out, "domains\n"), 0u) << out;
  EXPECT_TRUE(out.size() >= clear.size() && out.compare(out.size() - clear.size(), clear.size(), clear) == 0) << out;

  // The event log has the entries either way.
  const std::string events = testkit::readFile(install.eventLogPath());
  EXPECT_NE(events.find("error\t"), std::string::npos) << events;
  EXPECT_NE(events.find("evil.example"), std::string::npos) << events;

  const ChildOutput pipe = runOnPipe();
  ASSERT_TRUE(WIFEXITED(pipe.status) && WEXITSTATUS(pipe.status) == 0) << pipe.standardError;
  EXPECT_EQ(pipe.standardError, "") << "standard error that is not a terminal gets nothing";
  EXPECT_EQ(count(testkit::readFile(install.eventLogPath()), "evil.example"), 2 * count(events, "evil.example"))
      << "the redirected run logged the same entries";
}
