#include "tests/soak_results.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/business_lock.h"
#include "support/exceptions.h"
#include "support/registry.h"
#include "support/text.h"

namespace soak {

namespace fs = std::filesystem;

bool complete(const std::string& doc) { return doc.find("</data>") != std::string::npos || doc.find("<data/>") != std::string::npos; }

Figures parseTraffic(const std::string& doc) {
  Figures f;
  static const std::regex re(R"re(<traffic dom-id="([^"]*)" date="([^"]*)" type="([^"]*)" in="(-?\d+)" out="(-?\d+)"/>)re");
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), re); it != std::sregex_iterator(); ++it) {
    auto& v = f[{(*it)[1], (*it)[2], (*it)[3]}];
    v.first += std::stoll((*it)[4]);
    v.second += std::stoll((*it)[5]);
  }
  return f;
}

DayCounts parseSitePages(const std::string& doc) {
  DayCounts m;
  static const std::regex re(R"re(<sitepages date="([^"]*)" value="(\d+)"/>)re");
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), re); it != std::sregex_iterator(); ++it) m[(*it)[1]] += std::stoll((*it)[2]);
  return m;
}

void add(Figures& total, const Figures& more) {
  for (const auto& [key, v] : more) {
    total[key].first += v.first;
    total[key].second += v.second;
  }
}

void add(DayCounts& total, const DayCounts& more) {
  for (const auto& [key, v] : more) total[key] += v;
}

std::vector<std::string> differences(const Figures& expected, const Figures& counted) {
  std::vector<std::string> out;
  Figures keys = expected;
  add(keys, counted);
  for (const auto& [key, unused] : keys) {
    const auto e = expected.count(key) ? expected.at(key) : std::pair<int64_t, int64_t>{};
    const auto c = counted.count(key) ? counted.at(key) : std::pair<int64_t, int64_t>{};
    if (e == c) continue;
    const auto& [id, date, type] = key;
    out.push_back("domain " + id + " " + date + " " + type + ": expected in=" + std::to_string(e.first) + " out=" + std::to_string(e.second) +
                  ", counted in=" + std::to_string(c.first) + " out=" + std::to_string(c.second));
  }
  return out;
}

std::vector<std::string> differences(const DayCounts& expected, const DayCounts& counted, const std::string& what) {
  std::vector<std::string> out;
  DayCounts keys = expected;
  add(keys, counted);
  for (const auto& [key, unused] : keys) {
    const int64_t e = expected.count(key) ? expected.at(key) : 0;
    const int64_t c = counted.count(key) ? counted.at(key) : 0;
    if (e != c) out.push_back(what + " " + key + ": expected " + std::to_string(e) + ", counted " + std::to_string(c));
  }
  return out;
}

std::vector<std::pair<std::string, uint32_t>> heldLocks(const std::vector<SoakDomain>& domains) {
  std::vector<std::pair<std::string, uint32_t>> held;
  for (const SoakDomain& d : domains) {
    uint32_t owner = 0;
    registry::lookup(HKEY_LOCAL_MACHINE, domainKey(text::fromAnsi(d.id)), L"OfflineLockStatus", owner, RegView32);
    if (owner != 0) held.emplace_back(d.id, owner);
  }
  return held;
}

std::string checkStore(const std::vector<SoakDomain>& domains) {
  try {
    for (const SoakDomain& d : domains) {
      const std::wstring key = domainKey(text::fromAnsi(d.id));
      for (const std::wstring& name : registry::valueNames(HKEY_LOCAL_MACHINE, key)) {
        registry::RawValue value;
        if (const uint32_t code = registry::readValue(HKEY_LOCAL_MACHINE, key, name, value))
          return "value " + text::toUtf8(name) + " of domain " + d.id + " cannot be read (code " + std::to_string(code) + ")";
      }
    }
  } catch (const vexception& e) {
    return text::toUtf8(e.fullText());
  }
  sqlite3* db = nullptr;
  const std::string path = registry::storePath();
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string error = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close(db);
    return path + ": " + error;
  }
  std::string verdict;
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK && sqlite3_step(check) == SQLITE_ROW)
    verdict = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
  else
    verdict = sqlite3_errmsg(db);
  sqlite3_finalize(check);
  sqlite3_close(db);
  return verdict;
}

namespace {
int64_t lineCount(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  int64_t n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}
}  // namespace

std::pair<int64_t, int64_t> feedLines(const std::string& logsDir) {
  std::pair<int64_t, int64_t> lines;
  for (const auto& e : fs::directory_iterator(logsDir)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || !name.ends_with(".log")) continue;
    if (name.starts_with("web")) lines.first += lineCount(e.path());
    if (name.starts_with("ftp") || name.starts_with("ano")) lines.second += lineCount(e.path());
  }
  return lines;
}

std::vector<std::string> leftovers(const std::string& logsDir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(logsDir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(".") && name.ends_with(".tmp")) out.push_back(e.path().string());
  }
  return out;
}

}  // namespace soak
