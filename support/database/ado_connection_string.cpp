#include "support/database/ado_connection_string.h"

#include <map>

#include "support/exceptions.h"
#include "support/text.h"

namespace ado {

namespace {

[[noreturn]] void invalid(const std::wstring& reason) {
  throw vexception(L"Invalid connection string: " + reason, VLOC(L"", "VADOConnection::open"));
}

// Key (lower case) -> value; a value may be quoted with " or ', the quote
// doubled inside.
std::map<std::wstring, std::wstring> parseAdoString(const std::wstring& s) {
  std::map<std::wstring, std::wstring> pairs;
  size_t at = 0;
  while (at < s.size()) {
    const size_t eq = s.find(L'=', at);
    const size_t semi = s.find(L';', at);
    if (eq == std::wstring::npos || (semi != std::wstring::npos && semi < eq)) {
      if (!text::trim(s.substr(at, semi == std::wstring::npos ? std::wstring::npos : semi - at)).empty()) invalid(L"a part without '='");
      if (semi == std::wstring::npos) break;
      at = semi + 1;
      continue;
    }
    const std::wstring key = text::lowerAscii(text::trim(s.substr(at, eq - at)));
    size_t v = eq + 1;
    while (v < s.size() && s[v] == L' ') ++v;
    std::wstring value;
    if (v < s.size() && (s[v] == L'"' || s[v] == L'\'')) {
      const wchar_t quote = s[v++];
      for (;; ++v) {
        if (v >= s.size()) invalid(L"an unterminated quote in the value of " + key);
        if (s[v] == quote) {
          if (v + 1 < s.size() && s[v + 1] == quote) {
            value += quote;
            ++v;
            continue;
          }
          break;
        }
        value += s[v];
      }
      const size_t next = s.find(L';', v);
      at = next == std::wstring::npos ? s.size() : next + 1;
    } else {
      const size_t next = s.find(L';', v);
      value = text::trim(s.substr(v, next == std::wstring::npos ? std::wstring::npos : next - v));
      at = next == std::wstring::npos ? s.size() : next + 1;
    }
    pairs[key] = value;
  }
  return pairs;
}

std::wstring first(const std::map<std::wstring, std::wstring>& pairs, std::initializer_list<const wchar_t*> keys) {
  for (const wchar_t* k : keys)
    if (auto it = pairs.find(k); it != pairs.end()) return it->second;
  return {};
}

bool providerAccepted(const std::wstring& provider) {
  const std::wstring p = text::lowerAscii(provider);
  return p.empty() || p.starts_with(L"sqloledb") || p.starts_with(L"sqlncli") || p.starts_with(L"msoledbsql");
}

struct Endpoint {
  std::wstring server;
  std::wstring port;  // empty with an instance name
};

Endpoint parseDataSource(std::wstring source) {
  source = text::trim(source);
  if (text::lowerAscii(source).starts_with(L"tcp:")) source = text::trim(source.substr(4));
  if (source.empty()) invalid(L"no data source");
  Endpoint e;
  std::wstring host = source;
  const size_t comma = source.find(L',');
  if (comma != std::wstring::npos) {
    host = text::trim(source.substr(0, comma));
    e.port = text::trim(source.substr(comma + 1));
    const bool digits = !e.port.empty() && e.port.size() <= 5 && e.port.find_first_not_of(L"0123456789") == std::wstring::npos;
    if (!digits || std::stoul(e.port) == 0 || std::stoul(e.port) > 65535) invalid(L"the port '" + e.port + L"' of data source " + source);
  }
  std::wstring instance;
  const size_t slash = host.find(L'\\');
  if (slash != std::wstring::npos) {
    instance = host.substr(slash + 1);
    host = host.substr(0, slash);
    if (instance.empty()) invalid(L"an empty instance name in data source " + source);
  }
  if (host == L"(local)" || host == L".") host = L"127.0.0.1";
  if (host.empty()) invalid(L"no host in data source " + source);
  e.server = instance.empty() ? host : host + L"\\" + instance;
  if (instance.empty() && e.port.empty()) e.port = L"1433";
  // An instance name and a port together: the port decides, as in SQL Server's clients.
  if (!instance.empty() && !e.port.empty()) e.server = host;
  return e;
}

}  // namespace

std::wstring odbcValue(const std::wstring& value) {
  const bool plain = value.find_first_of(L";{}=") == std::wstring::npos && (value.empty() || (value.front() != L' ' && value.back() != L' '));
  if (plain) return value;
  std::wstring out = L"{";
  for (wchar_t c : value) {
    out += c;
    if (c == L'}') out += L'}';
  }
  return out + L"}";
}

OdbcConnectionString toOdbcConnectionString(const std::wstring& adoConnectionString, const std::wstring& user, const std::wstring& password,
                                            const std::wstring& driverPath) {
  const auto pairs = parseAdoString(adoConnectionString);
  const std::wstring provider = first(pairs, {L"provider"});
  if (!providerAccepted(provider)) invalid(L"the provider " + provider + L" is not supported");
  const Endpoint endpoint = parseDataSource(first(pairs, {L"data source", L"server", L"address", L"addr", L"network address"}));
  const std::wstring database = first(pairs, {L"initial catalog", L"database"});
  const std::wstring uid = user.empty() ? first(pairs, {L"user id", L"uid"}) : user;
  const std::wstring pwd = password.empty() ? first(pairs, {L"password", L"pwd"}) : password;

  std::wstring s = L"DRIVER=" + odbcValue(driverPath) + L";SERVER=" + odbcValue(endpoint.server);
  if (!endpoint.port.empty()) s += L";PORT=" + endpoint.port;
  if (!database.empty()) s += L";DATABASE=" + odbcValue(database);
  if (!uid.empty()) s += L";UID=" + odbcValue(uid);
  if (!pwd.empty()) s += L";PWD=" + odbcValue(pwd);
  s += L";TDS_Version=7.4;ClientCharset=UTF-8";
  return OdbcConnectionString{text::toUtf8(s), endpoint.server, pwd};
}

}  // namespace ado
