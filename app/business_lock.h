// Business locks: a registry value holding the owner's process id, tested and
// set under the machine-wide mutex "Global\HalvexStatisticsBusinessLock". A
// lock is only ever tried: when another live process owns it, the caller
// skips the work. A lock left by a process that has ended is taken over.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/mutex.h"

namespace BusinessLock {

// The normal "busy" outcome: another live process holds the lock.
class LockException : public vexception {
 public:
  using vexception::vexception;
};

// The registry and this object disagree about who holds the lock.
class SyncronizationException : public vexception {
 public:
  using vexception::vexception;
};

inline constexpr const wchar_t* kBusinessMutexName = L"Global\\HalvexStatisticsBusinessLock";

// Called, under the business-lock mutex, whenever a lock left by a process
// that has ended is taken over: the run settles what that process left half
// recorded before it reads what the lock guards. Empty by default.
void onStaleOwner(void (*hook)());
void staleOwnerFound();

template <class T>
class OfflineLockStatus {
 public:
  virtual ~OfflineLockStatus() = default;
  virtual T status() = 0;
  virtual T currentOwner() = 0;
  virtual void setStatus(T id) = 0;
  virtual T freeStatus() = 0;
  // True when the stored owner cannot be holding the lock any more.
  virtual bool isStale() = 0;
};

// A lock's status in one registry DWORD, read and written in the 32-bit view.
class RegistryOfflineLockStatus : public OfflineLockStatus<unsigned long> {
 public:
  RegistryOfflineLockStatus(std::wstring subKey, std::wstring valueName) : key_(std::move(subKey)), valueName_(std::move(valueName)) {}
  // A lock in a subkey of a parent key and under a value name that are
  // static texts (the domain ids key, "OfflineLockStatus"): each of a
  // host's domains holds only its own subkey's name.
  RegistryOfflineLockStatus(const wchar_t* parentKey, std::wstring subKeyName, const wchar_t* valueName)
      : parent_(parentKey), key_(std::move(subKeyName)), fixedName_(valueName) {}

  // A missing key or value reads as free; a value of another type raises.
  unsigned long status() override;
  unsigned long currentOwner() override;
  // Creates the key when missing. A failure to write an owner raises the
  // store's error (the lock is then not taken); a failure to write the free
  // status is ignored (the value turns stale when the owner ends).
  void setStatus(unsigned long id) override;
  unsigned long freeStatus() override { return 0; }
  bool isStale() override;

  std::wstring subKey() const { return parent_ ? std::wstring(parent_) + L"\\" + key_ : key_; }
  std::wstring valueName() const { return fixedName_ ? std::wstring(fixedName_) : valueName_; }

 private:
  const wchar_t* parent_ = nullptr;
  std::wstring key_;
  const wchar_t* fixedName_ = nullptr;
  std::wstring valueName_;
};

// The machine-wide mutex, opened once per process and shared by every lock
// object: one descriptor for the process rather than one per domain, so ten
// thousand domains do not exhaust the descriptor table.
std::shared_ptr<VMutex> businessMutex();

// Takes and releases many registry locks at once (business_lock.cpp).
struct LockBatch;

template <class T, class Status>
class PessimisticOfflinelLock {
 public:
  explicit PessimisticOfflinelLock(Status status) : status_(std::move(status)), mutex_(businessMutex()) {}
  ~PessimisticOfflinelLock() {
    try {
      if (held_) unlock();
    } catch (...) {
    }
  }
  PessimisticOfflinelLock(const PessimisticOfflinelLock&) = delete;
  PessimisticOfflinelLock& operator=(const PessimisticOfflinelLock&) = delete;

  // Takes the lock (a no-op when this object holds it already); raises
  // LockException when another live process holds it, and
  // SyncronizationException when the registry names this process while this
  // object does not hold it.
  void lock() {
    std::lock_guard<std::recursive_mutex> section(section_);
    if (held_) return;
    MutexHold hold(*mutex_);
    const T s = status_.status();
    if (s != status_.freeStatus() && !status_.isStale()) {
      if (s == status_.currentOwner())
        throw SyncronizationException(L"Concurrency syncronization error", VLOC(L"", lockFunction()));
      throw LockException(L"Object has been already locked", VLOC(L"", lockFunction()));
    }
    if (s != status_.freeStatus()) staleOwnerFound();
    status_.setStatus(status_.currentOwner());
    held_ = true;
  }

  void unlock() {
    std::lock_guard<std::recursive_mutex> section(section_);
    if (!held_) throw SyncronizationException(L"Object has not been locked", VLOC(L"", unlockFunction()));
    MutexHold hold(*mutex_);
    status_.setStatus(status_.freeStatus());
    held_ = false;
  }

  bool held() const { return held_; }
  Status& status() { return status_; }

 private:
  struct MutexHold {
    explicit MutexHold(VMutex& m) : m_(m) { m_.lock(); }
    ~MutexHold() { m_.unlock(); }
    VMutex& m_;
  };
  static const char* lockFunction() {
    return "BusinessLock::PessimisticOfflinelLock<unsigned long,class BusinessLock::RegistryOfflineLockStatus>::lock";
  }
  static const char* unlockFunction() {
    return "BusinessLock::PessimisticOfflinelLock<unsigned long,class BusinessLock::RegistryOfflineLockStatus>::unlock";
  }

  friend struct LockBatch;

  bool held_ = false;
  std::recursive_mutex section_;
  Status status_;
  std::shared_ptr<VMutex> mutex_;
};

using RegistryLock = PessimisticOfflinelLock<unsigned long, RegistryOfflineLockStatus>;

// What a batch did with one lock.
enum class BatchOutcome {
  Taken,     // held by the object now (or already)
  Busy,      // another live process holds it
  NotTried,  // left as it was: lock() gives the answer (and the error) it gives alone
};

// Takes every free or stale lock of the list under one hold of the mutex,
// with one read and one write of the store, as lock() would one by one: a
// run over thousands of domains otherwise pays a mutex, a read and a write
// transaction per domain. A lock held by a live process is Busy; one whose
// value cannot be read as a lock, that names this process, or that the
// store cannot take, is NotTried (all of them when the store cannot be
// read). The stale-owner hook runs before any lock is written.
std::vector<BatchOutcome> tryLockAll(const std::vector<RegistryLock*>& locks);

// Releases every held lock of the list with one write under one hold of the
// mutex; like unlock(), a release the store cannot record is left to turn
// stale when this process ends.
void unlockAll(const std::vector<RegistryLock*>& locks);

// One lock of the same name on each domain of a step, worked through in
// order: the locks are taken and released kChunk domains at a time with one
// store write each, rather than two writes per domain. A domain's lock is
// held from its chunk's start to its chunk's end, its work inside.
class DomainLockChunks {
 public:
  static constexpr size_t kChunk = 64;

  // `domainIds[i]`: the id of the i-th domain in the order of work, whose
  // key under the domain ids key holds the lock; `valueName` a static text.
  DomainLockChunks(std::vector<std::wstring> domainIds, const wchar_t* valueName);
  ~DomainLockChunks();  // releases what is still held
  DomainLockChunks(const DomainLockChunks&) = delete;
  DomainLockChunks& operator=(const DomainLockChunks&) = delete;

  // Called before the i-th domain's work, in order: true when this process
  // holds its lock, false when another live process does (the work is
  // skipped). A lock the batch could not decide is tried on its own, and
  // raises as lock() does.
  bool acquire(size_t i);

 private:
  void releaseChunk();

  std::vector<std::wstring> domainIds_;
  const wchar_t* valueName_;
  size_t chunkStart_ = 0;
  std::vector<std::unique_ptr<PessimisticOfflinelLock<unsigned long, RegistryOfflineLockStatus>>> locks_;
  std::vector<BatchOutcome> outcomes_;
};

}  // namespace BusinessLock

// Registry keys of the run control.
inline constexpr const wchar_t* kStatisticsKey = L"SOFTWARE\\Halvex\\QMX Config\\Config\\Statistics";
inline constexpr const wchar_t* kDomainIdsKey = L"SOFTWARE\\Halvex\\QMX Config\\Config\\Statistics\\DomainIds";

// The registry key of one domain's locks and markers.
std::wstring domainKey(const std::wstring& domainId);
