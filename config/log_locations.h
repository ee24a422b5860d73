// Where the domains' web and FTP logs lie, as the panel's utilities report it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "config/domain.h"

// A directory of W3C logs to scan: its kind, its owner (the domain name for a
// web directory, the FTP server address for an FTP one) and its domain.
struct LogDirectory {
  int kind = LogHttp;
  std::wstring ownerName;
  DomainInfo* domain = nullptr;
};
// Directory path -> entry, in ascending path order.
using LogDirectoryMap = std::map<std::wstring, LogDirectory>;

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
