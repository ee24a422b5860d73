#include "config/log_locations.h"

#include <libxml/tree.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "app/params.h"
#include "config/xml.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/cmdline.h"
#include "support/utilrunner.h"
#include "support/vaformat.h"

namespace {

std::wstring productDirectory(const wchar_t* name) {
  try {
    return getProductSetting(name);
  } catch (...) {
    return std::wstring();  // an unset directory makes the joined paths simply not exist
  }
}

// A reported value as a log line shows it: controls as \uXXXX (no line of
// a tenant's making reaches the log), at most kShown characters followed by
// the full length.
constexpr size_t kShown = 200;
std::wstring shown(const std::wstring& value, bool quoted = true) {
  std::wstring out = quoted ? L"'" : L"";
  for (size_t i = 0; i < value.size() && i < kShown; ++i) {
    const uint32_t c = static_cast<uint32_t>(value[i]);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF || c == L'\\')
      out += vaformat(L"\\u%04X", static_cast<int>(c));
    else
      out += value[i];
  }
  if (quoted) out += L"'";
  if (value.size() > kShown) out += vaformat(L"... (%d characters)", static_cast<int>(value.size()));
  return out;
}

// Why a text is no path or list of names of a directory: a control
// character (a line break included), an undecodable byte or a replacement
// character; nothing when it is clean.
std::optional<std::wstring> dirtyText(const std::wstring& value) {
  for (size_t i = 0; i < value.size(); ++i) {
    const uint32_t c = static_cast<uint32_t>(value[i]);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
      return vaformat(L"it holds the control character U+%04X", static_cast<int>(c));
    // How a byte that is no text in the code page reads (text.h).
    if (c >= 0xDC80 && c <= 0xDC80 + 0xFF) return vaformat(L"it holds the byte 0x%02X, which is no text", static_cast<int>(c - 0xDC80));
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFD || c == 0xFFFE || c == 0xFFFF)
      return vaformat(L"it holds the character U+%04X, which is no text", static_cast<int>(c));
  }
  return std::nullopt;
}

enum class PathState { Directory, Missing, Unusable };

// Whether `path` is the exact path of an existing directory; `why` says
// what else it is. Never raises: a path the file system refuses (too long,
// a name too long) is unusable.
PathState examinePath(const std::wstring& path, std::wstring& why) {
  if (path.empty() || path.front() != L'/') {
    why = L"it is not an absolute path";
    return PathState::Unusable;
  }
  if (const auto dirty = dirtyText(path)) {
    why = *dirty;
    return PathState::Unusable;
  }
  try {
    const std::optional<vfs::EntryType> type = vfs::entryType(path);
    if (type == vfs::EntryType::Directory) return PathState::Directory;
    why = type ? L"it is not a directory" : L"it does not exist";
    return PathState::Missing;
  } catch (const vexception& e) {
    why = shown(e.message(), false);  // it names the path, which may be long
    return PathState::Unusable;
  }
}

bool isUsableDirectory(const std::wstring& path) {
  std::wstring why;
  return examinePath(path, why) == PathState::Directory;
}

// Adds one reported domain; a bad value costs only this domain.
void addWebDomain(DomainModel& model, bool httpRequested, xmlNode* node, const std::wstring& modSecurityRoot, const std::wstring& vhostsRoot,
                  LogDirectoryMap& logDirectoryMap) {
  const std::wstring name = getAttribute(node, "name");
  DomainInfo* domain = model.findDomainByName(name);
  std::wstring logsDir = getAttribute(node, "logsDir");
  const std::wstring logsDirError = getAttribute(node, "logsDirError");
  if (!logsDirError.empty()) logMessage(LogLevel::Warning, L"No log directory for domain %s: %s", shown(name), shown(logsDirError));
  std::wstring why;
  const PathState state = logsDir.empty() ? PathState::Missing : examinePath(logsDir, why);
  if (state == PathState::Unusable) {
    // Not the domain's logs directory either: nothing is written into such a place.
    logMessage(LogLevel::Warning, L"The log directory %s of domain %s is not used: %s", shown(logsDir), shown(name), why);
    logsDir.clear();
  }
  if (domain) {
    logDirectoryMap.detach(*domain);
    domain->webLogsDirectory = logsDir;
  }
  if (!httpRequested) return;

  const std::wstring defaultDocsError = getAttribute(node, "defaultDocsError");
  const std::wstring defaultDocs = getAttribute(node, "defaultDocs");
  const std::optional<std::wstring> badDocs = dirtyText(defaultDocs);
  if (!defaultDocsError.empty())
    logMessage(LogLevel::Warning, L"No default documents for domain %s: %s", shown(name), shown(defaultDocsError));
  else if (badDocs)
    logMessage(LogLevel::Warning, L"The default documents %s of domain %s are not used: %s", shown(defaultDocs), shown(name), *badDocs);
  else if (domain)
    domain->reportedDefaultDocuments = defaultDocs;

  if (state != PathState::Directory || !domain) return;
  domain->rotateWebLogs = true;
  logDirectoryMap.set(logsDir, LogHttp, name, domain);
  // Without a GUID the domain has no ModSecurity directory of its own (the
  // path would be the one above every domain's), and a name that is no
  // single path component names no directory of its own.
  if (vfs::isPathComponent(domain->guid)) {
    const std::wstring modSecurity = vfs::join(vfs::join(modSecurityRoot, domain->guid), L"logs");
    if (isUsableDirectory(modSecurity)) domain->logDirectories.push_back(modSecurity);
  }
  if (vfs::isPathComponent(domain->webspaceName) && vfs::isPathComponent(domain->name)) {
    const std::wstring phpErrors = vfs::join(vfs::join(vfs::join(vhostsRoot, domain->webspaceName), L"logs/php_errors"), domain->name);
    if (isUsableDirectory(phpErrors)) domain->logDirectories.push_back(phpErrors);
  }
  logMessage(LogLevel::Info, L"Log dir %s ordered to proceess", name);
}

}  // namespace

std::wstring_view LogDirectoryMap::held(const std::wstring& text, const std::wstring* own) {
  if (own && *own == text) return *own;
  return copies_.emplace_back(text);
}

void LogDirectoryMap::set(const std::wstring& path, int kind, const std::wstring& ownerName, DomainInfo* domain) {
  entries_.erase(path);
  const std::wstring_view key = held(path, domain ? &domain->webLogsDirectory : nullptr);
  entries_[key] = LogDirectory{kind, held(ownerName, domain ? &domain->name : nullptr), domain};
}

void LogDirectoryMap::detach(const DomainInfo& domain) {
  const std::wstring& own = domain.webLogsDirectory;
  const auto it = entries_.find(own);
  if (it == entries_.end() || it->first.data() != own.data()) return;
  const LogDirectory entry = it->second;
  entries_.erase(it);
  entries_[copies_.emplace_back(own)] = entry;
}

void getWebDomainLogs(DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap) {
  std::wstring names;
  for (const auto& [id, domain] : model.domainsById) {
    if (!domain->hosting) continue;
    if (!names.empty()) names += L";";
    names += domain->name;
  }
  if (names.empty()) return;

  const bool httpRequested = (modeFlags & (HttpTraffic | HttpWebStatistics)) != 0;
  guarded(LogLevel::Error, VLOC(L"Unable to get log directory and default documents for domains", "statistics::getWebDomainLogs"), [&] {
    TemporaryFile request;
    request.write(text::toAnsi(names));
    names = std::wstring();
    std::string answer;
    execHalvexUtil(L"webhostctl", L"--get-vhosts-statistics-info " + quoteArgument(L"--config=" + request.path()), answer);
    // The answer is read in the code page the utility writes; as UTF-8 for
    // the parser, which it already is when it is plain ASCII (as the
    // shipped utility writes it).
    if (std::any_of(answer.begin(), answer.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
      answer = text::toUtf8(text::fromAnsi(answer));
    // A host's answer is read element by element, never held as a tree;
    // it is known to be a whole document first, so that a broken one still
    // costs every domain alike.
    std::wstring fault;
    if (!isXmlDocument(answer, fault)) throw vexception(fault, VLOC(L"", "vxmlLoadXML"));

    const std::wstring modSecurityRoot = vfs::join(productDirectory(L"PRODUCT_DATA_D"), L"ModSecurity/vhosts");
    const std::wstring vhostsRoot = productDirectory(L"HTTPD_VHOSTS_D");
    XmlElementReader reader(answer, L"the answer of webhostctl");
    while (reader.next())
      if (reader.depth() == 1 && isElement(reader.element(), "domain"))
        addWebDomain(model, httpRequested, reader.element(), modSecurityRoot, vhostsRoot, logDirectoryMap);
  });
}

void getFtpLogDirectories(const DomainModel& model, uint32_t modeFlags, LogDirectoryMap& logDirectoryMap) {
  if (!(modeFlags & (FtpTraffic | FtpWebStatistics))) return;
  for (const std::wstring& address : model.ftpServerAddresses) {
    const std::wstring dir = getFtpLogDirectory(address);
    if (dir.empty()) continue;  // no answer: its Error is logged already
    // The answer is taken as it stands: only the exact path of an existing
    // directory is scanned, and another answer costs only its address.
    std::wstring why;
    if (examinePath(dir, why) != PathState::Directory) {
      logMessage(LogLevel::Warning, L"The FTP log directory %s reported for ip = %s is not used: %s", shown(dir), shown(address), why);
      continue;
    }
    logDirectoryMap.set(dir, LogFtp, address, nullptr);
  }
}

std::wstring getFtpLogDirectory(const std::wstring& ipAddress) {
  static std::map<std::wstring, std::wstring> cache;
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(ipAddress);
  if (it != cache.end()) return it->second;
  std::wstring answer;
  if (!guarded(LogLevel::Error, [&] { return VLOC(vaformat(L"getFtpLogDirectory for ip = %s", ipAddress), "getFtpLogDirectory"); },
               [&] { execHalvexUtil(L"ftphostctl", L"--get-log-directory --ip-address=" + ipAddress, &answer); }))
    answer.clear();
  cache[ipAddress] = answer;
  return answer;
}
