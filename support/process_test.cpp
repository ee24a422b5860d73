#include "support/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "support/cmdline.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

class ProcessTest : public ::testing::Test {
 protected:
  std::wstring child() const { return text::fromAnsi(testkit::programPath("support_testchild")); }
  testkit::Installation inst_;
};

TEST_F(ProcessTest, RunCapturesInterleavedOutputBeyondThePipeBuffer) {
  const long lines = 70000;  // about 1.3 MiB, far beyond a 64 KiB pipe
  const process::RunResult r = process::run(child(), {L"spew", std::to_wstring(lines), L"7"});
  EXPECT_EQ(r.exitCode, 7);
  ASSERT_GT(r.output.size(), 1u << 20);
  std::string expected;
  for (long i = 0; i < lines; ++i) expected += "out " + std::to_string(i) + "\nerr " + std::to_string(i) + "\n";
  EXPECT_TRUE(r.output == expected) << "output differs; sizes " << r.output.size() << " and " << expected.size();
}

TEST_F(ProcessTest, RunPassesArgumentsAndEnvironmentWithoutAShell) {
  const process::RunResult r = process::run(child(), {L"args", L"a b", L"$HOME", L"x;y", L"", L"\"q\"", L"caf\u00e9"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "[a b]\n[$HOME]\n[x;y]\n[]\n[\"q\"]\n[caf\xc3\xa9]\n");

  ASSERT_TRUE(process::setEnv(L"HALVEX_PROCESS_TEST", L"value with blanks"));
  EXPECT_EQ(process::getEnv(L"HALVEX_PROCESS_TEST"), L"value with blanks");
  EXPECT_EQ(process::run(child(), {L"env", L"HALVEX_PROCESS_TEST"}).output, "value with blanks");
  ::unsetenv("HALVEX_PROCESS_TEST");
  EXPECT_EQ(process::getEnv(L"HALVEX_PROCESS_TEST"), L"");
  EXPECT_FALSE(process::setEnv(L"BAD=NAME", L"x"));
}

TEST_F(ProcessTest, RunRaisesWhenTheProgramCannotStartAndHidesPasswords) {
  try {
    process::run(text::fromAnsi(inst_.path("no-such-program")), {L"--db-password=secret"});
    FAIL() << "started a missing program";
  } catch (const VFileNotFoundException& e) {
    EXPECT_NE(e.message().find(L"CreateProcess '"), std::wstring::npos);
    EXPECT_NE(e.message().find(L"--db-password=*"), std::wstring::npos);
    EXPECT_EQ(e.message().find(L"secret"), std::wstring::npos);
  }
  testkit::writeFile(inst_.path("not-executable"), "#!/bin/sh\n");
  EXPECT_THROW(process::run(text::fromAnsi(inst_.path("not-executable")), {}), VAccessDeniedException);
}

TEST_F(ProcessTest, ExistsIsFalseForAReapedChild) {
  EXPECT_TRUE(process::exists(process::currentId()));
  EXPECT_EQ(process::currentId(), static_cast<uint32_t>(::getpid()));
  EXPECT_FALSE(process::exists(0));
  EXPECT_FALSE(process::exists(0xffffffffu));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(process::exists(static_cast<uint32_t>(pid)));
}

TEST_F(ProcessTest, CommandLineQuotesEachArgument) {
  const std::vector<std::wstring> args{L"cmdline", L"--config=C:\\a b\\c.xml", L"plain", L"tail\\", L""};
  const process::RunResult r = process::run(child(), args);
  const std::wstring line = text::fromUtf8(r.output);
  std::vector<std::wstring> expected{child()};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(splitCommandLine(line), expected);
  EXPECT_NE(line.find(L" \"--config=C:\\a b\\c.xml\" plain "), std::wstring::npos) << text::toUtf8(line);

  EXPECT_EQ(vfs::fileName(process::executablePath()), L"support_tests");
}

TEST_F(ProcessTest, TemporaryDirectoryFollowsTheVariablesInOrder) {
  std::vector<std::pair<const char*, std::string>> saved;
  for (const char* v : {"TMPDIR", "TMP", "TEMP"}) {
    if (const char* value = std::getenv(v)) saved.emplace_back(v, value);
    ::unsetenv(v);
  }
  EXPECT_EQ(process::systemTempDirectory(), L"/tmp");
  process::setEnv(L"TEMP", L"/t3");
  EXPECT_EQ(process::systemTempDirectory(), L"/t3");
  process::setEnv(L"TMP", L"/t2");
  EXPECT_EQ(process::systemTempDirectory(), L"/t2");
  process::setEnv(L"TMPDIR", L"/t1");
  EXPECT_EQ(process::systemTempDirectory(), L"/t1");
  for (const char* v : {"TMPDIR", "TMP", "TEMP"}) ::unsetenv(v);
  for (const auto& [name, value] : saved) ::setenv(name, value.c_str(), 1);
}

TEST_F(ProcessTest, GuidsAreRandomVersion4AndTicksDoNotGoBack) {
  const std::wregex form(L"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const std::wstring a = process::newGuid(), b = process::newGuid();
  EXPECT_TRUE(std::regex_match(a, form)) << text::toUtf8(a);
  EXPECT_TRUE(std::regex_match(b, form)) << text::toUtf8(b);
  EXPECT_NE(a, b);
  const uint64_t t1 = process::tickCount();
  process::run(child(), {L"args"});
  EXPECT_GE(process::tickCount(), t1);
}

// A program that hangs with a child of its own holding the output open: the
// time-out ends both, keeps what was printed, and a quick program is not
// touched. The working directory is the one asked for.
TEST_F(ProcessTest, TimeOutKillsTheHungProgramWithItsChildren) {
  const std::string pidFile = inst_.path("grandchild.pid");
  process::RunOptions options;
  options.timeoutSeconds = 1;
  const process::RunResult hung =
      process::run(L"/bin/sh", {L"-c", L"echo started; sleep 600 & echo $! > " + text::fromAnsi(pidFile) + L"; wait"}, options);
  EXPECT_TRUE(hung.timedOut);
  EXPECT_EQ(hung.exitCode, 128 + SIGKILL);
  EXPECT_EQ(hung.output, "started\n");
  const pid_t grandchild = static_cast<pid_t>(std::stol(testkit::readFile(pidFile)));
  // Killed: gone, or a zombie waiting for whoever adopted it. The signal is
  // delivered asynchronously, so its end is waited for (boundedly).
  const std::string stat = "/proc/" + std::to_string(grandchild) + "/stat";
  std::string content;
  for (int i = 0; i < 500; ++i) {
    if (::access(stat.c_str(), F_OK) != 0) break;
    content = testkit::readFile(stat);
    if (content.find(") Z ") != std::string::npos) break;
    ::usleep(10000);
  }
  if (::access(stat.c_str(), F_OK) == 0) {
    EXPECT_NE(testkit::readFile(stat).find(") Z "), std::string::npos) << content;
  }

  options.workingDirectory = text::fromAnsi(inst_.root());
  const process::RunResult quick = process::run(L"/bin/sh", {L"-c", L"pwd; exit 4"}, options);
  EXPECT_FALSE(quick.timedOut);
  EXPECT_EQ(quick.exitCode, 4);
  EXPECT_EQ(quick.output, inst_.root() + "\n");
  options.workingDirectory = text::fromAnsi(inst_.path("missing-directory"));
  EXPECT_THROW(process::run(L"/bin/sh", {L"-c", L"pwd"}, options), vexception);
}

// A file of ours as the child's standard input, its output handed over as
// it comes and its error apart; a hand-over that raises ends the child.
TEST_F(ProcessTest, RunGivesAnOpenFileAsInputAndHandsTheOutputOver) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";  // beyond a pipe's buffer
  const std::string path = inst_.path("input");
  testkit::writeFile(path, content);
  vfs::File input = vfs::openRead(text::fromAnsi(path));
  std::filesystem::remove(path);  // read by descriptor, not by name
  process::RunOptions options;
  options.standardInput = input.fd();
  std::string output;
  size_t calls = 0;
  options.onOutput = [&](const char* data, size_t n) {
    output.append(data, n);
    ++calls;
  };
  const process::RunResult r = process::run(L"/bin/sh", {L"-c", L"cat; echo problem >&2; exit 3"}, options);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_TRUE(output == content) << output.size() << " bytes of " << content.size();
  EXPECT_GT(calls, 1u) << "handed over in parts";
  EXPECT_EQ(r.output, "problem\n");

  const std::string pidFile = inst_.path("child.pid");
  options.standardInput = -1;
  options.onOutput = [](const char*, size_t) { throw vexception(L"enough", VLOC(L"", "test")); };
  EXPECT_THROW(process::run(L"/bin/sh", {L"-c", L"echo $$ > " + text::fromAnsi(pidFile) + L"; echo go; exec sleep 600"}, options), vexception);
  EXPECT_FALSE(process::exists(static_cast<uint32_t>(std::stol(testkit::readFile(pidFile))))) << "killed and reaped";
}

}  // namespace
