// The domain model: everything the run knows about the hosted domains, built
// once from the configuration document.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/business_lock.h"
#include "support/datetime.h"

// Kinds of traffic; the index of DomainInfo::traffic.
enum LogKind : int { LogHttp = 0, LogAnonFtp = 1, LogFtp = 2, LogSmtpIn = 3, LogSmtpOut = 4, LogPop = 5 };
inline constexpr int kLogKinds = 6;

// Display name ("HTTP", "Anonymous FTP", ...) and results type ("http", ...).
const wchar_t* logKindDisplayName(int kind);
const wchar_t* logKindResultsType(int kind);

// A map that takes no room until its first entry (a pointer's worth): most
// of a host's domains have no databases and no mailboxes, and traffic of
// one or two kinds only. As std::map for what the model does with it;
// entries stay where they are until clear().
template <class K, class V>
class LazyMap {
 public:
  using Map = std::map<K, V>;
  using iterator = typename Map::iterator;
  using const_iterator = typename Map::const_iterator;

  LazyMap() = default;
  LazyMap(std::initializer_list<typename Map::value_type> entries) : map_(entries.size() ? std::make_unique<Map>(entries) : nullptr) {}
  LazyMap(const LazyMap& o) : map_(o.map_ ? std::make_unique<Map>(*o.map_) : nullptr) {}
  LazyMap& operator=(const LazyMap& o) {
    map_ = o.map_ ? std::make_unique<Map>(*o.map_) : nullptr;
    return *this;
  }
  LazyMap(LazyMap&&) noexcept = default;
  LazyMap& operator=(LazyMap&&) noexcept = default;

  V& operator[](const K& key) {
    if (!map_) map_ = std::make_unique<Map>();
    return (*map_)[key];
  }
  const V& at(const K& key) const { return map_ ? map_->at(key) : none().at(key); }
  size_t count(const K& key) const { return map_ ? map_->count(key) : 0; }
  const_iterator find(const K& key) const { return map_ ? map_->find(key) : none().cend(); }
  bool empty() const { return !map_ || map_->empty(); }
  size_t size() const { return map_ ? map_->size() : 0; }
  void clear() { map_.reset(); }
  const_iterator begin() const { return map_ ? map_->cbegin() : none().cbegin(); }
  const_iterator end() const { return map_ ? map_->cend() : none().cend(); }
  iterator begin() { return map_ ? map_->begin() : none().begin(); }
  iterator end() { return map_ ? map_->end() : none().end(); }

 private:
  // What an unused map iterates: nothing is ever put into it.
  static Map& none() {
    static Map empty;
    return empty;
  }
  std::unique_ptr<Map> map_;
};

// Bytes of one day: direction 0 sent by the server, direction 1 received.
struct DayTraffic {
  int64_t sent = 0;
  int64_t received = 0;
};
// Calendar date (time of day zero) to the day's bytes, oldest first.
using DailyTraffic = LazyMap<VDateTime, DayTraffic>;

// A collection window: lines from start (inclusive) to end (exclusive).
struct LogWindow {
  VDateTime start;
  VDateTime end;
  std::wstring failedFile;
  // Runs in a row, this one included, that held the window back (0 when it
  // was not held back).
  uint32_t heldRuns = 0;
  bool notLoaded = true;
  // The window lies in the future (--from-date after now, or a clock set
  // back behind the marker): it is empty and its marker is not written.
  bool keepMarker = false;
  // Something due in the window could not be listed, opened or read to its
  // end this run: none of its figures, page hits or feed lines are
  // delivered, its marker stays and its logs are not rotated, so the next
  // run counts them once. `failedFile` names the first such thing.
  bool failed = false;
};

struct DatabaseServer {
  int32_t id = 0;
  std::wstring type, host, login, password;
  int32_t port = 0;
  // As a map key a server is its id alone.
  bool operator<(const DatabaseServer& o) const { return id < o.id; }
};

// Members ordered largest first: one copy per domain, no room lost between.
struct LogRotationSettings {
  std::wstring period;
  std::wstring email;
  int32_t maxNumberOfFiles = 0;
  bool enabled = false;
  bool rotateBySize = false;
  bool compress = true;
};

struct DomainInfo {
  DomainInfo(std::wstring id, std::wstring name);

  std::wstring id;
  std::wstring name;
  LogWindow httpLogWindow;
  LogWindow ftpLogWindow;
  // What the web host utility reported: the logs directory (empty when it
  // reported none, or one that cannot be used) and the default documents
  // (none when not reported or not usable).
  std::wstring webLogsDirectory;
  std::optional<std::wstring> reportedDefaultDocuments;
  // The directories the night's rotation works through: the web logs
  // directory when it is scanned (rotateWebLogs), then the others of
  // logDirectories (ModSecurity, PHP errors); see rotatedLogDirectories.
  std::vector<std::wstring> logDirectories;
  bool rotateWebLogs = false;
  std::wstring guid;
  std::wstring defaultDocuments;
  std::vector<std::wstring> aliases;
  std::wstring wwwRoot, webspaceName, webStatType;
  std::vector<std::wstring> mailNames;
  LazyMap<DatabaseServer, std::vector<std::wstring>> mysqlDatabases;
  LazyMap<DatabaseServer, std::vector<std::wstring>> mssqlDatabases;
  LogRotationSettings logRotation;
  LazyMap<std::wstring, uint64_t> mailboxUsage;
  // Held while this process changes the domain's traffic statistics.
  BusinessLock::RegistryLock businessLock;
  std::array<DailyTraffic, kLogKinds> traffic;
  // Page hits of this domain by calendar date; the run's page-hit table is
  // the sum over the domains whose web traffic it delivers.
  std::map<VDateTime, int64_t> pageHits;
  bool hosting = false, calculateMail = false, tomcatService = false;
  // Cleared when taking businessLock failed and concurrency is not maximized.
  bool lockAllowed = true;

  std::vector<std::wstring> rotatedLogDirectories() const;

  // Whether this run holds back the domain's web or FTP traffic.
  bool trafficHeldBack() const { return httpLogWindow.failed || ftpLogWindow.failed; }

  // The window's start / end for a kind (0: HTTP window; 1, 2: FTP window);
  // raises "Unable to return start log type for %d" when not loaded.
  VDateTime getStartLogTime(int kind) const;
  VDateTime getEndLogTime(int kind) const;
  const LogWindow* windowFor(int kind) const;
  LogWindow* windowFor(int kind);
};

using DomainsById = std::map<std::wstring, std::shared_ptr<DomainInfo>>;

// The model's tables, shared by every step of a run.
struct DomainModel {
  DomainsById domainsById;
  std::map<std::wstring, std::wstring> domainIdsByName;
  std::map<std::wstring, std::wstring> ftpLoginDomains;  // login -> domain name
  std::vector<std::wstring> ftpServerAddresses;
  std::map<std::wstring, std::wstring> anonFtpDomains;  // address -> domain name
  std::map<std::wstring, std::wstring> params;
  // Bytes the night's log rotation will add to (or, negative, take from)
  // each log directory, by its path; disk usage counts the directories as
  // they will stand after it.
  std::map<std::wstring, int64_t> logsChangeByDirectory;
  // The FTP server package is "iisftp7".
  bool iisFtp7 = false;

  DomainInfo* findDomainById(const std::wstring& id) const;
  // Case-sensitive.
  DomainInfo* findDomainByName(const std::wstring& name) const;
  // The parameter's value, empty when absent.
  std::wstring param(const std::wstring& name) const;
};
