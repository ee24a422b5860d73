#include "app/run_markers.h"

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

VDateTime readStartTime(const DomainInfo& domain, const std::wstring& valueName, const std::wstring& fromDate) {
  std::wstring textValue = fromDate;
  if (textValue.empty()) registry::lookup(HKEY_LOCAL_MACHINE, domainKey(domain.id), valueName, textValue);
  if (!textValue.empty()) return VDateTime::parsed(textValue, L"YMDhms");
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
  // The clock was set back behind the last run. Recording this end would move
  // the marker back, and the next run would count again the lines between
  // the two: the window stays empty and the marker where it is.
  logMessage(LogLevel::Error, L"The clock (%s) is behind the start of the %s window of domain %s (%s): its lines are not counted until the clock passes it",
             window.end.formatMarker(), std::wstring(&window == &domain.httpLogWindow ? L"HTTP" : L"FTP"), domain.name, window.start.formatMarker());
  window.end = window.start;
}
}  // namespace

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
  if (!domain.httpLogWindow.notLoaded) commit.addMarker(domainKey(domain.id), L"LastHttpStatisticsRun", domain.httpLogWindow.end.formatMarker());
  if (!domain.ftpLogWindow.notLoaded) commit.addMarker(domainKey(domain.id), L"LastFtpStatisticsRun", domain.ftpLogWindow.end.formatMarker());
}
