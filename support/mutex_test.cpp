#include "support/mutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <thread>

#include "support/exceptions.h"
#include "support/testing/testenv.h"
#include "support/text.h"

namespace {

class VMutexTest : public ::testing::Test {
 protected:
  testenv::IsolatedEnvironment env;
  const std::string child = testenv::binDir() + "/support_test_child";

  // Whether another thread can take the mutex right now.
  static bool freeForOtherThread(const std::wstring& name) {
    return std::async(std::launch::async, [&] {
             VMutex other(name);
             const bool taken = other.lock(0);
             if (taken) other.unlock();
             return taken;
           })
        .get();
  }
};

TEST_F(VMutexTest, IsTakenAgainByTheThreadThatHoldsIt) {
  VMutex mutex(L"recursive");
  ASSERT_TRUE(mutex.lock());
  ASSERT_TRUE(mutex.lock(0));
  // A second object of the same name is the same mutex for the owner thread.
  VMutex again(L"recursive");
  ASSERT_TRUE(again.lock(0));
  again.unlock();
  mutex.unlock();
  EXPECT_FALSE(freeForOtherThread(L"recursive"));
  mutex.unlock();
  EXPECT_TRUE(freeForOtherThread(L"recursive"));
  EXPECT_THROW(mutex.unlock(), vosexception);  // not held any more
}

TEST_F(VMutexTest, ExcludesOtherThreadsUntilReleased) {
  VMutex mutex(L"threads");
  ASSERT_TRUE(mutex.lock());
  EXPECT_FALSE(freeForOtherThread(L"threads"));
  std::promise<void> taken, checked;
  auto waiter = std::async(std::launch::async, [&] {
    VMutex other(L"threads");
    const bool ok = other.lock();  // waits without limit for the release below
    taken.set_value();
    checked.get_future().wait();
    other.unlock();
    return ok;
  });
  mutex.unlock();
  taken.get_future().wait();
  EXPECT_FALSE(mutex.lock(0));  // the other thread holds it now
  checked.set_value();
  EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(mutex.lock(0));
  mutex.unlock();
}

TEST_F(VMutexTest, ExcludesAnotherProcessAndIsFreedWhenItsHolderIsKilled) {
  testenv::Child holder(child, {"hold-mutex", "Global\\Shared/Name"});
  ASSERT_EQ(holder.readLine(), "locked");

  VMutex mutex(L"Global\\Shared/Name");
  EXPECT_FALSE(mutex.lock(0));
  EXPECT_FALSE(mutex.lock(30));
  EXPECT_TRUE(std::filesystem::exists(env.lockDir + "/Global_Shared_Name.lock"));

  holder.kill(SIGKILL);
  EXPECT_EQ(holder.wait(), 128 + SIGKILL);
  ASSERT_TRUE(mutex.lock(0));

  // And now this process excludes another one.
  testenv::Child tryer(child, {"try-mutex", "Global\\Shared/Name"});
  EXPECT_EQ(tryer.readLine(), "busy");
  mutex.unlock();
  testenv::Child second(child, {"try-mutex", "Global\\Shared/Name"});
  EXPECT_EQ(second.readLine(), "taken");
}

TEST_F(VMutexTest, LockDirectoryIsCreatedAndMustBeTrustworthy) {
  { VMutex mutex(L"first"); }
  struct stat st;
  ASSERT_EQ(stat(env.lockDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 022, 0u);
  ASSERT_EQ(stat((env.lockDir + "/first.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 022, 0u);

  // A directory that others may write, or a link in a lock file's place, is refused.
  const std::string open = env.dir / "open-locks";
  std::filesystem::create_directories(open);
  chmod(open.c_str(), 0777);
  {
    testenv::ScopedEnv dir("HALVEX_LOCK_DIR", open);
    try {
      VMutex mutex(L"planted");
      FAIL() << "a world-writable lock directory was used";
    } catch (const vosexception& e) {
      EXPECT_NE(e.message().find(L"Create mutex with name 'planted'"), std::wstring::npos) << text::toUtf8(e.message());
    }
    EXPECT_THROW(ExclusiveTask task(L"planted"), vosexception);
  }
  std::filesystem::create_symlink(env.dir / "elsewhere", env.lockDir + "/linked.lock");
  EXPECT_THROW(VMutex mutex(L"linked"), vosexception);
  EXPECT_FALSE(std::filesystem::exists(env.dir / "elsewhere"));
}

TEST_F(VMutexTest, ExclusiveTaskHoldsForItsLifetimeAndTimesOut) {
  {
    ExclusiveTask task(L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}");
    EXPECT_FALSE(freeForOtherThread(L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"));
    auto attempt = std::async(std::launch::async, [] {
      try {
        ExclusiveTask second(L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}", 10);
      } catch (const vosexception& e) {
        return e.message();
      }
      return std::wstring(L"taken");
    });
    const std::wstring message = attempt.get();
    EXPECT_NE(message.find(L"WaitForSingleObject failed for mutex {F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"), std::wstring::npos)
        << text::toUtf8(message);
  }
  EXPECT_TRUE(freeForOtherThread(L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"));
}

}  // namespace
