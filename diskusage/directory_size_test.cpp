#include "diskusage/directory_size.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "diskusage/du_test_support.h"
#include "support/fs.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace fs = std::filesystem;
using dutest::makeFile;

namespace {
std::wstring w(const std::string& s) { return text::fromAnsi(s); }
}  // namespace

TEST(DirectorySizeTest, AddsTheLogicalSizesOfAllFilesBelow) {
  testkit::TempDir dir;
  makeFile(dir.file("a.txt"), 100);
  makeFile(dir.file("sub/b.bin"), 2000);
  makeFile(dir.file("sub/deeper/c"), 3);
  makeFile(dir.file("sub/deeper/empty"), 0);
  dutest::makeDirectory(dir.file("nothing/here"));
  EXPECT_EQ(directorySize(dir.wpath()), 2103u);
  EXPECT_EQ(directorySize(w(dir.file("sub"))), 2003u);
}

TEST(DirectorySizeTest, CountsHardLinksUnderEachNameAndNeverFollowsSymbolicLinks) {
  testkit::TempDir outside;
  makeFile(outside.file("big"), 50000);
  testkit::TempDir dir;
  makeFile(dir.file("data/file"), 1000);
  fs::create_hard_link(dir.file("data/file"), dir.file("data/again"));
  // A cycle back to the top and a way out of the tree.
  fs::create_directory_symlink(dir.path(), dir.file("data/loop"));
  fs::create_directory_symlink(outside.path(), dir.file("data/out"));
  fs::create_symlink(outside.file("big"), dir.file("data/file-link"));

  const uint64_t links = fs::read_symlink(dir.file("data/loop")).string().size() + fs::read_symlink(dir.file("data/out")).string().size() +
                         fs::read_symlink(dir.file("data/file-link")).string().size();
  EXPECT_EQ(directorySize(dir.wpath()), 2000u + links);
}

TEST(DirectorySizeTest, GivesZeroForWhatCannotBeListed) {
  testkit::TempDir dir;
  makeFile(dir.file("real/file"), 10);
  fs::create_directory_symlink(dir.file("real"), dir.file("link"));
  EXPECT_EQ(directorySize(w(dir.file("missing"))), 0u);
  EXPECT_EQ(directorySize(w(dir.file("real/file"))), 0u);
  // The path itself may not be a link either.
  EXPECT_EQ(directorySize(w(dir.file("link"))), 0u);
  EXPECT_EQ(directorySize(L""), 0u);
}

TEST(DirectorySizeTest, WalksTreesDeeperThanTheDescriptorsItHolds) {
  testkit::TempDir dir;
  // Deep enough to pass the levels the walk keeps open, with files along the
  // way and a branch at the bottom that sends the walk back up through
  // directories it had to close.
  std::string path = dir.path();
  uint64_t expected = 0;
  for (int depth = 0; depth < 300; ++depth) {
    path += "/d";
    if (depth % 50 == 0) {
      makeFile(path + "/f", static_cast<size_t>(depth + 1));
      expected += static_cast<uint64_t>(depth + 1);
    }
  }
  makeFile(path + "/left/x", 7);
  makeFile(path + "/right/y", 11);
  makeFile(path.substr(0, path.size() - 2) + "/side/z", 13);
  expected += 7 + 11 + 13;
  EXPECT_EQ(directorySize(dir.wpath()), expected);
}

TEST(DirectorySizeTest, BelowARootOpensEachComponentWithoutFollowingLinks) {
  testkit::TempDir root;
  testkit::TempDir elsewhere;
  makeFile(root.file("site/httpdocs/index.html"), 40);
  makeFile(elsewhere.file("httpdocs/secret"), 9999);
  fs::create_directory_symlink(elsewhere.path(), root.file("linked"));

  EXPECT_EQ(directorySizeBelow(root.wpath(), w(root.file("site/httpdocs"))), 40u);
  EXPECT_EQ(directorySizeBelow(root.wpath() + L"/", w(root.file("site//./httpdocs"))), 40u);
  // A link in the middle of the path is not followed.
  EXPECT_EQ(directorySizeBelow(root.wpath(), w(root.file("linked/httpdocs"))), 0u);
  EXPECT_EQ(directorySize(w(root.file("linked/httpdocs"))), 9999u);
  // Outside the root the path is measured as it is.
  EXPECT_EQ(directorySizeBelow(w(root.file("site")), w(elsewhere.file("httpdocs"))), 9999u);
}

TEST(DirectorySizeTest, MeasuresAnOpenDirectory) {
  testkit::TempDir dir;
  makeFile(dir.file("a/b/c"), 5);
  makeFile(dir.file("d"), 6);
  const vfs::Directory open = vfs::Directory::open(dir.wpath());
  EXPECT_EQ(directorySize(open), 11u);
  // The same object can be measured again: listing does not consume it.
  EXPECT_EQ(directorySize(open), 11u);
}

namespace {

// An independent count of what the walk should find: nftw without following
// links, every entry that is not a directory with its lstat size.
uint64_t g_bytes = 0;
uint64_t g_directories = 0;
int countEntry(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DP || type == FTW_DNR)
    ++g_directories;
  else
    g_bytes += static_cast<uint64_t>(st->st_size);
  return 0;
}

}  // namespace

// A chain of directories far deeper than the descriptors the walk holds,
// with two sibling directories at every level that the walk has to come back
// for (their names change with the level, so that the file system lists most
// of them after the chain's next level), and links along the way.
TEST(DirectorySizeTest, ADeepChainIsWalkedOnceWithBoundedDescriptors) {
  testkit::TempDir dir;
  testkit::TempDir outside;
  makeFile(outside.file("big"), 50000);
  const fs::path start = fs::current_path();
  fs::current_path(dir.path());
  constexpr int kLevels = 1500;
  for (int i = 0; i < kLevels; ++i) {
    for (const std::string& sibling : {"a" + std::to_string(i), "b" + std::to_string(i)}) makeFile(sibling + "/f", static_cast<size_t>(i % 97));
    if (i % 100 == 0) {
      fs::create_directory_symlink(dir.path(), "up");
      fs::create_symlink(outside.file("big"), "big");
      fs::create_hard_link(fs::path("a" + std::to_string(i)) / "f", "again");
    }
    // Listed between the two siblings (names come in order): the walk comes
    // back to every level after the chain below it.
    fs::create_directory("b");
    fs::current_path("b");
  }
  fs::current_path(start);

  g_bytes = g_directories = 0;
  ASSERT_EQ(::nftw(dir.path().c_str(), countEntry, 32, FTW_PHYS), 0);
  const DirectoryWalkFigures figures = directoryWalkFigures(dir.wpath());
  EXPECT_EQ(figures.bytes, g_bytes);
  EXPECT_EQ(figures.bytes, directorySize(dir.wpath()));
  EXPECT_EQ(figures.directories, g_directories - 1) << "each directory below the root is listed once";
  // Coming back to the levels it closed costs about one open per level here,
  // not one per level of the path below the ones it held.
  EXPECT_LE(figures.reopened, figures.directories);
  EXPECT_GT(figures.reopened, 0u) << "the chain is deeper than what the walk holds";
  EXPECT_LT(figures.mostHeld, 150u);

  // And with few descriptors allowed the walk still finds everything.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{150, 150};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::_exit(directorySize(dir.wpath()) == g_bytes ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the walk lost part of the tree under 150 descriptors";
  vfs::removeTree(dir.wpath());
}
