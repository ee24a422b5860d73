#include "app/business_lock.h"

#include <atomic>
#include <optional>

#include "support/process.h"
#include "support/registry.h"

namespace BusinessLock {

unsigned long RegistryOfflineLockStatus::status() {
  uint32_t value = 0;
  if (registry::lookup(HKEY_LOCAL_MACHINE, subKey(), valueName(), value, RegView32) != 0) return freeStatus();
  return value;
}

unsigned long RegistryOfflineLockStatus::currentOwner() { return process::currentId(); }

void RegistryOfflineLockStatus::setStatus(unsigned long id) {
  const uint32_t code = registry::setDword(HKEY_LOCAL_MACHINE, subKey(), valueName(), static_cast<uint32_t>(id), RegView32);
  // A lock that was not recorded keeps no other instance out: taking it
  // fails. A release that cannot be recorded leaves a value that turns stale
  // when this process ends.
  if (code != 0 && id != freeStatus())
    raiseWindowsError(L"Unable to record the lock " + valueName() + L" of " + subKey() + L" in the registry store", code,
                      VLOC(L"", "BusinessLock::RegistryOfflineLockStatus::setStatus"));
}

namespace {
std::atomic<void (*)()> g_staleOwnerHook{nullptr};
}

void onStaleOwner(void (*hook)()) { g_staleOwnerHook = hook; }

void staleOwnerFound() {
  if (auto hook = g_staleOwnerHook.load()) hook();
}

bool RegistryOfflineLockStatus::isStale() {
  const unsigned long s = status();
  if (s == freeStatus()) return true;
  return !process::exists(static_cast<uint32_t>(s));
}

std::shared_ptr<VMutex> businessMutex() {
  static std::weak_ptr<VMutex> shared;
  static std::mutex guard;
  std::lock_guard<std::mutex> lock(guard);
  std::shared_ptr<VMutex> m = shared.lock();
  if (!m) {
    m = std::make_shared<VMutex>(kBusinessMutexName);
    shared = m;
  }
  return m;
}

struct LockBatch {
  // The objects' own guards, held for the whole batch.
  static std::vector<std::unique_lock<std::recursive_mutex>> sections(const std::vector<RegistryLock*>& locks) {
    std::vector<std::unique_lock<std::recursive_mutex>> held;
    held.reserve(locks.size());
    for (RegistryLock* l : locks) held.emplace_back(l->section_);
    return held;
  }

  static std::vector<BatchOutcome> lock(const std::vector<RegistryLock*>& locks) {
    std::vector<BatchOutcome> outcomes(locks.size(), BatchOutcome::NotTried);
    if (locks.empty()) return outcomes;
    const auto guards = sections(locks);
    std::shared_ptr<VMutex> mutex = businessMutex();
    mutex->lock();
    try {
      std::vector<registry::ValueName> names;
      for (RegistryLock* l : locks) names.push_back({l->status_.subKey(), l->status_.valueName()});
      const std::vector<std::optional<registry::RawValue>> values = registry::readValues(HKEY_LOCAL_MACHINE, names);
      const unsigned long self = process::currentId();
      std::vector<registry::ValueWrite> writes;
      std::vector<size_t> taking;
      bool stale = false;
      for (size_t i = 0; i < locks.size(); ++i) {
        if (locks[i]->held_) {
          outcomes[i] = BatchOutcome::Taken;
          continue;
        }
        unsigned long owner = 0;
        if (const auto& v = values[i]) {
          if (v->type != REG_DWORD || v->data.size() != 4) continue;  // lock() raises the invalid value
          for (int b = 3; b >= 0; --b) owner = (owner << 8) | static_cast<unsigned char>(v->data[b]);
        }
        if (owner != 0) {
          if (owner == self) continue;  // lock() raises the disagreement
          if (process::exists(static_cast<uint32_t>(owner))) {
            outcomes[i] = BatchOutcome::Busy;
            continue;
          }
          stale = true;
        }
        writes.push_back({names[i].subKey, names[i].name, registry::RawValue{REG_DWORD, registry::encodeDword(static_cast<uint32_t>(self))}});
        taking.push_back(i);
      }
      if (stale) staleOwnerFound();
      if (!writes.empty() && registry::writeValues(HKEY_LOCAL_MACHINE, writes) == 0)
        for (size_t i : taking) {
          locks[i]->held_ = true;
          outcomes[i] = BatchOutcome::Taken;
        }
    } catch (...) {
      // Whatever failed is met again, and reported, by lock() on its own.
      for (size_t i = 0; i < locks.size(); ++i)
        if (!locks[i]->held_) outcomes[i] = BatchOutcome::NotTried;
    }
    mutex->unlock();
    return outcomes;
  }

  static void unlock(const std::vector<RegistryLock*>& locks) {
    const auto guards = sections(locks);
    std::vector<registry::ValueWrite> writes;
    for (RegistryLock* l : locks)
      if (l->held_) writes.push_back({l->status_.subKey(), l->status_.valueName(), registry::RawValue{REG_DWORD, registry::encodeDword(0)}});
    if (writes.empty()) return;
    std::shared_ptr<VMutex> mutex = businessMutex();
    mutex->lock();
    try {
      registry::writeValues(HKEY_LOCAL_MACHINE, writes);  // a failure leaves values that turn stale with this process
    } catch (...) {
    }
    mutex->unlock();
    for (RegistryLock* l : locks) l->held_ = false;
  }
};

std::vector<BatchOutcome> tryLockAll(const std::vector<RegistryLock*>& locks) { return LockBatch::lock(locks); }

void unlockAll(const std::vector<RegistryLock*>& locks) { LockBatch::unlock(locks); }

DomainLockChunks::DomainLockChunks(std::vector<std::wstring> domainIds, const wchar_t* valueName)
    : domainIds_(std::move(domainIds)), valueName_(valueName) {}

DomainLockChunks::~DomainLockChunks() { releaseChunk(); }

void DomainLockChunks::releaseChunk() {
  std::vector<RegistryLock*> held;
  for (const auto& l : locks_) held.push_back(l.get());
  unlockAll(held);
  locks_.clear();
  outcomes_.clear();
}

bool DomainLockChunks::acquire(size_t i) {
  if (locks_.empty() || i < chunkStart_ || i >= chunkStart_ + locks_.size()) {
    releaseChunk();
    chunkStart_ = i - i % kChunk;
    std::vector<RegistryLock*> batch;
    for (size_t k = chunkStart_; k < domainIds_.size() && k < chunkStart_ + kChunk; ++k) {
      locks_.push_back(std::make_unique<RegistryLock>(RegistryOfflineLockStatus(kDomainIdsKey, domainIds_[k], valueName_)));
      batch.push_back(locks_.back().get());
    }
    outcomes_ = tryLockAll(batch);
  }
  const size_t k = i - chunkStart_;
  switch (outcomes_[k]) {
    case BatchOutcome::Taken: return true;
    case BatchOutcome::Busy: return false;
    case BatchOutcome::NotTried: break;
  }
  try {
    locks_[k]->lock();
  } catch (const LockException&) {
    return false;
  }
  return true;
}

}  // namespace BusinessLock

std::wstring domainKey(const std::wstring& domainId) { return std::wstring(kDomainIdsKey) + L"\\" + domainId; }
