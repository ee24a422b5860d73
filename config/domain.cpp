#include "config/domain.h"

#include "support/vaformat.h"

const wchar_t* logKindDisplayName(int kind) {
  static const wchar_t* names[] = {L"HTTP", L"Anonymous FTP", L"FTP", L"SMTP in", L"SMTP out", L"POP"};
  return kind >= 0 && kind < kLogKinds ? names[kind] : L"";
}

const wchar_t* logKindResultsType(int kind) {
  static const wchar_t* types[] = {L"http", L"anonftp", L"ftp", L"smtpin", L"smtpout", L"pop3imap"};
  return kind >= 0 && kind < kLogKinds ? types[kind] : L"";
}

DomainInfo::DomainInfo(std::wstring domainId, std::wstring domainName)
    : id(std::move(domainId)),
      name(std::move(domainName)),
      businessLock(BusinessLock::RegistryOfflineLockStatus(kDomainIdsKey, id, L"OfflineLockStatus")) {}

std::vector<std::wstring> DomainInfo::rotatedLogDirectories() const {
  std::vector<std::wstring> dirs;
  if (rotateWebLogs && !webLogsDirectory.empty()) dirs.push_back(webLogsDirectory);
  dirs.insert(dirs.end(), logDirectories.begin(), logDirectories.end());
  return dirs;
}

const LogWindow* DomainInfo::windowFor(int kind) const {
  if (kind == LogHttp) return &httpLogWindow;
  if (kind == LogAnonFtp || kind == LogFtp) return &ftpLogWindow;
  return nullptr;
}

LogWindow* DomainInfo::windowFor(int kind) {
  return const_cast<LogWindow*>(static_cast<const DomainInfo*>(this)->windowFor(kind));
}

VDateTime DomainInfo::getStartLogTime(int kind) const {
  const LogWindow* w = windowFor(kind);
  if (!w || w->notLoaded) throw vexception(vaformat(L"Unable to return start log type for %d", kind), VLOC(L"", "DomainInfo::getStartLogTime"));
  return w->start;
}

VDateTime DomainInfo::getEndLogTime(int kind) const {
  const LogWindow* w = windowFor(kind);
  if (!w || w->notLoaded) throw vexception(vaformat(L"Unable to return end log type for %d", kind), VLOC(L"", "DomainInfo::getEndLogTime"));
  return w->end;
}

DomainInfo* DomainModel::findDomainById(const std::wstring& id) const {
  auto it = domainsById.find(id);
  return it == domainsById.end() ? nullptr : it->second.get();
}

DomainInfo* DomainModel::findDomainByName(const std::wstring& name) const {
  auto it = domainIdsByName.find(name);
  return it == domainIdsByName.end() ? nullptr : findDomainById(it->second);
}

std::wstring DomainModel::param(const std::wstring& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::wstring() : it->second;
}
