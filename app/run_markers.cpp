#include "app/run_markers.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "support/logging.h"
#include "support/registry.h"

namespace {
bool g_minimizeConcurrency = true;
}

void readMaximizeConcurrency() {
  uint32_t value = 0;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsMaximizeConcurrency", value);
  g_minimizeConcurrency = value == 0;
}

bool minimizeConcurrency() { return g_minimizeConcurrency; }

void ensureStatisticsKeys() {
  registry::create(HKEY_LOCAL_MACHINE, kStatisticsKey);
  registry::create(HKEY_LOCAL_MACHINE, kDomainIdsKey);
}

VDateTime readLogExpirationCutoff() {
  uint32_t seconds = 259200;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsLogExpirationTime", seconds);
  VDateTime now = VDateTime::nowUtc();
  now.millisecond = 0;
  return now.addSeconds(-static_cast<int64_t>(seconds));
}

bool tryLockDomain(DomainInfo& domain) {
  if (!domain.lockAllowed) return false;
  try {
    domain.businessLock.lock();
    return true;
  } catch (const BusinessLock::LockException&) {
    domain.lockAllowed = !minimizeConcurrency();
    return false;
  } catch (...) {
    // A lock that cannot be taken at all (the store cannot be written) is
    // reported once, not again at every line of the domain.
    domain.lockAllowed = false;
    throw;
  }
}

namespace {

constexpr const wchar_t* kMarkerNames[] = {L"LastHttpStatisticsRun", L"LastFtpStatisticsRun"};

// Markers read by lockDomains for the domains it locked, by key and name;
// nullopt: no such value. Each is used once, only while its domain's lock is
// held (nobody else moves the marker meanwhile), and all are dropped at the
// next batch and when the locks are released.
// By domain id, then in the order of kMarkerNames; a marker taken is reset.
struct PrefetchedMarkers {
  std::optional<registry::RawValue> values[2];
  bool taken[2] = {false, false};
};
std::unordered_map<std::wstring, PrefetchedMarkers> g_prefetched;
std::optional<std::optional<registry::RawValue>> g_prefetchedLastRun;

// The prefetched string value, as lookup would give it: true when found
// (`code` 0 with `text`, or FileNotFound); values of another type are left
// to lookup, which raises their error.
bool takePrefetched(std::optional<registry::RawValue> value, uint32_t& code, std::wstring& text) {
  if (!value) {
    code = winerr::FileNotFound;
    return true;
  }
  if (value->type != REG_SZ) return false;
  text = registry::decodeString(value->data);
  code = 0;
  return true;
}

}  // namespace

namespace {

// Domains whose locks and markers go through the store in one batch: each
// batch carries every key in full, so the whole host at once would hold
// megabytes of keys for a moment, where a few hundred cost one more
// transaction each.
constexpr size_t kLockBatch = 256;

void lockBatch(const std::vector<DomainInfo*>& domains) {
  std::vector<DomainInfo*> trying;
  std::vector<BusinessLock::RegistryLock*> locks;
  for (DomainInfo* d : domains)
    if (d->lockAllowed && !d->businessLock.held()) {
      trying.push_back(d);
      locks.push_back(&d->businessLock);
    }
  if (locks.empty()) return;
  const std::vector<BusinessLock::BatchOutcome> outcomes = BusinessLock::tryLockAll(locks);
  std::vector<registry::ValueName> names;
  for (size_t i = 0; i < trying.size(); ++i) {
    if (outcomes[i] == BusinessLock::BatchOutcome::Busy) trying[i]->lockAllowed = !minimizeConcurrency();
    if (outcomes[i] != BusinessLock::BatchOutcome::Taken) continue;
    for (const wchar_t* marker : kMarkerNames) names.push_back({trying[i]->businessLock.status().subKey(), marker});
  }
  if (names.empty()) return;
  const bool lastRun = !g_prefetchedLastRun;
  if (lastRun) names.push_back({kConfigKey, L"LastStatisticsRun"});
  std::vector<std::optional<registry::RawValue>> values;
  try {
    values = registry::readValues(HKEY_LOCAL_MACHINE, names);
  } catch (...) {
    return;  // each window reads its marker itself, and reports
  }
  if (lastRun) g_prefetchedLastRun = std::move(values.back());
  size_t next = 0;
  for (size_t i = 0; i < trying.size(); ++i) {
    if (outcomes[i] != BusinessLock::BatchOutcome::Taken) continue;
    PrefetchedMarkers& markers = g_prefetched[trying[i]->id];
    for (auto& value : markers.values) value = std::move(values[next++]);
  }
}

}  // namespace

void lockDomains(const std::vector<DomainInfo*>& domains) {
  dropPrefetchedMarkers();
  for (size_t first = 0; first < domains.size(); first += kLockBatch)
    lockBatch(std::vector<DomainInfo*>(domains.begin() + first, domains.begin() + std::min(domains.size(), first + kLockBatch)));
}

void dropPrefetchedMarkers() {
  g_prefetched.clear();
  g_prefetchedLastRun.reset();
}

void unlockDomains(const std::vector<DomainInfo*>& domains) {
  dropPrefetchedMarkers();
  std::vector<BusinessLock::RegistryLock*> locks;
  for (DomainInfo* d : domains) {
    if (d->businessLock.held()) locks.push_back(&d->businessLock);
    if (locks.size() == kLockBatch) {
      BusinessLock::unlockAll(locks);
      locks.clear();
    }
  }
  BusinessLock::unlockAll(locks);
}

VDateTime readStartTime(const DomainInfo& domain, const std::wstring& valueName, const std::wstring& fromDate) {
  std::wstring textValue = fromDate;
  bool prefetched = false;
  if (textValue.empty() && domain.businessLock.held()) {
    const auto found = g_prefetched.find(domain.id);
    const size_t index = valueName == kMarkerNames[0] ? 0 : valueName == kMarkerNames[1] ? 1 : 2;
    if (found != g_prefetched.end() && index < 2 && !found->second.taken[index]) {
      uint32_t code = 0;
      found->second.taken[index] = true;
      prefetched = takePrefetched(std::move(found->second.values[index]), code, textValue);
    }
  }
  if (textValue.empty() && !prefetched) {
    // A marker that exists but cannot be read must not count as "no marker":
    // the window would start at the last run of all and count lines again.
    const uint32_t code = registry::lookup(HKEY_LOCAL_MACHINE, domainKey(domain.id), valueName, textValue);
    if (code != 0 && code != winerr::FileNotFound)
      raiseWindowsError(L"Unable to read the run marker " + valueName + L" of domain " + domain.name, code, VLOC(L"", "readStartTime"));
  }
  if (!textValue.empty()) return VDateTime::parsed(textValue, L"YMDhms");
  uint32_t code = 0;
  if (!prefetched || !g_prefetchedLastRun || !takePrefetched(*g_prefetchedLastRun, code, textValue))
    registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun", textValue);
  if (!textValue.empty()) return VDateTime::parsed(textValue, L"YMDhms");
  return VDateTime{};
}

namespace {
void loadWindow(DomainInfo& domain, LogWindow& window, const wchar_t* marker, const std::wstring& fromDate) {
  if (!window.notLoaded) return;
  window.start = readStartTime(domain, marker, fromDate);
  window.end = VDateTime::nowUtc();
  window.end.millisecond = 0;
  window.notLoaded = false;
  if (!(window.end < window.start)) return;
  const std::wstring kind = &window == &domain.httpLogWindow ? L"HTTP" : L"FTP";
  if (!fromDate.empty()) {
    // A start in the future counts nothing, and recording it would make the
    // nights up to it count nothing either.
    logMessage(LogLevel::Warning, L"--from-date %s is later than now (%s): the %s window of domain %s is empty and its marker stays",
               fromDate, window.end.formatMarker(), kind, domain.name);
    window.end = window.start;
    window.keepMarker = true;
    return;
  }
  // The clock was set back behind the last run. Recording this end would move
  // the marker back, and the next run would count again the lines between
  // the two: the window stays empty and the marker where it is.
  logMessage(LogLevel::Error, L"The clock (%s) is behind the start of the %s window of domain %s (%s): its lines are not counted until the clock passes it",
             window.end.formatMarker(), kind, domain.name, window.start.formatMarker());
  window.end = window.start;
  window.keepMarker = true;
}

const wchar_t* heldValueName(bool http) { return http ? L"HttpTrafficHeldBack" : L"FtpTrafficHeldBack"; }

void addWindowMarker(const DomainInfo& domain, const LogWindow& window, bool http, CommitActions& commit) {
  if (window.notLoaded || window.keepMarker) return;
  if (window.failed) {
    commit.addMarker(domainKey(domain.id), heldValueName(http), window.start.formatMarker() + L"|" + std::to_wstring(window.heldRuns));
    return;
  }
  commit.addMarker(domainKey(domain.id), http ? L"LastHttpStatisticsRun" : L"LastFtpStatisticsRun", window.end.formatMarker());
}
}  // namespace

uint32_t readHeldRuns(const DomainInfo& domain, bool http) {
  std::wstring value;
  if (registry::lookup(HKEY_LOCAL_MACHINE, domainKey(domain.id), heldValueName(http), value) != 0) return 0;
  const LogWindow& window = http ? domain.httpLogWindow : domain.ftpLogWindow;
  const size_t bar = value.find(L'|');
  if (bar == std::wstring::npos || value.substr(0, bar) != window.start.formatMarker()) return 0;
  return static_cast<uint32_t>(std::wcstoul(value.c_str() + bar + 1, nullptr, 10));
}

void initLogWindows(DomainInfo& domain, bool http, bool ftp, const std::wstring& fromDate) {
  if (http) loadWindow(domain, domain.httpLogWindow, L"LastHttpStatisticsRun", fromDate);
  if (ftp) loadWindow(domain, domain.ftpLogWindow, L"LastFtpStatisticsRun", fromDate);
}

void saveDomainStatus(const DomainInfo& domain) {
  if (!domain.httpLogWindow.notLoaded)
    registry::setString(HKEY_LOCAL_MACHINE, domainKey(domain.id), L"LastHttpStatisticsRun", domain.httpLogWindow.end.formatMarker());
  if (!domain.ftpLogWindow.notLoaded)
    registry::setString(HKEY_LOCAL_MACHINE, domainKey(domain.id), L"LastFtpStatisticsRun", domain.ftpLogWindow.end.formatMarker());
}

void saveDomainStatus(const DomainInfo& domain, CommitActions& commit) {
  addWindowMarker(domain, domain.httpLogWindow, true, commit);
  addWindowMarker(domain, domain.ftpLogWindow, false, commit);
}
