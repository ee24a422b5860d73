// Named mutexes shared by every process of the machine: an flock on
// <HALVEX_LOCK_DIR>/<name>.lock ("\" and "/" in the name become "_"). Like a
// Windows mutex it is owned by a thread and recursive for that thread, and the
// kernel frees it when its process ends (an abandoned mutex counts as acquired).
#pragma once

#include <memory>
#include <string>

class VMutex {
 public:
  // Opens or creates the mutex without taking it; failure raises the Windows
  // error "Create mutex with name '" + name + "'" (function VMutex::VMutex).
  explicit VMutex(const std::wstring& name);
  ~VMutex();
  VMutex(const VMutex&) = delete;
  VMutex& operator=(const VMutex&) = delete;

  // Waits without limit (timeoutMs < 0) or up to timeoutMs; returns whether
  // the mutex is now held by the calling thread.
  bool lock(long timeoutMs = -1);
  void unlock();
  const std::wstring& name() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Holds a named mutex for its lifetime.
class ExclusiveTask {
 public:
  // Creation failure raises "create mutex " + name, a failed or timed-out wait
  // "WaitForSingleObject failed for mutex " + name (ExclusiveTask::Initialize).
  ExclusiveTask(const std::wstring& name, long timeoutMs = -1);
  ~ExclusiveTask();

 private:
  std::unique_ptr<VMutex> mutex_;
};

// The directory of the named mutexes (HALVEX_LOCK_DIR, default /run/lock/halvex).
std::string namedMutexDirectory();
