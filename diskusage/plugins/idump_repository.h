// The contract of the panel's dump repository library, qmxrepository.so in
// <PRODUCT_ROOT_D>/admin/bin. A repository can be written outside this
// project against this header alone.
//
// The library exports
//   extern "C" IDumpRepository* getDumpRepository();
// which returns the repository (the library keeps it; the caller never
// frees it) or null when the library cannot serve. The program calls the
// factory once per process and keeps the library loaded while it uses the
// repository.
#pragma once

#include <cstdint>

class IDumpRepository {
 public:
  // Slot 0. The bytes of the backup dumps of the domain with that GUID.
  // `domainGuid` and `name` are in the system ANSI code page; an empty
  // `name` means every dump of the domain, otherwise only the dump of that
  // name. With `excludeAdminDumps` the administrator's dumps of the domain
  // are left out. Failures are thrown as std::exception, what() in the ANSI
  // code page.
  virtual uint64_t dumpSize(const char* domainGuid, const char* name, bool excludeAdminDumps) = 0;

 protected:
  // Not deleted through this interface: the library owns the object.
  ~IDumpRepository() = default;
};

extern "C" {
using GetDumpRepositoryFunction = IDumpRepository* (*)();
}
