#include "support/fs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

using testkit::readFile;
using testkit::writeFile;

class FsTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return inst_.path(name); }
  std::wstring wpath(const std::string& name) const { return text::fromAnsi(path(name)); }
  // A tenant's directory with a link "log" to a file outside it.
  void plantLink(const std::string& linkName = "log") {
    writeFile(path("outside/secret"), "secret data");
    ::mkdir(path("tenant").c_str(), 0755);
    ASSERT_EQ(::symlink(path("outside/secret").c_str(), path("tenant/" + linkName).c_str()), 0);
  }
  bool isLink(const std::string& p) const {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
  ino_t inode(const std::string& p) const {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  testkit::Installation inst_;
};

// Runs `body` and returns the Windows code it raised (0 when it did not raise).
template <class F>
uint32_t codeOf(F body) {
  try {
    body();
  } catch (const vosexception& e) {
    return e.code();
  }
  return 0;
}

TEST_F(FsTest, LinkIsNeverReadThrough) {
  plantLink();
  const vfs::Directory dir = vfs::Directory::open(wpath("tenant"));
  EXPECT_EQ(codeOf([&] { dir.openRead(L"log"); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::openRead(wpath("tenant/log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::readFile(wpath("tenant/log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::copyFile(wpath("tenant/log"), wpath("copy")); }), winerr::CantResolveFilename);
  EXPECT_FALSE(testkit::fileExists(path("copy")));

  // Examined as the link itself.
  EXPECT_TRUE(vfs::exists(wpath("tenant/log")));
  EXPECT_FALSE(vfs::isRegularFile(wpath("tenant/log")));
  const vfs::DirEntry e = vfs::statPath(wpath("tenant/log"));
  EXPECT_EQ(e.type, vfs::EntryType::Symlink);
  EXPECT_EQ(e.size, path("outside/secret").size());
  const std::vector<vfs::DirEntry> listed = dir.list();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].type, vfs::EntryType::Symlink);

  // A linked directory is not entered.
  ASSERT_EQ(::symlink(path("outside").c_str(), path("tenant/logs").c_str()), 0);
  EXPECT_EQ(codeOf([&] { vfs::Directory::open(wpath("tenant/logs")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { dir.openSubdirectory(L"logs"); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::listDirectory(wpath("tenant/logs")); }), winerr::CantResolveFilename);
}

TEST_F(FsTest, LinkIsNeverRenamedThrough) {
  plantLink();
  const ino_t target = inode(path("outside/secret"));
  const vfs::Directory dir = vfs::Directory::open(wpath("tenant"));
  dir.rename(L"log", L"log.rotated");
  EXPECT_TRUE(isLink(path("tenant/log.rotated")));
  dir.renameNoReplace(L"log.rotated", L"log.1");
  EXPECT_TRUE(isLink(path("tenant/log.1")));
  vfs::moveFile(wpath("tenant/log.1"), wpath("moved"));
  EXPECT_TRUE(isLink(path("moved")));
  EXPECT_EQ(readFile(path("outside/secret")), "secret data");
  EXPECT_EQ(inode(path("outside/secret")), target);
}

TEST_F(FsTest, LinkIsNeverTruncated) {
  plantLink();
  const vfs::Directory dir = vfs::Directory::open(wpath("tenant"));
  // Replacing a link replaces the entry: the file behind it keeps its bytes.
  dir.writeFileAtomically(L"log", "new");
  EXPECT_FALSE(isLink(path("tenant/log")));
  EXPECT_EQ(readFile(path("tenant/log")), "new");
  EXPECT_EQ(readFile(path("outside/secret")), "secret data");

  ASSERT_EQ(::symlink(path("outside/secret").c_str(), path("tenant/feed").c_str()), 0);
  writeFile(path("source"), "copied");
  vfs::copyFile(wpath("source"), wpath("tenant/feed"));
  EXPECT_FALSE(isLink(path("tenant/feed")));
  EXPECT_EQ(readFile(path("tenant/feed")), "copied");

  ASSERT_EQ(::symlink(path("outside/secret").c_str(), path("tenant/conf").c_str()), 0);
  vfs::writeFile(wpath("tenant/conf"), "conf");
  EXPECT_EQ(readFile(path("tenant/conf")), "conf");
  EXPECT_EQ(readFile(path("outside/secret")), "secret data");
}

TEST_F(FsTest, LinkIsNeverDeletedThrough) {
  plantLink("a");
  ASSERT_EQ(::symlink(path("outside/secret").c_str(), path("tenant/b").c_str()), 0);
  ::mkdir(path("tree").c_str(), 0755);
  ASSERT_EQ(::symlink(path("outside").c_str(), path("tree/dirlink").c_str()), 0);
  writeFile(path("tree/sub/file"), "x");

  vfs::Directory::open(wpath("tenant")).unlink(L"a");
  vfs::forcedRemove(wpath("tenant/b"));
  vfs::removeTree(wpath("tree"));
  EXPECT_FALSE(testkit::fileExists(path("tenant/a")));
  EXPECT_FALSE(testkit::fileExists(path("tenant/b")));
  EXPECT_FALSE(testkit::fileExists(path("tree")));
  EXPECT_EQ(readFile(path("outside/secret")), "secret data");
}

TEST_F(FsTest, LinkIsNeverWrittenThrough) {
  plantLink();
  const vfs::Directory dir = vfs::Directory::open(wpath("tenant"));
  EXPECT_EQ(codeOf([&] { dir.createExclusive(L"log"); }), winerr::FileExists);
  // A dangling link must not create the file it points to.
  ASSERT_EQ(::symlink(path("outside/planted").c_str(), path("tenant/dangling").c_str()), 0);
  EXPECT_EQ(codeOf([&] { dir.createExclusive(L"dangling"); }), winerr::FileExists);
  EXPECT_FALSE(testkit::fileExists(path("outside/planted")));
  EXPECT_EQ(readFile(path("outside/secret")), "secret data");

  // Names cannot leave the directory.
  for (const wchar_t* bad : {L"..", L".", L"", L"../outside/secret", L"x/y"})
    EXPECT_EQ(codeOf([&] { dir.createExclusive(bad); }), winerr::InvalidParameter) << text::toAnsi(bad);
}

TEST_F(FsTest, CreateExclusiveOverPlantedLinkFailsAndLeavesTargetAlone) {
  plantLink();
  struct stat before;
  ASSERT_EQ(::stat(path("outside/secret").c_str(), &before), 0);
  try {
    vfs::Directory::open(wpath("tenant")).createExclusive(L"log");
    FAIL() << "created through a link";
  } catch (const VFileExistsException& e) {
    EXPECT_NE(e.message().find(wpath("tenant/log")), std::wstring::npos);
  }
  struct stat after;
  ASSERT_EQ(::stat(path("outside/secret").c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_TRUE(isLink(path("tenant/log")));
}

TEST_F(FsTest, FifoAndDeviceAreRefusedWithoutBlocking) {
  ::mkdir(path("tenant").c_str(), 0755);
  ASSERT_EQ(::mkfifo(path("tenant/access.log").c_str(), 0644), 0);
  const vfs::Directory dir = vfs::Directory::open(wpath("tenant"));
  // No writer ever opens the FIFO: a blocking open would hang here.
  EXPECT_EQ(codeOf([&] { dir.openRead(L"access.log"); }), winerr::AccessDenied);
  EXPECT_EQ(codeOf([&] { vfs::readFile(wpath("tenant/access.log")); }), winerr::AccessDenied);
  EXPECT_EQ(codeOf([&] { vfs::openRead(L"/dev/zero"); }), winerr::AccessDenied);
  EXPECT_EQ(dir.stat(L"access.log").type, vfs::EntryType::Other);
}

TEST_F(FsTest, DirectorySwappedForLinkCannotRedirect) {
  writeFile(path("work/original"), "1");
  writeFile(path("elsewhere/foreign"), "2");
  const vfs::Directory dir = vfs::Directory::open(wpath("work"));
  ASSERT_EQ(::rename(path("work").c_str(), path("work.old").c_str()), 0);
  ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("work").c_str()), 0);

  const std::vector<vfs::DirEntry> listed = dir.list();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, L"original");
  dir.writeFileAtomically(L"created", "3");
  EXPECT_TRUE(testkit::fileExists(path("work.old/created")));
  EXPECT_FALSE(testkit::fileExists(path("elsewhere/created")));
  dir.unlink(L"original");
  EXPECT_FALSE(testkit::fileExists(path("work.old/original")));
  EXPECT_EQ(codeOf([&] { vfs::Directory::open(wpath("work")); }), winerr::CantResolveFilename);
}

TEST_F(FsTest, CopyFileReplacesDestinationThroughRename) {
  writeFile(path("source"), std::string(300000, 'a'));
  writeFile(path("dest/feed.log"), "old");
  // A second name of the old file shows whether it was truncated in place.
  ASSERT_EQ(::link(path("dest/feed.log").c_str(), path("dest/other-name").c_str()), 0);
  const struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path("source").c_str(), times, 0), 0);

  vfs::copyFile(wpath("source"), wpath("dest/feed.log"));
  EXPECT_EQ(readFile(path("dest/feed.log")), std::string(300000, 'a'));
  EXPECT_EQ(readFile(path("dest/other-name")), "old");
  EXPECT_NE(inode(path("dest/feed.log")), inode(path("dest/other-name")));
  struct stat st;
  ASSERT_EQ(::stat(path("dest/feed.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(vfs::listDirectory(wpath("dest")).size(), 2u) << "a temporary file was left behind";

  try {
    vfs::copyFile(wpath("missing"), wpath("dest/feed.log"));
    FAIL() << "copied a missing file";
  } catch (const VFileNotFoundException& e) {
    EXPECT_NE(e.message().find(L"copy file " + wpath("missing") + L" to " + wpath("dest/feed.log")), std::wstring::npos);
  }
  EXPECT_EQ(readFile(path("dest/feed.log")), std::string(300000, 'a'));
}

// A sparse log costs its copy no more disk than the log has: data is copied
// where it is, holes stay holes, a trailing hole keeps the size.
TEST_F(FsTest, CopyKeepsHolesAndData) {
  constexpr off_t kSize = off_t{1} << 30;
  writeFile(path("sparse/log"), "");
  const int fd = ::open(path("sparse/log").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "first line\n", 11, 0), 11);
  ASSERT_EQ(::pwrite(fd, "middle line\n", 12, kSize / 2), 12);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);  // a hole up to the end
  ::close(fd);
  struct stat source;
  ASSERT_EQ(::stat(path("sparse/log").c_str(), &source), 0);
  if (static_cast<off_t>(source.st_blocks) * 512 >= kSize / 2) GTEST_SKIP() << "the file system keeps no holes";

  vfs::copyFile(wpath("sparse/log"), wpath("sparse/copy"));
  struct stat copy;
  ASSERT_EQ(::stat(path("sparse/copy").c_str(), &copy), 0);
  EXPECT_EQ(copy.st_size, kSize);
  EXPECT_LE(copy.st_blocks, source.st_blocks + 128) << "the holes were filled";
  const int in = ::open(path("sparse/copy").c_str(), O_RDONLY);
  char buf[16] = {};
  EXPECT_EQ(::pread(in, buf, 11, 0), 11);
  EXPECT_EQ(std::string(buf, 11), "first line\n");
  EXPECT_EQ(::pread(in, buf, 16, kSize / 2 - 4), 16);
  EXPECT_EQ(std::string(buf, 16), std::string(4, '\0') + "middle line\n");
  EXPECT_EQ(::pread(in, buf, 4, kSize - 4), 4);
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
  ::close(in);
}

TEST_F(FsTest, CreatedFileBelongsToTheDirectoryOwner) {
  ::mkdir(path("tenant").c_str(), 0755);
  if (::geteuid() != 0 || ::chown(path("tenant").c_str(), 12345, 12346) != 0) GTEST_SKIP() << "needs root";
  vfs::Directory::open(wpath("tenant")).writeFileAtomically(L"web_stat_executor.conf", "x");
  vfs::File f;
  vfs::Directory::open(wpath("tenant")).createUnique(L"feed", f);
  for (const std::wstring& name : {std::wstring(L"web_stat_executor.conf"), vfs::fileName(f.path())}) {
    struct stat st;
    ASSERT_EQ(::lstat(text::toAnsi(vfs::join(wpath("tenant"), name)).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 12346u);
    EXPECT_EQ(st.st_mode & 0002, 0u) << "world-writable";
  }
  EXPECT_TRUE(vfs::fileName(f.path()).starts_with(L"feed"));
}

TEST_F(FsTest, IsFileInUseWhileChildHoldsIt) {
  writeFile(path("access.log"), "line\n");
  EXPECT_FALSE(vfs::isFileInUse(wpath("access.log")));
  EXPECT_FALSE(vfs::isFileInUse(wpath("missing.log")));

  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const std::string file = path("access.log");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls between fork and _exit. Our copy of the
    // release pipe's write end must go, or the read below never ends.
    ::close(release[1]);
    const int fd = ::open(file.c_str(), O_RDONLY);
    char c = fd >= 0 ? 'r' : 'e';
    if (::write(ready[1], &c, 1) != 1) ::_exit(2);
    while (::read(release[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'r');

  EXPECT_TRUE(vfs::isFileInUse(wpath("access.log")));
  const std::vector<std::wstring> holders = vfs::processesUsingFile(wpath("access.log"));
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_TRUE(vfs::fileName(text::fromAnsi(testkit::programPath("support_tests"))).starts_with(holders[0]));

  ::close(release[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  EXPECT_FALSE(vfs::isFileInUse(wpath("access.log")));
  EXPECT_TRUE(vfs::processesUsingFile(wpath("access.log")).empty());
}

TEST_F(FsTest, ForcedRemoveRemovesImmutableFilesAndCountsMissingAsRemoved) {
  EXPECT_NO_THROW(vfs::forcedRemove(wpath("missing")));
  EXPECT_NO_THROW(vfs::forcedRemove(wpath("no-such-dir/missing")));

  writeFile(path("old.log"), "x");
  const int fd = ::open(path("old.log").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  const bool supported = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags |= FS_IMMUTABLE_FL | FS_APPEND_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  ::close(fd);
  if (!supported) GTEST_SKIP() << "the file system or the user cannot set the immutable attribute";
  ASSERT_NE(::unlink(path("old.log").c_str()), 0) << "immutable file removed by a plain unlink";

  vfs::forcedRemove(wpath("old.log"));
  EXPECT_FALSE(testkit::fileExists(path("old.log")));
}

TEST_F(FsTest, ForcedRemoveRaisesWhenTheDirectoryRefuses) {
  writeFile(path("locked/old.log"), "x");
  const int fd = ::open(path("locked").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  const bool supported = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (!supported) {
    ::close(fd);
    GTEST_SKIP() << "the file system or the user cannot set the immutable attribute";
  }
  // The directory's attribute is not ours to change: the removal fails.
  EXPECT_EQ(codeOf([&] { vfs::forcedRemove(wpath("locked/old.log")); }), winerr::AccessDenied);
  EXPECT_TRUE(testkit::fileExists(path("locked/old.log")));
  flags &= ~FS_IMMUTABLE_FL;
  ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);
}

TEST_F(FsTest, CreateDirectoriesRefusesForeignLinks) {
  vfs::createDirectories(wpath("a/b/c"), 0750);
  EXPECT_TRUE(vfs::isDirectory(wpath("a/b/c")));
  vfs::createDirectories(wpath("a/b/c"));  // exists already: fine
  struct stat st;
  ASSERT_EQ(::stat(path("a/b/c").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0700, 0700u);
  EXPECT_EQ(st.st_mode & 0007, 0u);

  writeFile(path("a/file"), "x");
  EXPECT_EQ(codeOf([&] { vfs::createDirectories(wpath("a/file/d")); }), winerr::PathNotFound);

  ::mkdir(path("target").c_str(), 0755);
  ASSERT_EQ(::symlink(path("target").c_str(), path("a/own-link").c_str()), 0);
  vfs::createDirectories(wpath("a/own-link/made"));  // an administrator's link is followed
  EXPECT_TRUE(vfs::isDirectory(wpath("target/made")));

  ASSERT_EQ(::symlink(path("target").c_str(), path("a/tenant-link").c_str()), 0);
  if (::geteuid() != 0 || ::lchown(path("a/tenant-link").c_str(), 12345, 12345) != 0) GTEST_SKIP() << "needs root";
  EXPECT_EQ(codeOf([&] { vfs::createDirectories(wpath("a/tenant-link/made2")); }), winerr::CantResolveFilename);
  EXPECT_FALSE(testkit::fileExists(path("target/made2")));
}

// A link on the way is followed only when the administrator made it: owned by
// root or us, in a directory of root's or ours that nobody else may write.
TEST_F(FsTest, LinksOnTheWayFollowTheTrustRule) {
  writeFile(path("srv/www/logs/access.log"), "root's log");
  ::mkdir(path("adm").c_str(), 0755);
  ::chmod(path("adm").c_str(), 0755);
  ASSERT_EQ(::symlink("../srv/www", path("adm/www").c_str()), 0);
  ASSERT_EQ(::symlink(path("adm/www").c_str(), path("adm/www2").c_str()), 0);  // a chain of two
  ASSERT_EQ(::symlink("www/logs/access.log", path("adm/log").c_str()), 0);
  const auto followed = [&](const std::string& via) {
    SCOPED_TRACE(via);
    EXPECT_EQ(vfs::listDirectory(wpath(via + "/logs")).size(), 1u);
    EXPECT_EQ(vfs::readFile(wpath(via + "/logs/access.log")), "root's log");
    EXPECT_TRUE(vfs::isRegularFile(wpath(via + "/logs/access.log")));
    EXPECT_EQ(vfs::statPath(wpath(via + "/logs/access.log")).size, 10u);
    EXPECT_TRUE(vfs::Directory::openParent(wpath(via + "/x")).exists(L"logs"));
  };
  followed("adm/www");
  followed("adm/www2");
  // The last component is never followed.
  EXPECT_EQ(vfs::statPath(wpath("adm/www")).type, vfs::EntryType::Symlink);
  EXPECT_EQ(codeOf([&] { vfs::Directory::open(wpath("adm/www")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::openRead(wpath("adm/log")); }), winerr::CantResolveFilename);
  // ... except where asked for, in the installation's own places.
  EXPECT_TRUE(vfs::isTrustedRegularFile(wpath("adm/log")));
  EXPECT_FALSE(vfs::isTrustedRegularFile(wpath("adm/www")));

  // A directory others may write: anyone could have put the link there.
  ::chmod(path("adm").c_str(), 0777);
  EXPECT_EQ(codeOf([&] { vfs::readFile(wpath("adm/www/logs/access.log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::exists(wpath("adm/www/logs/access.log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::forcedRemove(wpath("adm/www/logs/access.log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::createDirectories(wpath("adm/www/logs/new")); }), winerr::CantResolveFilename);
  EXPECT_FALSE(vfs::isTrustedRegularFile(wpath("adm/log")));
  try {
    vfs::Directory::open(wpath("adm/www/logs"));
    ADD_FAILURE() << "opened through a link in a world-writable directory";
  } catch (const vosexception& e) {
    EXPECT_NE(e.message().find(wpath("adm/www")), std::wstring::npos) << text::toAnsi(e.message());
  }
  ::chmod(path("adm").c_str(), 0775);
  EXPECT_EQ(codeOf([&] { vfs::listDirectory(wpath("adm/www/logs")); }), winerr::CantResolveFilename);
  // Sticky: only the link's owner (root here) may replace it.
  ::chmod(path("adm").c_str(), 01777);
  EXPECT_EQ(vfs::readFile(wpath("adm/www/logs/access.log")), "root's log");
  ::chmod(path("adm").c_str(), 0755);

  // A loop ends in a refusal, not a hang.
  ASSERT_EQ(::symlink("loop-b", path("adm/loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", path("adm/loop-b").c_str()), 0);
  EXPECT_EQ(codeOf([&] { vfs::listDirectory(wpath("adm/loop-a/x")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::statPath(wpath("adm/loop-a/x")); }), winerr::CantResolveFilename);

  if (::geteuid() != 0) GTEST_SKIP() << "tenants' links need root to plant";
  // A tenant's link in root's directory, and root's link in a tenant's directory.
  ASSERT_EQ(::symlink("../srv/www", path("adm/tenant-www").c_str()), 0);
  ASSERT_EQ(::lchown(path("adm/tenant-www").c_str(), 12345, 12345), 0);
  EXPECT_EQ(codeOf([&] { vfs::readFile(wpath("adm/tenant-www/logs/access.log")); }), winerr::CantResolveFilename);
  ::mkdir(path("tenant").c_str(), 0755);
  ASSERT_EQ(::symlink("../srv/www", path("tenant/www").c_str()), 0);
  ASSERT_EQ(::chown(path("tenant").c_str(), 12345, 12345), 0);
  EXPECT_EQ(codeOf([&] { vfs::readFile(wpath("tenant/www/logs/access.log")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::copyFile(wpath("tenant/www/logs/access.log"), wpath("copy")); }), winerr::CantResolveFilename);
  EXPECT_EQ(codeOf([&] { vfs::moveFile(wpath("tenant/www/logs/access.log"), wpath("moved")); }), winerr::CantResolveFilename);
  EXPECT_EQ(readFile(path("srv/www/logs/access.log")), "root's log");
  EXPECT_FALSE(testkit::fileExists(path("copy")));
  EXPECT_FALSE(testkit::fileExists(path("moved")));
}

TEST_F(FsTest, MoveFileNeverReplacesAndCrossesFileSystems) {
  writeFile(path("src/a.log"), "a");
  writeFile(path("dst/a.log"), "existing");
  EXPECT_EQ(codeOf([&] { vfs::moveFile(wpath("src/a.log"), wpath("dst/a.log")); }), winerr::AlreadyExists);
  EXPECT_EQ(readFile(path("src/a.log")), "a");
  EXPECT_EQ(readFile(path("dst/a.log")), "existing");
  vfs::moveFile(wpath("src/a.log"), wpath("dst/b.log"));
  EXPECT_EQ(readFile(path("dst/b.log")), "a");
  EXPECT_FALSE(testkit::fileExists(path("src/a.log")));

  struct stat here, shm;
  if (::stat(path("").c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second file system to move to";
  const std::string across = "/dev/shm/halvex-fs-test-" + std::to_string(::getpid());
  ::mkdir(across.c_str(), 0700);
  vfs::moveFile(wpath("dst/b.log"), text::fromAnsi(across + "/b.log"));
  EXPECT_EQ(readFile(across + "/b.log"), "a");
  EXPECT_FALSE(testkit::fileExists(path("dst/b.log")));
  vfs::removeTree(text::fromAnsi(across));
  EXPECT_FALSE(testkit::fileExists(across));
}

TEST_F(FsTest, ListStatAndFileAccess) {
  writeFile(path("d/one"), "12345");
  ::mkdir(path("d/sub").c_str(), 0755);
  const vfs::Directory dir = vfs::Directory::open(wpath("d"));
  std::vector<vfs::DirEntry> listed = dir.list();
  std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].name, L"one");
  EXPECT_EQ(listed[0].type, vfs::EntryType::File);
  EXPECT_EQ(listed[0].size, 5u);
  EXPECT_EQ(listed[1].type, vfs::EntryType::Directory);
  EXPECT_TRUE(dir.exists(L"one"));
  EXPECT_FALSE(dir.exists(L"two"));
  EXPECT_THROW(dir.stat(L"two"), VFileNotFoundException);
  EXPECT_THROW(vfs::statPath(wpath("d/two")), VFileNotFoundException);
  EXPECT_THROW(vfs::Directory::open(wpath("nowhere")), VPathNotFoundException);

  vfs::File f = dir.openRead(L"one");
  EXPECT_EQ(f.size(), 5u);
  struct stat st;
  ASSERT_EQ(::stat(path("d/one").c_str(), &st), 0);
  // 1601-based 100 ns units.
  EXPECT_EQ(f.lastWrite() / 10000000 - 11644473600LL, st.st_mtim.tv_sec);
  char buf[8];
  EXPECT_EQ(f.read(buf, sizeof buf), 5u);
  EXPECT_EQ(f.read(buf, sizeof buf), 0u);

  // info() describes what was opened, even after the name points elsewhere.
  ::chmod(path("d/one").c_str(), 0604);
  ASSERT_EQ(::rename(path("d/one").c_str(), path("d/gone").c_str()), 0);
  writeFile(path("d/one"), "another, longer file");
  const vfs::DirEntry opened = f.info();
  EXPECT_EQ(opened.name, L"one");
  EXPECT_EQ(opened.type, vfs::EntryType::File);
  EXPECT_EQ(opened.size, 5u);
  EXPECT_EQ(opened.mode, 0604u);
  EXPECT_EQ(opened.uid, st.st_uid);
  EXPECT_EQ(opened.links, 1u);
  EXPECT_EQ(opened.allocated, static_cast<uint64_t>(st.st_blocks) * 512u);
  const vfs::DirEntry self = dir.info();
  EXPECT_EQ(self.type, vfs::EntryType::Directory);
  EXPECT_EQ(self.name, L"d");
  EXPECT_EQ(self.links, 3u);  // ".", its entry in the parent and "sub/.."
  ASSERT_EQ(::rename(path("d/gone").c_str(), path("d/one").c_str()), 0);

  vfs::File out;
  const std::wstring name = dir.createUnique(L"tmp", out);
  out.writeAll("abc", 3);
  out.close();
  EXPECT_EQ(readFile(path("d/" + text::toAnsi(name))), "abc");
  vfs::writeFile(wpath("d/one"), "replaced");
  EXPECT_EQ(vfs::readFile(wpath("d/one")), "replaced");
}

// A view reads the bytes the file had when it was made, from the start,
// whatever is appended or read elsewhere meanwhile.
TEST_F(FsTest, ViewsReadTheirOwnBytesOfAnOpenedFile) {
  writeFile(path("v/log"), "line one\nline two\n");
  const vfs::Directory dir = vfs::Directory::open(wpath("v"));
  vfs::File opened = dir.openRead(L"log");
  vfs::File first = opened.view(opened.size());
  {
    const int fd = ::open(path("v/log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "line three\n", 11), 11);
    ::close(fd);
  }
  char head[5];
  ASSERT_EQ(first.read(head, sizeof head), 5u);
  // A second view and the opened file itself keep offsets of their own.
  vfs::File second = opened.view(9);
  std::string all(64, '\0');
  EXPECT_EQ(second.read(all.data(), all.size()), 9u);
  EXPECT_EQ(all.substr(0, 9), "line one\n");
  EXPECT_EQ(second.read(all.data(), all.size()), 0u);
  std::string rest(64, '\0');
  size_t got = 0;
  for (size_t n; (n = first.read(rest.data() + got, rest.size() - got)) > 0;) got += n;
  EXPECT_EQ(std::string(head, 5) + rest.substr(0, got), "line one\nline two\n") << "the appended line is not in the view";
  EXPECT_EQ(opened.read(all.data(), all.size()), 29u);
  EXPECT_EQ(first.path(), wpath("v/log"));
}

TEST_F(FsTest, PathHelpers) {
  EXPECT_EQ(vfs::join(L"/a", L"b"), L"/a/b");
  EXPECT_EQ(vfs::join(L"/a/", L"b"), L"/a/b");
  EXPECT_EQ(vfs::join(L"/a/", L"/b"), L"/a/b");
  EXPECT_EQ(vfs::join(L"", L"b"), L"b");
  EXPECT_EQ(vfs::fileName(L"/var/log/access.log"), L"access.log");
  EXPECT_EQ(vfs::fileName(L"access.log"), L"access.log");
  EXPECT_EQ(vfs::parentDirectory(L"/var/log/access.log"), L"/var/log");
  EXPECT_EQ(vfs::parentDirectory(L"/access.log"), L"/");
  EXPECT_EQ(vfs::parentDirectory(L"access.log"), L"");
  EXPECT_EQ(vfs::extension(L"/a.b/access.log.1"), L".1");
  EXPECT_EQ(vfs::extension(L"/a.b/access"), L"");
  EXPECT_EQ(vfs::extension(L"statistics.exe"), L".exe");
}

}  // namespace
