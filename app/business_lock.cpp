#include "app/business_lock.h"

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
  registry::setDword(HKEY_LOCAL_MACHINE, subKey_, valueName_, static_cast<uint32_t>(id), RegView32);
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
