// halvex-reg: reads and writes the registry store from the command line, with
// the commands and switches an operator knows from reg.exe:
//   halvex-reg query  KEY [/v NAME | /ve]
//   halvex-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   halvex-reg delete KEY [/v NAME | /ve] [/f]
// Exit code 0 on success, 1 on any failure (message on standard error).
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

constexpr const wchar_t* kRootName = L"HKEY_LOCAL_MACHINE";
constexpr const wchar_t* kNotFound = L"ERROR: The system was unable to find the specified registry key or value.";

constexpr const wchar_t* kUsage =
    L"Usage:\n"
    L"  halvex-reg query  HKLM\\KEY [/v NAME | /ve]\n"
    L"  halvex-reg add    HKLM\\KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_QWORD|REG_BINARY] [/d DATA] [/f]\n"
    L"  halvex-reg delete HKLM\\KEY [/v NAME | /ve] [/f]\n"
    L"The store is the file named by HALVEX_REGISTRY (default /var/lib/halvex/registry.db).\n";

// A failure that ends the command with exit code 1 and this text.
struct Failure {
  std::wstring text;
};

struct Command {
  std::wstring operation;  // lower case
  std::wstring subKey;
  std::optional<std::wstring> value;  // "" for /ve
  uint32_t type = REG_SZ;
  std::optional<std::wstring> data;
  bool force = false;
};

void print(FILE* out, const std::wstring& text) {
  std::fputs(text::toAnsi(text).c_str(), out);
  std::fputs("\n", out);
}

bool isSwitch(const std::wstring& arg, const wchar_t* name) {
  return arg.size() > 1 && (arg[0] == L'/' || arg[0] == L'-') && text::equalsIgnoreCase(arg.substr(1), name);
}

const std::vector<std::pair<uint32_t, std::wstring>>& typeNames() {
  static const std::vector<std::pair<uint32_t, std::wstring>> names = {
      {REG_NONE, L"REG_NONE"},     {REG_SZ, L"REG_SZ"},       {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
      {REG_BINARY, L"REG_BINARY"}, {REG_DWORD, L"REG_DWORD"}, {REG_QWORD, L"REG_QWORD"}};
  return names;
}

std::wstring typeName(uint32_t type) {
  for (const auto& [code, name] : typeNames())
    if (code == type) return name;
  return vaformat(L"REG_UNKNOWN(%lu)", type);
}

uint32_t parseType(const std::wstring& name) {
  for (const auto& [code, known] : typeNames())
    if (code != REG_NONE && text::equalsIgnoreCase(known, name)) return code;
  throw Failure{L"ERROR: Invalid type " + name + L"; use REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD or REG_BINARY."};
}

// "HKLM\A\B" or "HKEY_LOCAL_MACHINE\A\B" to "A\B".
std::wstring parseKey(const std::wstring& path) {
  const size_t slash = path.find(L'\\');
  const std::wstring root = path.substr(0, slash);
  if (!text::equalsIgnoreCase(root, L"HKLM") && !text::equalsIgnoreCase(root, kRootName))
    throw Failure{L"ERROR: Invalid key name " + path + L"; the root must be HKLM."};
  return slash == std::wstring::npos ? L"" : path.substr(slash + 1);
}

Command parseCommand(const std::vector<std::wstring>& args) {
  if (args.size() < 2) throw Failure{L"ERROR: Invalid syntax.\n" + std::wstring(kUsage)};
  Command c;
  c.operation = text::lowerAscii(args[0]);
  if (c.operation != L"query" && c.operation != L"add" && c.operation != L"delete")
    throw Failure{L"ERROR: Invalid operation " + args[0] + L".\n" + kUsage};
  c.subKey = parseKey(args[1]);
  bool typeGiven = false;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    const bool hasNext = i + 1 < args.size();
    if (isSwitch(a, L"v") && hasNext && !c.value) {
      c.value = args[++i];
    } else if (isSwitch(a, L"ve") && !c.value) {
      c.value = L"";
    } else if (isSwitch(a, L"t") && hasNext && c.operation == L"add" && !typeGiven) {
      c.type = parseType(args[++i]);
      typeGiven = true;
    } else if (isSwitch(a, L"d") && hasNext && c.operation == L"add" && !c.data) {
      c.data = args[++i];
    } else if (isSwitch(a, L"f") && c.operation != L"query") {
      c.force = true;
    } else {
      throw Failure{L"ERROR: Invalid syntax at " + a + L".\n" + kUsage};
    }
  }
  if ((typeGiven || c.data) && !c.value) throw Failure{L"ERROR: /t and /d need /v NAME or /ve.\n" + std::wstring(kUsage)};
  return c;
}

uint64_t parseNumber(const std::wstring& text, uint64_t max) {
  const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  const std::wstring digits = hex ? text.substr(2) : text;
  uint64_t value = 0;
  bool valid = !digits.empty();
  for (wchar_t ch : digits) {
    const int digit = ch >= L'0' && ch <= L'9'               ? ch - L'0'
                      : hex && ch >= L'a' && ch <= L'f'      ? ch - L'a' + 10
                      : hex && ch >= L'A' && ch <= L'F'      ? ch - L'A' + 10
                                                              : -1;
    const uint64_t base = hex ? 16 : 10;
    if (digit < 0 || value > (max - static_cast<uint64_t>(digit)) / base) {
      valid = false;
      break;
    }
    value = value * base + static_cast<uint64_t>(digit);
  }
  if (!valid) throw Failure{L"ERROR: Invalid number " + text + L" for /d (decimal or 0x-hexadecimal, in range)."};
  return value;
}

std::string parseBinary(const std::wstring& text) {
  std::string bytes;
  auto nibble = [&](wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    throw Failure{L"ERROR: Invalid binary data " + text + L" for /d (pairs of hexadecimal digits)."};
  };
  if (text.size() % 2) throw Failure{L"ERROR: Invalid binary data " + text + L" for /d (pairs of hexadecimal digits)."};
  for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(static_cast<char>(nibble(text[i]) * 16 + nibble(text[i + 1])));
  return bytes;
}

registry::RawValue valueToWrite(const Command& c) {
  const std::wstring data = c.data.value_or(L"");
  switch (c.type) {
    case REG_DWORD: return {REG_DWORD, registry::encodeDword(static_cast<uint32_t>(data.empty() ? 0 : parseNumber(data, UINT32_MAX)))};
    case REG_QWORD: return {REG_QWORD, registry::encodeQword(data.empty() ? 0 : parseNumber(data, UINT64_MAX))};
    case REG_BINARY: return {REG_BINARY, parseBinary(data)};
    default: return {c.type, registry::encodeString(data)};
  }
}

std::wstring hexBytes(const std::string& data) {
  std::wstring out;
  for (unsigned char byte : data) out += vaformat(L"%02X", byte);
  return out;
}

uint64_t littleEndian(const std::string& data) {
  uint64_t value = 0;
  for (size_t i = data.size(); i-- > 0;) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return value;
}

std::wstring formatData(const registry::RawValue& v) {
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) return registry::decodeString(v.data);
  if (v.type == REG_DWORD && v.data.size() == 4) return vaformat(L"0x%x", static_cast<uint32_t>(littleEndian(v.data)));
  if (v.type == REG_QWORD && v.data.size() == 8) return vaformat(L"0x%I64x", littleEndian(v.data));
  return hexBytes(v.data);
}

std::wstring valueLine(const std::wstring& name, const registry::RawValue& v) {
  return L"    " + (name.empty() ? std::wstring(L"(Default)") : name) + L"    " + typeName(v.type) + L"    " + formatData(v);
}

void checkCode(uint32_t code) {
  if (code == winerr::FileNotFound) throw Failure{kNotFound};
  if (code) throw Failure{L"ERROR: " + systemErrorMessage(code)};
}

// Asks before overwriting or deleting, as reg.exe does without /f; no answer is a no.
void confirm(const std::wstring& question) {
  std::fputs(text::toAnsi(question + L" (Yes/No)? ").c_str(), stdout);
  std::fflush(stdout);
  std::string answer;
  std::getline(std::cin, answer);
  const std::wstring reply = text::lowerAscii(text::trim(text::fromAnsi(answer)));
  if (reply != L"y" && reply != L"yes") throw Failure{L"The operation was cancelled."};
}

std::wstring displayPath(const std::wstring& subKey) {
  const std::wstring stored = registry::storedKeyPath(HKEY_LOCAL_MACHINE, subKey);
  return stored.empty() ? std::wstring(kRootName) : std::wstring(kRootName) + L"\\" + stored;
}

int query(const Command& c) {
  if (!registry::keyExists(HKEY_LOCAL_MACHINE, c.subKey)) throw Failure{kNotFound};
  const std::wstring path = displayPath(c.subKey);
  if (c.value) {
    registry::RawValue v;
    checkCode(registry::readValue(HKEY_LOCAL_MACHINE, c.subKey, *c.value, v));
    print(stdout, path);
    print(stdout, valueLine(registry::storedValueName(HKEY_LOCAL_MACHINE, c.subKey, *c.value).value_or(*c.value), v));
    return 0;
  }
  print(stdout, path);
  for (const std::wstring& name : registry::valueNames(HKEY_LOCAL_MACHINE, c.subKey)) {
    registry::RawValue v;
    // A value deleted since the listing is simply no longer shown.
    if (registry::readValue(HKEY_LOCAL_MACHINE, c.subKey, name, v) == 0) print(stdout, valueLine(name, v));
  }
  const std::vector<std::wstring> subKeys = registry::subKeyNames(HKEY_LOCAL_MACHINE, c.subKey);
  if (!subKeys.empty()) print(stdout, L"");
  for (const std::wstring& sub : subKeys) print(stdout, path + L"\\" + sub);
  return 0;
}

int add(const Command& c) {
  if (!c.value) {
    checkCode(registry::createKey(HKEY_LOCAL_MACHINE, c.subKey));
  } else {
    const registry::RawValue v = valueToWrite(c);
    registry::RawValue existing;
    if (!c.force && registry::readValue(HKEY_LOCAL_MACHINE, c.subKey, *c.value, existing) == 0)
      confirm(L"Value " + (c.value->empty() ? std::wstring(L"(Default)") : *c.value) + L" exists, overwrite");
    checkCode(registry::writeValue(HKEY_LOCAL_MACHINE, c.subKey, *c.value, v));
  }
  print(stdout, L"The operation completed successfully.");
  return 0;
}

int remove(const Command& c) {
  if (!registry::keyExists(HKEY_LOCAL_MACHINE, c.subKey)) throw Failure{kNotFound};
  if (c.value) {
    if (!c.force) confirm(L"Delete the registry value " + (c.value->empty() ? std::wstring(L"(Default)") : *c.value));
    checkCode(registry::deleteValue(HKEY_LOCAL_MACHINE, c.subKey, *c.value));
  } else {
    if (c.subKey.find_first_not_of(L'\\') == std::wstring::npos) throw Failure{L"ERROR: The root key cannot be deleted."};
    if (!c.force) confirm(L"Permanently delete the registry key " + displayPath(c.subKey));
    checkCode(registry::deleteKey(HKEY_LOCAL_MACHINE, c.subKey));
  }
  print(stdout, L"The operation completed successfully.");
  return 0;
}

int run(const std::vector<std::wstring>& args) {
  if (args.size() == 1 && (isSwitch(args[0], L"?") || isSwitch(args[0], L"h") || args[0] == L"--help")) {
    std::fputs(text::toAnsi(kUsage).c_str(), stdout);
    return 0;
  }
  const Command c = parseCommand(args);
  if (c.operation == L"query") return query(c);
  if (c.operation == L"add") return add(c);
  return remove(c);
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(text::fromAnsi(argv[i]));
  try {
    return run(args);
  } catch (const Failure& f) {
    print(stderr, f.text);
  } catch (const vexception& e) {
    print(stderr, L"ERROR: " + e.message());
  } catch (const std::exception& e) {
    print(stderr, L"ERROR: " + text::fromAnsi(e.what()));
  }
  return 1;
}
