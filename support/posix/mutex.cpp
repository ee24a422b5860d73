// Named mutexes over flock.
//
// flock belongs to an open file description, not to a thread, and two
// descriptors of one process opened separately on the same file exclude each
// other. Both facts are wrong for a Windows mutex, which is owned by a thread
// and recursive for it however many handles it opened. So a process keeps one
// `NamedLock` per lock file, shared by every VMutex of that name: it holds
// the single descriptor and records the owning thread and its recursion
// count; threads of the process wait for one another on its condition
// variable, and only the owner calls flock, which excludes other processes.
// A thread that logs while it writes a log (the same name, another VMutex
// object) thus takes the mutex again instead of deadlocking on its own lock.
#include "support/mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "support/exceptions.h"
#include "support/text.h"

namespace {

constexpr const char* kDefaultLockDir = "/run/lock/halvex";
constexpr uint32_t kNotOwner = 288;  // ERROR_NOT_OWNER

using Clock = std::chrono::steady_clock;

[[noreturn]] void raiseCreate(int err, const std::wstring& name) {
  raiseErrno(err, L"Create mutex with name '" + name + L"'", VLOC(L"", "VMutex::VMutex"));
}

// The lock directory, created 0755 when missing. It must be a real directory
// that no other user can write, or another user could plant the lock files.
int openLockDirectory(const std::wstring& name) {
  const std::string dir = namedMutexDirectory();
  for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
    if (mkdir(dir.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) raiseCreate(errno, name);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) raiseCreate(errno, name);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) raiseCreate(errno, name);
  struct stat st;
  const bool foreign = fstat(fd, &st) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & 022) != 0;
  if (foreign) {
    close(fd);
    raiseCreate(EACCES, name);
  }
  return fd;
}

std::string lockFileName(const std::wstring& name) {
  std::wstring file = name.empty() ? L"_" : name;
  std::replace(file.begin(), file.end(), L'\\', L'_');
  std::replace(file.begin(), file.end(), L'/', L'_');
  return text::toUtf8(file) + ".lock";
}

// Opens the lock file relative to the checked directory, never through a
// link. 0644: every user may open it for reading, which is all flock needs,
// so other users of the facility can share the mutex but cannot replace it.
int openLockFile(const std::wstring& name) {
  const int dirFd = openLockDirectory(name);
  const std::string file = lockFileName(name);
  int fd = openat(dirFd, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) fd = openat(dirFd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const int err = errno;
  close(dirFd);
  if (fd < 0) raiseCreate(err, name);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    raiseCreate(EACCES, name);
  }
  return fd;
}

// The process-wide state of one lock file.
struct NamedLock {
  explicit NamedLock(int descriptor) : fd(descriptor) {}
  ~NamedLock() { close(fd); }  // the kernel drops the flock with the last descriptor

  const int fd;
  std::mutex guard;
  std::condition_variable released;
  std::thread::id owner;  // default id: no thread of this process holds it
  long count = 0;
};

// Lock files in use by this process, by file name.
std::mutex registryGuard;
std::map<std::string, std::weak_ptr<NamedLock>> locksInUse;

std::shared_ptr<NamedLock> namedLock(const std::wstring& name) {
  const std::string key = namedMutexDirectory() + "/" + lockFileName(name);
  std::lock_guard<std::mutex> lock(registryGuard);
  std::weak_ptr<NamedLock>& slot = locksInUse[key];
  if (std::shared_ptr<NamedLock> existing = slot.lock()) return existing;
  auto created = std::make_shared<NamedLock>(openLockFile(name));
  slot = created;
  return created;
}

// Takes the flock: 0 when taken, ETIMEDOUT when the time ran out, else the
// errno of the failure. An untimed wait blocks in the kernel; a timed one
// polls, since flock has no time-out, backing off from 1 ms to 50 ms.
int takeFileLock(int fd, long timeoutMs) {
  if (timeoutMs < 0) {
    while (flock(fd, LOCK_EX) != 0)
      if (errno != EINTR) return errno;
    return 0;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::chrono::milliseconds pause(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace

std::string namedMutexDirectory() {
  const char* env = std::getenv("HALVEX_LOCK_DIR");
  return env && *env ? std::string(env) : std::string(kDefaultLockDir);
}

struct VMutex::Impl {
  std::wstring name;
  // Shared with every VMutex of the name in this process; the last one to go
  // closes the descriptor, which frees the flock if a thread still held it.
  std::shared_ptr<NamedLock> lock;
};

VMutex::VMutex(const std::wstring& name) : impl_(std::make_unique<Impl>()) {
  impl_->name = name;
  impl_->lock = namedLock(name);
}

VMutex::~VMutex() = default;

bool VMutex::lock(long timeoutMs) {
  NamedLock& l = *impl_->lock;
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(l.guard);
  if (l.owner == self) {
    ++l.count;
    return true;
  }
  const auto isFree = [&] { return l.owner == std::thread::id(); };
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0L));
  if (timeoutMs < 0)
    l.released.wait(guard, isFree);
  else if (!l.released.wait_until(guard, deadline, isFree))
    return false;
  // Claimed for this thread first, then the wait for other processes runs
  // without the guard, so that other threads' checks are not held up by it.
  l.owner = self;
  guard.unlock();
  const long remainingMs =
      timeoutMs < 0 ? -1 : std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
  const int err = takeFileLock(l.fd, remainingMs);
  guard.lock();
  if (err != 0) {
    l.owner = std::thread::id();
    l.released.notify_all();
    if (err == ETIMEDOUT) return false;
    guard.unlock();
    raiseErrno(err, L"WaitForSingleObject failed for mutex " + impl_->name, VLOC(L"", "VMutex::lock"));
  }
  l.count = 1;
  return true;
}

void VMutex::unlock() {
  NamedLock& l = *impl_->lock;
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> guard(l.guard);
  if (l.owner != self) raiseWindowsError(L"ReleaseMutex " + impl_->name, kNotOwner, VLOC(L"", "VMutex::unlock"));
  if (--l.count > 0) return;
  flock(l.fd, LOCK_UN);
  l.owner = std::thread::id();
  l.released.notify_all();
}

const std::wstring& VMutex::name() const { return impl_->name; }

ExclusiveTask::ExclusiveTask(const std::wstring& name, long timeoutMs) {
  try {
    mutex_ = std::make_unique<VMutex>(name);
  } catch (const vosexception& e) {
    raiseWindowsError(L"create mutex " + name, e.code(), VLOC(L"", "ExclusiveTask::Initialize"));
  }
  bool taken = false;
  try {
    taken = mutex_->lock(timeoutMs);
  } catch (const vosexception& e) {
    raiseWindowsError(L"WaitForSingleObject failed for mutex " + name, e.code(), VLOC(L"", "ExclusiveTask::Initialize"));
  }
  if (!taken) raiseWindowsError(L"WaitForSingleObject failed for mutex " + name, winerr::WaitTimeout, VLOC(L"", "ExclusiveTask::Initialize"));
}

ExclusiveTask::~ExclusiveTask() {
  try {
    mutex_->unlock();
  } catch (...) {
    // Only a thread that does not own the mutex gets here: a programming error with nothing to undo.
  }
}
