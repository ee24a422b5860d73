// Typed registry access over the store, with the error texts the rest of the
// program reports, and the product settings of the management service.
#include "support/registry.h"

#include <cstdlib>
#include <mutex>

#include "support/exceptions.h"
#include "support/logging.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace registry {
namespace {

std::wstring valuePath(const std::wstring& subKey, const std::wstring& name) { return subKey + L"\\" + name; }

[[noreturn]] void raiseInvalid(const wchar_t* what, const std::wstring& subKey, const std::wstring& name) {
  throw vexception(std::wstring(L"RegQueryValueEx invalid ") + what + L" of '" + valuePath(subKey, name) + L"'",
                   VLOC(L"", "registry::lookup"));
}

bool isStringType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// Set operations report failures as codes only; a store that cannot even be
// opened counts as one that cannot be written.
template <class F>
uint32_t codeOf(F&& body) noexcept {
  try {
    return body();
  } catch (const vosexception& e) {
    return e.code() ? e.code() : winerr::AccessDenied;
  } catch (...) {
    return winerr::AccessDenied;
  }
}

}  // namespace

std::string encodeString(const std::wstring& text) {
  std::string data = text::toUtf16le(text);
  data.append(2, '\0');
  return data;
}

std::wstring decodeString(const std::string& data) {
  std::wstring text = text::fromUtf16le(std::string_view(data).substr(0, data.size() & ~size_t{1}));
  const size_t zero = text.find(L'\0');
  if (zero != std::wstring::npos) text.resize(zero);
  return text;
}

std::string encodeDword(uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return data;
}

std::string encodeQword(uint64_t value) {
  std::string data(8, '\0');
  for (int i = 0; i < 8; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return data;
}

std::wstring expandEnvironmentStrings(const std::wstring& text) {
  std::wstring out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find(L'%', pos);
    const size_t close = open == std::wstring::npos ? std::wstring::npos : text.find(L'%', open + 1);
    if (close == std::wstring::npos) break;
    out.append(text, pos, open - pos);
    const std::wstring name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(text::toAnsi(name).c_str());
    if (value)
      out += text::fromAnsi(value);
    else
      out.append(text, open, close - open + 1);  // an unknown reference stays as written
    pos = close + 1;
  }
  out.append(text, pos, std::wstring::npos);
  return out;
}

uint32_t lookup(RootKey root, const std::wstring& subKey, const std::wstring& name, uint32_t& out, int) {
  RawValue value;
  if (const uint32_t code = readValue(root, subKey, name, value)) return code;
  if (value.type != REG_DWORD) raiseInvalid(L"type", subKey, name);
  if (value.data.size() != 4) raiseInvalid(L"size", subKey, name);
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.data[i]);
  out = number;
  return 0;
}

uint32_t lookup(RootKey root, const std::wstring& subKey, const std::wstring& name, std::wstring& out, uint32_t expectedType, int) {
  RawValue value;
  if (const uint32_t code = readValue(root, subKey, name, value)) return code;
  const bool matches = value.type == expectedType || (isStringType(value.type) && isStringType(expectedType));
  if (!matches) raiseInvalid(L"type", subKey, name);
  out = decodeString(value.data);
  if (value.type == REG_EXPAND_SZ) out = expandEnvironmentStrings(out);
  return 0;
}

std::wstring getstr(RootKey root, const std::wstring& subKey, const std::wstring& name, int view) {
  std::wstring text;
  if (const uint32_t code = lookup(root, subKey, name, text, REG_SZ, view))
    raiseWindowsError(L"lookup subKey=" + subKey + L" value=" + name, code, VLOC(L"", "registry::getstr"));
  return text;
}

void create(RootKey root, const std::wstring& subKey, int) {
  if (const uint32_t code = createKey(root, subKey))
    raiseWindowsError(L"RegCreateKeyEx subKey=" + subKey, code, VLOC(L"", "registry::create"));
}

uint32_t setString(RootKey root, const std::wstring& subKey, const std::wstring& name, const std::wstring& value, int) {
  return codeOf([&] { return writeValue(root, subKey, name, RawValue{REG_SZ, encodeString(value)}); });
}

uint32_t setDword(RootKey root, const std::wstring& subKey, const std::wstring& name, uint32_t value, int) {
  return codeOf([&] { return writeValue(root, subKey, name, RawValue{REG_DWORD, encodeDword(value)}); });
}

}  // namespace registry

namespace {

constexpr const wchar_t* kSecretsKey = L"SOFTWARE\\Halvex\\QMX Config\\Config\\Secrets";

// A setting the service does not know: the name is said, a value never.
std::wstring readSetting(const wchar_t* key, const std::wstring& name, const char* function) {
  std::wstring value;
  const uint32_t code = registry::lookup(HKEY_LOCAL_MACHINE, key, name, value, REG_SZ, RegView32);
  if (code) raiseWindowsError(L"unknown setting " + name, code, VLOC(L"", function));
  return value;
}

}  // namespace

HalvexSrvClient& HalvexSrvClient::instance() {
  static HalvexSrvClient client;
  return client;
}

std::wstring HalvexSrvClient::getString(const std::wstring& name) { return readSetting(kConfigKey, name, "HalvexSrvClient::getString"); }

std::wstring HalvexSrvClient::getPassword(const std::wstring& name) {
  return readSetting(kSecretsKey, name, "HalvexSrvClient::getPassword");
}

std::wstring getProductSetting(const std::wstring& name) {
  std::wstring value = rethrowing(VLOC(vaformat(L"getString(%s)", name), "HalvexSrvClient::getString"),
                                  [&] { return HalvexSrvClient::instance().getString(name); });
  for (wchar_t& c : value)
    if (c == L'\\') c = L'/';
  return value;
}

std::wstring getProductRoot() {
  // Kept only once it has been read, so that a failed first look-up is tried
  // again; kept per store, so that a process pointed at another store (a test
  // installation) does not see the previous one's root.
  static std::mutex guard;
  static std::wstring root;
  static std::string rootStore;
  std::lock_guard<std::mutex> lock(guard);
  const std::string store = registry::storePath();
  if (root.empty() || rootStore != store) {
    root = getProductSetting(L"PRODUCT_ROOT_D");
    rootStore = store;
  }
  return root;
}
