// The registry: settings, locks and run markers, kept in one transactional
// store shared by every process (file named by HALVEX_REGISTRY, default
// /var/lib/halvex/registry.db). Key and value names are case-insensitive and
// case-preserving; data is kept as Windows keeps it (strings UTF-16LE with the
// terminating zero, DWORDs 4 bytes little-endian).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Root key handles; the program only uses HKEY_LOCAL_MACHINE.
enum class RootKey { HKEY_LOCAL_MACHINE };
using enum RootKey;

// Registry view selector: 0 default, 1 32-bit, 2 64-bit, 3 native. All views
// address the same keys here.
enum RegistryView : int { RegViewDefault = 0, RegView32 = 1, RegView64 = 2, RegViewNative = 3 };

// Registry value types.
enum RegType : uint32_t { REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_QWORD = 11 };

// The configuration key of the panel and its subkeys.
inline constexpr const wchar_t* kConfigKey = L"SOFTWARE\\Halvex\\QMX Config\\Config";

namespace registry {

// A value as stored.
struct RawValue {
  uint32_t type = REG_NONE;
  std::string data;
};

// Low-level store access; every call is one transaction. Errors are Windows
// codes: 2 when a key or value is missing, 5 when the store cannot be written.
// A store that is corrupt or unreadable raises vosexception naming the file.
// A missing store reads as an empty one; only a write creates it.
uint32_t readValue(RootKey root, const std::wstring& subKey, const std::wstring& name, RawValue& out);
// Creates the key and its missing parents in the same transaction.
uint32_t writeValue(RootKey root, const std::wstring& subKey, const std::wstring& name, const RawValue& value);
uint32_t deleteValue(RootKey root, const std::wstring& subKey, const std::wstring& name);
// Deletes the key with its subkeys and values.
uint32_t deleteKey(RootKey root, const std::wstring& subKey);
bool keyExists(RootKey root, const std::wstring& subKey);
// Creates the key and its missing parents.
uint32_t createKey(RootKey root, const std::wstring& subKey);
// Names of the values of a key, in stored case and in the order they were
// first written; empty for a missing key.
std::vector<std::wstring> valueNames(RootKey root, const std::wstring& subKey);
// Names of the direct subkeys of a key, in stored case, sorted ignoring case.
std::vector<std::wstring> subKeyNames(RootKey root, const std::wstring& subKey);
// The value's name as stored; nullopt when the value is missing.
std::optional<std::wstring> storedValueName(RootKey root, const std::wstring& subKey, const std::wstring& name);
// The key's path as stored (the case of its first creation); empty when the
// key is missing.
std::wstring storedKeyPath(RootKey root, const std::wstring& subKey);

// DWORD look-up: 0 on success; the error code otherwise, `out` unchanged.
// A value of another type, or a DWORD of a size other than 4, raises
// "RegQueryValueEx invalid type of '...'" / "... invalid size of '...'".
uint32_t lookup(RootKey root, const std::wstring& subKey, const std::wstring& name, uint32_t& out, int view = RegViewDefault);

// String look-up with an expected type (REG_SZ and REG_EXPAND_SZ accepted for
// each other); a REG_EXPAND_SZ value is expanded (%NAME% from the environment).
uint32_t lookup(RootKey root, const std::wstring& subKey, const std::wstring& name, std::wstring& out, uint32_t expectedType = REG_SZ,
                int view = RegViewDefault);

// The string value, which must exist: otherwise the Windows error with
// "lookup subKey=" + subKey + " value=" + name.
std::wstring getstr(RootKey root, const std::wstring& subKey, const std::wstring& name, int view = RegViewDefault);

// Creates or opens the key; failure raises "RegCreateKeyEx subKey=" + subKey.
void create(RootKey root, const std::wstring& subKey, int view = RegViewDefault);

// Create the key when missing and write; return the error code, raise nothing.
uint32_t setString(RootKey root, const std::wstring& subKey, const std::wstring& name, const std::wstring& value, int view = RegViewDefault);
uint32_t setDword(RootKey root, const std::wstring& subKey, const std::wstring& name, uint32_t value, int view = RegViewDefault);

// Makes every commit so far durable on disk (the store otherwise writes
// lazily). The run calls it once it has recorded what it delivered, so that
// a machine that stops afterwards does not forget the run markers.
uint32_t flush();

// One value of a batch.
struct ValueWrite {
  std::wstring subKey;
  std::wstring name;
  RawValue value;
};

// A value's place: its key and name.
struct ValueName {
  std::wstring subKey;
  std::wstring name;
};

// Reads every value in one transaction, in the order asked: nullopt for a
// missing key or value. A store that cannot be read raises as readValue does;
// a missing store reads as an empty one.
std::vector<std::optional<RawValue>> readValues(RootKey root, const std::vector<ValueName>& names);

// Writes every value in one transaction, creating missing keys: all of them
// are stored or none. 0, or the error code (5 when the store cannot be
// written).
uint32_t writeValues(RootKey root, const std::vector<ValueWrite>& values);

// A batch written in two phases, for values that may become visible only
// once something outside the store is done (a run's markers, once its
// results document is complete). The constructor takes the store's write
// lock and writes the values without committing them; other writers wait
// (as for any busy store) until commit or destruction. Destroyed without a
// commit, or when the process dies in between, it stores nothing.
class PreparedWrite {
 public:
  // Raises the Windows error naming the store: 5 when it cannot be written.
  PreparedWrite(RootKey root, const std::vector<ValueWrite>& values);
  ~PreparedWrite();
  PreparedWrite(const PreparedWrite&) = delete;
  PreparedWrite& operator=(const PreparedWrite&) = delete;

  // Writes more values into the same batch, so that a long batch need not
  // be held whole; raises as the constructor does (and then nothing of the
  // batch is stored, and commit() fails).
  void add(const std::vector<ValueWrite>& values);

  // Makes every value visible at once; 0, or the error code (then nothing
  // was stored). Later calls return 0 and do nothing.
  uint32_t commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The store file in use (HALVEX_REGISTRY or the default).
std::string storePath();

// Windows-like value data: strings UTF-16LE with the terminating zero,
// DWORDs 4 and QWORDs 8 bytes little-endian.
std::string encodeString(const std::wstring& text);
// Up to the first zero character; an odd last byte is ignored.
std::wstring decodeString(const std::string& data);
std::string encodeDword(uint32_t value);
std::string encodeQword(uint64_t value);

// Replaces each %NAME% whose variable is set by its value, as
// ExpandEnvironmentStrings does; other percent signs stay as they are.
std::wstring expandEnvironmentStrings(const std::wstring& text);

}  // namespace registry

// The panel's management service stand-in: product settings are the string
// values of the configuration key, passwords those of its "Secrets" subkey.
class HalvexSrvClient {
 public:
  static HalvexSrvClient& instance();
  // The named setting; a missing one raises as a service that does not know the name.
  std::wstring getString(const std::wstring& name);
  // A stored password; never logged.
  std::wstring getPassword(const std::wstring& name);
};

// The product setting of that name, as a normalised path ("\" becomes "/").
// Failures carry the location "getString(%s)".
std::wstring getProductSetting(const std::wstring& name);
// "PRODUCT_ROOT_D", asked once per process and kept.
std::wstring getProductRoot();
