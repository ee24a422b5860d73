#include "app/business_lock.h"

#include <atomic>

#include "support/process.h"
#include "support/registry.h"

namespace BusinessLock {

unsigned long RegistryOfflineLockStatus::status() {
  uint32_t value = 0;
  if (registry::lookup(HKEY_LOCAL_MACHINE, subKey_, valueName_, value, RegView32) != 0) return freeStatus();
  return value;
}

unsigned long RegistryOfflineLockStatus::currentOwner() { return process::currentId(); }

void RegistryOfflineLockStatus::setStatus(unsigned long id) {
  const uint32_t code = registry::setDword(HKEY_LOCAL_MACHINE, subKey_, valueName_, static_cast<uint32_t>(id), RegView32);
  // A lock that was not recorded keeps no other instance out: taking it
  // fails. A release that cannot be recorded leaves a value that turns stale
  // when this process ends.
  if (code != 0 && id != freeStatus())
    raiseWindowsError(L"Unable to record the lock " + valueName_ + L" of " + subKey_ + L" in the registry store", code,
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

}  // namespace BusinessLock

std::wstring domainKey(const std::wstring& domainId) { return std::wstring(kDomainIdsKey) + L"\\" + domainId; }
