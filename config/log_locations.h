// Where the domains' web and FTP logs lie, as the panel's utilities report it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

#include "config/domain.h"

// A directory of W3C logs to scan: its kind, its owner (the domain name for a
// web directory, the FTP server address for an FTP one) and its domain.
struct LogDirectory {
  int kind = LogHttp;
  std::wstring_view ownerName;
  DomainInfo* domain = nullptr;
};

// Directory path -> entry, in ascending path order. A path or an owner that
// is its domain's own (the domain's webLogsDirectory, its name) is that
// string, not a copy: a host's thousands of paths are held once. The
// domains must outlive the map.
class LogDirectoryMap {
 public:
  using Entries = std::map<std::wstring_view, LogDirectory>;
  // Sets the entry of the path, replacing the one there.
  void set(const std::wstring& path, int kind, const std::wstring& ownerName, DomainInfo* domain);
  // Copies what the entries hold of the domain's webLogsDirectory, before
  // that changes (a domain reported twice).
  void detach(const DomainInfo& domain);
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  std::wstring_view held(const std::wstring& text, const std::wstring* own);
  Entries entries_;
  std::deque<std::wstring> copies_;
};

// Asks webhostctl for the hosting domains' log directories and default
// documents; fills each reported domain's webLogsDirectory (always), its
// reportedDefaultDocuments, the map and its logDirectories (IIS,
// ModSecurity, PHP errors) with HTTP traffic or HTTP web statistics
// requested. Failures are
// logged; what was stored before a failure stays. A reported value that
// cannot be used (a logs directory that is no absolute path, holds a control
// character or is refused by the file system; default documents holding a
// control character or undecodable bytes; the utility's own
// logsDirError/defaultDocsError) costs only its domain, with a Warning
// naming it.
void getWebDomainLogs(DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap);

// With FTP traffic or FTP web statistics requested, adds the log directory
// of every FTP server address (kind FTP, no domain). An answer that is not
// the exact absolute path of an existing directory adds nothing for its
// address, with a Warning naming the address.
void getFtpLogDirectories(const DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap);

// ftphostctl's answer for the address, asked at most once per process;
// empty when unknown or on error.
std::wstring getFtpLogDirectory(const std::wstring& ipAddress);
