#include "traffic/accounting.h"

#include <cstdint>
#include <limits>

#include "app/run_markers.h"
#include "support/logging.h"
#include "support/text.h"
#include "traffic/w3c.h"
#include "webstat/log_for_analyser.h"

namespace {

bool sameDay(const VDateTime& a, const VDateTime& b) { return a.day == b.day && a.month == b.month && a.year == b.year; }

// A byte count as the server writes it. A negative figure is no amount of
// traffic (only a hand-edited log has one), so it counts as nothing rather
// than taking bytes off the domain's total.
int64_t byteCount(std::wstring_view value) {
  const long long n = text::parseLeadingInt64(value);
  return n > 0 ? n : 0;
}

// Totals stop at the largest figure instead of wrapping to a negative one.
void addSaturating(int64_t& total, int64_t amount) {
  if (__builtin_add_overflow(total, amount, &total)) total = std::numeric_limits<int64_t>::max();
}

}  // namespace

const LineColumns& LineColumns::of(const W3CRecord& record) {
  if (record.generation() == generation_) return *this;
  generation_ = record.generation();
  date = record.column(L"date");
  time = record.column(L"time");
  scBytes = record.column(L"sc-bytes");
  csBytes = record.column(L"cs-bytes");
  username = record.column(L"cs-username");
  clientIp = record.column(L"c-ip");
  if (clientIp < 0) clientIp = record.column(L"cs-ip");
  method = record.column(L"cs-method");
  return *this;
}

bool isValidLogDate(const VDateTime& time) {
  const int days = daysInMonth(time.year, time.month);  // 0 for a month outside 1..12
  if (time.day >= 1 && time.day <= days) return true;
  logMessage(LogLevel::Warning, L"Invalid datetime %04d/%02d/%02d skipped", time.year, time.month, time.day);
  return false;
}

bool acceptFtpMethod(const W3CRecord& record, int methodColumn, bool& isDownload) {
  std::wstring_view method = record.value(methodColumn);
  logMessage(LogLevel::Info, L"FTP csMethod='%s'", method);
  if (const size_t bracket = method.rfind(L']'); bracket != std::wstring_view::npos) {
    method.remove_prefix(bracket + 1);
    logMessage(LogLevel::Info, L"truncate FTP csMethod='%s'", method);
  }
  if (text::equalsIgnoreCase(method, L"sent")) {
    isDownload = true;
    return true;
  }
  if (text::equalsIgnoreCase(method, L"created")) {
    isDownload = false;
    return true;
  }
  logMessage(LogLevel::Info, L"csMethod != 'sent' and csMethod != 'created' - skip");
  return false;
}

bool acceptFtpMethod(const W3CRecord& record, bool& isDownload) {
  return acceptFtpMethod(record, record.column(L"cs-method"), isDownload);
}

TrafficAccounting::TrafficAccounting(DomainModel& model, AnalyserRegistry* analysers, WindowFailure windowFailed)
    : model_(model), analysers_(analysers), windowFailed_(std::move(windowFailed)) {}

DomainInfo* TrafficAccounting::findDomain(const std::wstring& name) {
  if (haveLastName_ && name == lastName_) return lastDomain_;
  lastDomain_ = model_.findDomainByName(name);
  lastName_.assign(name);
  haveLastName_ = true;
  return lastDomain_;
}

LogForAnalyser* TrafficAccounting::feedFor(const DomainInfo& domain) {
  if (!analysers_) return nullptr;
  if (&domain == feedDomain_) return feed_;
  feed_ = analysers_->getAnalyserForDomain(domain.name);
  feedDomain_ = &domain;
  return feed_;
}

void TrafficAccounting::processLogLine(const VDateTime& time, int kind, const W3CRecord& record, const std::wstring& domainName,
                                       const std::wstring& logPath) {
  DomainInfo* domain = findDomain(domainName);
  if (!domain) return;
  if (!domain->businessLock.held() && !tryLockDomain(*domain)) return;
  LogWindow* window = domain->windowFor(kind);
  if (!window) {
    logMessage(LogLevel::Warning, L"Skipped log type %d", kind);
    return;
  }
  if (window->notLoaded) {
    // A window already loaded by the directory scan keeps its from-date.
    static const std::wstring noFromDate;
    try {
      initLogWindows(*domain, kind == LogHttp, kind != LogHttp, noFromDate);
    } catch (...) {
      if (windowFailed_) windowFailed_(*domain, kind, logPath);
      throw;
    }
  }
  if (time < window->start || !(time < window->end)) return;

  const auto where = [&] { return VLOC(L"Unable to process log " + logPath, "statistics::processLogLine"); };
  LogForAnalyser* feed = rethrowing(where, [&] {
    LogForAnalyser* f = feedFor(*domain);
    if (f) f->prepareLogFile(kind);
    return f;
  });
  rethrowing(where, [&] {
    if (kind == LogHttp)
      processHTTPLogLine(time, kind, record, *domain, feed);
    else
      processFTPLogLine(time, kind, record, domainName, *domain, feed);
  });
}

void TrafficAccounting::processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& record, DomainInfo& domain,
                                           LogForAnalyser* feed) {
  const auto where = [&] { return VLOC(vaformat(L"Process http log line %s", record.line()), "statistics::processHTTPLogLine"); };
  rethrowing(where, [&] {
    if (domain.businessLock.held()) {
      if (!hitCount_ || &domain != hitDomain_ || !sameDay(time, hitDay_)) {
        hitDay_ = time.datePart();
        hitCount_ = &domain.pageHits[hitDay_];
        hitDomain_ = &domain;
      }
      ++*hitCount_;
    }
    addBytes(time, LogHttp, record, domain);
    if (feed) feed->processHTTPLogLine(time, kind, record);
  });
}

void TrafficAccounting::processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& record, const std::wstring& domainName,
                                          DomainInfo& domain, LogForAnalyser* feed) {
  const auto where = [&] { return VLOC(vaformat(L"Process FTP log line %s", record.line()), "statistics::processFTPLogLine"); };
  rethrowing(where, [&] {
    bool isDownload = false;
    if (!acceptFtpMethod(record, columns_.of(record).method, isDownload)) return;
    logMessage(LogLevel::Info, L"FTP host='%s'", domainName);
    addBytes(time, kind, record, domain);
    if (feed) feed->processFTPLogLine(time, kind, record, isDownload);
  });
}

void TrafficAccounting::addBytes(const VDateTime& time, int kind, const W3CRecord& record, DomainInfo& domain) {
  const LineColumns& columns = columns_.of(record);
  const int64_t sent = byteCount(record.value(columns.scBytes));
  const int64_t received = byteCount(record.value(columns.csBytes));
  DailyTraffic& table = domain.traffic[static_cast<size_t>(kind)];
  if (&table != trafficTable_ || !sameDay(time, trafficDay_)) {
    trafficDay_ = time.datePart();
    dayTraffic_ = &table[trafficDay_];
    trafficTable_ = &table;
  }
  addSaturating(dayTraffic_->sent, sent);
  addSaturating(dayTraffic_->received, received);
}
