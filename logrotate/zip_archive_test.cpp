#include "logrotate/zip_archive.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <random>
#include <thread>

#include "logrotate/test_support.h"
#include "support/text.h"

namespace {

std::string randomBytes(size_t n) {
  std::mt19937 gen(42);
  std::string s(n, '\0');
  // Half random, half repetitive: both kinds of input go through deflate.
  for (size_t i = 0; i < n; ++i) s[i] = i % 2 ? static_cast<char>(gen()) : static_cast<char>('a' + i % 7);
  return s;
}

void setTime(const std::string& path, int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  timespec times[2] = {{timegm(&t), 0}, {timegm(&t), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Restores TMPDIR when the test ends.
class TempDirOverride {
 public:
  explicit TempDirOverride(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old, had_ = true;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~TempDirOverride() {
    if (had_)
      setenv("TMPDIR", old_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

 private:
  std::string old_;
  bool had_ = false;
};

}  // namespace

TEST(ZipArchiveTest, ArchivesTheLogAsOneEntryWithItsNameBytesAndTime) {
  testkit::Installation install;
  testkit::TempDir dir;
  const std::string log = dir.file("access.log"), content = randomBytes(3 * zipstep::kChunkSize + 123);
  testkit::writeFile(log, content);
  setTime(log, 2023, 5, 6, 7, 8, 11);

  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  EXPECT_EQ(zipstep::compressLog(d, L"access.log"), zipstep::Outcome::Archived);
  EXPECT_EQ(lrtest::names(dir.path()), std::vector<std::string>{"access.log.zip"}) << "the log is gone and nothing else is left";
  EXPECT_EQ(lrtest::unzipTest(dir.file("access.log.zip")), 0);
  const auto entries = lrtest::readZip(dir.file("access.log.zip"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "access.log");
  EXPECT_EQ(entries[0].content, content);
  EXPECT_EQ(entries[0].method, 8) << "deflate";
  // The archive keeps the time in UTC, to the two seconds that zip can hold.
  EXPECT_EQ(std::vector<int>({entries[0].year, entries[0].month, entries[0].day, entries[0].hour, entries[0].minute, entries[0].second}),
            std::vector<int>({2023, 5, 6, 7, 8, 10}));
  struct stat st;
  ASSERT_EQ(stat(dir.file("access.log.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0002, 0u) << "never world-writable";
}

TEST(ZipArchiveTest, LeavesALogAloneWhileAnotherProcessHoldsItOpen) {
  testkit::Installation install;
  testkit::TempDir dir;
  testkit::writeFile(dir.file("error.log"), "held");
  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  {
    lrtest::FileHolder holder(dir.file("error.log"));
    EXPECT_EQ(zipstep::compressLog(d, L"error.log"), zipstep::Outcome::Skipped);
    EXPECT_EQ(lrtest::names(dir.path()), std::vector<std::string>{"error.log"});
  }
  EXPECT_EQ(zipstep::compressLog(d, L"error.log"), zipstep::Outcome::Archived) << "once the other process let go";
}

TEST(ZipArchiveTest, NeverTouchesLinksFifosOrTakenNames) {
  testkit::Installation install;
  testkit::TempDir dir, outside;
  testkit::writeFile(outside.file("secret"), "secret");
  ASSERT_EQ(symlink(outside.file("secret").c_str(), dir.file("link.log").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("pipe.log").c_str(), 0644), 0);
  testkit::writeFile(dir.file("hard.log"), "two names");
  ASSERT_EQ(link(dir.file("hard.log").c_str(), outside.file("hard").c_str()), 0);
  testkit::writeFile(dir.file("taken.log"), "log");
  ASSERT_EQ(symlink(outside.file("target.zip").c_str(), dir.file("taken.log.zip").c_str()), 0);

  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  for (const wchar_t* name : {L"link.log", L"pipe.log", L"hard.log", L"taken.log", L"missing.log"})
    EXPECT_EQ(zipstep::compressLog(d, name), zipstep::Outcome::Skipped) << text::toUtf8(name);
  EXPECT_EQ(lrtest::names(dir.path()), (std::vector<std::string>{"hard.log", "link.log", "pipe.log", "taken.log", "taken.log.zip"}));
  EXPECT_EQ(testkit::readFile(outside.file("secret")), "secret");
  EXPECT_FALSE(testkit::fileExists(outside.file("target.zip"))) << "a planted link is not written through";
}

TEST(ZipArchiveTest, KeepsTheLogAndNoPartialArchiveWhenTheArchiveCannotBeWritten) {
  testkit::Installation install;
  testkit::TempDir dir;
  testkit::writeFile(dir.file("access.log"), "precious");
  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  {
    TempDirOverride noScratch(dir.file("no-such-directory"));
    EXPECT_THROW(zipstep::compressLog(d, L"access.log"), vexception);
  }
  EXPECT_EQ(lrtest::names(dir.path()), std::vector<std::string>{"access.log"});
  EXPECT_EQ(testkit::readFile(dir.file("access.log")), "precious");
}

// The web server appends to the log after compression has read it, while
// the archive is being put in place (the append is made the moment the
// archive's temporary file appears beside the log). The archive lacks that
// line, so the log must stay, whole, and no archive of part of it.
TEST(ZipArchiveTest, ALogWrittenWhileItIsArchivedIsKeptWhole) {
  testkit::Installation install;
  testkit::TempDir dir;
  const std::string log = dir.file("access.log");
  const std::string before = randomBytes(1 << 20);
  testkit::writeFile(log, before);
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE), 0);
  std::atomic<bool> appended{false};
  std::thread writer([&] {
    pollfd p{watch, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) return;
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
    appended = ::write(fd, "appended line\n", 14) == 14;
    ::close(fd);
  });
  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  EXPECT_THROW(zipstep::compressLog(d, L"access.log"), vexception);
  writer.join();
  ::close(watch);
  ASSERT_TRUE(appended);
  EXPECT_EQ(testkit::readFile(log), before + "appended line\n");
  EXPECT_EQ(lrtest::names(dir.path()), std::vector<std::string>{"access.log"}) << "the archive of part of it is gone";
  EXPECT_EQ(zipstep::compressLog(d, L"access.log"), zipstep::Outcome::Archived) << "the next run archives all of it";
  const auto entries = lrtest::readZip(dir.file("access.log.zip"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].content, before + "appended line\n");
}

// Checked on what is opened: a log of another user's (a tenant's file in a
// directory of root's, or another tenant's) is not archived.
TEST(ZipArchiveTest, ALogOfAnotherUserIsNotArchived) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  testkit::Installation install;
  testkit::TempDir dir;
  testkit::writeFile(dir.file("foreign.log"), "someone else's");
  ASSERT_EQ(::chown(dir.file("foreign.log").c_str(), 12345, 12345), 0);
  testkit::writeFile(dir.file("own.log"), "the directory owner's");
  ASSERT_EQ(::chown(dir.path().c_str(), 23456, 23456), 0);
  ASSERT_EQ(::chown(dir.file("own.log").c_str(), 23456, 23456), 0);
  const vfs::Directory d = vfs::Directory::open(dir.wpath());
  EXPECT_EQ(zipstep::compressLog(d, L"foreign.log"), zipstep::Outcome::Skipped);
  EXPECT_EQ(zipstep::compressLog(d, L"own.log"), zipstep::Outcome::Archived);
  EXPECT_EQ(lrtest::names(dir.path()), (std::vector<std::string>{"foreign.log", "own.log.zip"}));
  ::chown(dir.path().c_str(), 0, 0);
}
