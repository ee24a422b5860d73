// Fixtures shared by the web statistics tests: W3C records built by hand, a
// domain model with hosted domains under a virtual hosts root, and a capture
// of the log dispatch's messages.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/domain.h"
#include "support/datetime.h"
#include "support/logging.h"
#include "traffic/w3c.h"

namespace webstat_testing {

// The full IIS field list the feeds know, in log order.
inline const std::vector<std::wstring> kAllFields = {
    L"date",        L"time",           L"s-sitename", L"s-computername", L"s-ip",         L"cs-method",
    L"cs-uri-stem", L"cs-uri-query",   L"s-port",     L"cs-username",    L"c-ip",         L"cs-version",
    L"cs(User-Agent)", L"cs(Cookie)", L"cs(Referer)", L"cs-host",        L"sc-status",    L"sc-substatus",
    L"sc-win32-status", L"sc-bytes",  L"cs-bytes",    L"time-taken"};

// A record of the given fields split from the line.
inline W3CRecord record(std::vector<std::wstring> fields, const std::wstring& line) { return W3CRecord(std::move(fields), line); }

// The entry time the traffic step hands over: date and time as logged, with
// the day of week filled in.
inline VDateTime entryTime(const std::wstring& date, const std::wstring& time) {
  VDateTime t;
  t.parse(date, L"YMD");
  t.parse(time, L"hms");
  t.normalize();
  return t;
}

// Adds a hosted domain to the model; its logs directory, when given, is
// entered as webhostctl would report it.
inline DomainInfo& addDomain(DomainModel& model, const std::wstring& id, const std::wstring& name, const std::wstring& type,
                             const std::wstring& logsDirectory = L"") {
  auto domain = std::make_shared<DomainInfo>(id, name);
  domain->hosting = true;
  domain->webStatType = type;
  domain->webspaceName = name;
  model.domainsById[id] = domain;
  model.domainIdsByName[name] = id;
  domain->webLogsDirectory = logsDirectory;
  return *domain;
}

using testkit::LogCapture;

}  // namespace webstat_testing
