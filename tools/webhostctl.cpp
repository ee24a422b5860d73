// webhostctl for Linux hosts: answers the statistics utility's request
//   webhostctl --get-vhosts-statistics-info --config=FILE
// where FILE holds domain names joined by ";". The answer comes from the
// host's layout: a domain's site lives in <HTTPD_VHOSTS_D>/<name>, its web
// server logs in <HTTPD_VHOSTS_D>/<name>/logs, and its default documents are
// the first line of <HTTPD_VHOSTS_D>/<name>/conf/default_docs when that file
// exists, else "index.html;index.htm;index.php". A domain without a site
// directory is reported with an empty logsDir.
//
// Servers that keep their logs apart from the sites (a directory per domain
// under /var/log/apache2 or /var/log/nginx) are described by the settings
// "WebLogsDirectory" of the configuration key (a path in which "<domain>"
// stands for the domain's name, for every domain) and the values of its key
// "WebLogsDirectories" named by a domain (that domain's path, "<domain>"
// allowed). Such a directory is reported when it exists and is no link; one
// that is missing or unusable is reported in logsDirError naming the setting,
// never silently left out: its domain's traffic would read as zero.
//
// The site directories belong to tenants, and the answer must stay readable
// whatever they hold:
// - the site, conf and default_docs are opened one component at a time
//   without following a link; default_docs must be a regular file with one
//   name (no hard link to a file elsewhere), and only its first line is read,
//   at most kMaxDefaultDocs bytes of it;
// - the answer is XML 1.0 in plain ASCII: every other character is written
//   as a character reference, so it reads the same in any code page;
// - a value that cannot be reported exactly (default documents holding a
//   control character or bytes that are not text in the locale's charset, a
//   first line without an end within the bound, a file that is a link; a
//   site path XML cannot carry) is left out, and the attribute
//   "defaultDocsError" or "logsDirError" of that domain says why. Such an
//   explanation, like a name XML cannot carry, has each character XML 1.0
//   cannot hold replaced by U+FFFD. Other domains are not affected.
#include <libxml/xmlwriter.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

// default_docs is one short line ("index.html;index.php"); a first line
// longer than this is refused rather than cut.
constexpr size_t kMaxDefaultDocs = 4096;
const wchar_t* const kDefaultDocuments = L"index.html;index.htm;index.php";

int fail(const std::string& message) {
  std::fprintf(stderr, "webhostctl: %s\n", message.c_str());
  return 1;
}

std::vector<std::wstring> splitNames(const std::wstring& list) {
  std::vector<std::wstring> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(L';', start);
    if (end == std::wstring::npos) end = list.size();
    std::wstring name = text::trim(list.substr(start, end - start));
    if (!name.empty()) names.push_back(name);
    start = end + 1;
  }
  return names;
}

bool xmlCanCarry(wchar_t wc) {
  const uint32_t c = static_cast<uint32_t>(wc);
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The text as UTF-8, each character XML 1.0 cannot carry replaced by U+FFFD.
std::string xmlText(const std::wstring& value) {
  std::wstring carried = value;
  for (wchar_t& c : carried)
    if (!xmlCanCarry(c)) c = L'\xFFFD';
  return text::toUtf8(carried);
}

// Why the text cannot be reported exactly, or nothing. `controls`: also
// refuse the controls XML could carry (tab, line breaks) and C1 controls.
std::optional<std::wstring> unreportable(const std::wstring& value, bool controls) {
  for (size_t i = 0; i < value.size(); ++i) {
    const uint32_t c = static_cast<uint32_t>(value[i]);
    if (c >= 0xDC80 && c <= 0xDC80 + 0xFF)
      return vaformat(L"a byte 0x%02X that is not text in the charset ", static_cast<int>(c - 0xDC80)) + text::fromAnsi(text::ansiCharset()) +
             vaformat(L" (at character %d)", static_cast<int>(i + 1));
    if (!xmlCanCarry(value[i]) || (controls && (c < 0x20 || (c >= 0x7F && c <= 0x9F))))
      return vaformat(L"the control character U+%04X (at character %d)", static_cast<int>(c), static_cast<int>(i + 1));
  }
  return std::nullopt;
}

struct DefaultDocuments {
  std::wstring value;
  std::wstring error;  // not empty: the value could not be reported
};

// The first line of conf/default_docs of an open site directory.
DefaultDocuments readDefaultDocuments(const vfs::Directory& site) {
  const std::wstring path = vfs::join(site.path(), L"conf/default_docs");
  try {
    if (!site.exists(L"conf")) return {kDefaultDocuments, L""};
    const vfs::Directory conf = site.openSubdirectory(L"conf");
    if (!conf.exists(L"default_docs")) return {kDefaultDocuments, L""};
    vfs::File file = conf.openRead(L"default_docs");
    const vfs::DirEntry info = file.info();
    if (info.links != 1)
      return {L"", path + vaformat(L" is not used: it has %d names (hard links)", static_cast<int>(info.links))};
    std::string line;
    char buffer[512];
    size_t eol = std::string::npos;
    while (eol == std::string::npos && line.size() <= kMaxDefaultDocs) {
      const size_t n = file.read(buffer, std::min(sizeof buffer, kMaxDefaultDocs + 1 - line.size()));
      if (n == 0) break;
      line.append(buffer, n);
      eol = line.find_first_of("\r\n");
    }
    if (eol == std::string::npos && line.size() > kMaxDefaultDocs)
      return {L"", path + vaformat(L" is not used: its first line is longer than %d bytes", static_cast<int>(kMaxDefaultDocs))};
    const std::wstring value = text::trim(text::fromAnsi(std::string_view(line).substr(0, eol)));
    if (const auto why = unreportable(value, true)) return {L"", path + L" is not used: its first line holds " + *why};
    return {value, L""};
  } catch (const vexception& e) {
    return {L"", path + L" is not used: " + e.message()};
  }
}

constexpr const wchar_t* kLogsDirectoryValue = L"WebLogsDirectory";
constexpr const wchar_t* kLogsDirectoriesKey = L"WebLogsDirectories";
constexpr const wchar_t* kDomainPlaceholder = L"<domain>";

// The operator's choice of where the web logs lie.
class LogsLayout {
 public:
  // Reads the settings; a setting that cannot be read is kept as an error
  // for the domains it applies to.
  LogsLayout() {
    const std::wstring key = kConfigKey;
    try {
      registry::lookup(HKEY_LOCAL_MACHINE, key, kLogsDirectoryValue, installation_.pattern);
    } catch (const vexception& e) {
      installation_.error = e.message();
    }
    installation_.setting = key + L"\\" + kLogsDirectoryValue;
    if (installation_.error.empty() && !installation_.pattern.empty() && installation_.pattern.find(kDomainPlaceholder) == std::wstring::npos)
      installation_.error = L"it holds no <domain>, so every domain would get the same directory";
    const std::wstring domainsKey = key + L"\\" + kLogsDirectoriesKey;
    try {
      if (!registry::keyExists(HKEY_LOCAL_MACHINE, domainsKey)) return;
      for (const std::wstring& name : registry::valueNames(HKEY_LOCAL_MACHINE, domainsKey)) {
        Setting& s = domains_[text::lowerAscii(name)];
        s.setting = domainsKey + L"\\" + name;
        try {
          registry::lookup(HKEY_LOCAL_MACHINE, domainsKey, name, s.pattern);
          if (s.pattern.empty()) s.error = L"it is empty";
        } catch (const vexception& e) {
          s.error = e.message();
        }
      }
    } catch (const vexception& e) {
      installation_.error = L"the key " + domainsKey + L" cannot be read: " + e.message();
    }
  }

  struct Setting {
    std::wstring setting;  // its full name, for messages
    std::wstring pattern;  // empty: the site's logs/
    std::wstring error;
  };
  // The setting that places the domain's logs (pattern empty: the site's logs/).
  const Setting& forDomain(const std::wstring& name) const {
    const auto it = domains_.find(text::lowerAscii(name));
    return it != domains_.end() ? it->second : installation_;
  }

 private:
  Setting installation_;
  std::map<std::wstring, Setting> domains_;
};

// The pattern with the domain's name in place of <domain>, or why it cannot
// name the domain's directory: an absolute path without "." or ".."
// components, the name a single component.
std::optional<std::wstring> expand(const std::wstring& pattern, const std::wstring& name, std::wstring& path) {
  if (name.empty() || name == L"." || name == L".." || name.find(L'/') != std::wstring::npos || name.find(L'\0') != std::wstring::npos)
    return L"the domain's name cannot be a directory name";
  path.clear();
  const std::wstring placeholder = kDomainPlaceholder;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, placeholder.size(), placeholder) == 0) {
      path += name;
      i += placeholder.size();
    } else {
      path += pattern[i++];
    }
  }
  if (path.empty() || path[0] != L'/') return L"it is not an absolute path";
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring part = path.substr(start, end - start);
    if (part.empty() && end != path.size()) return L"it holds an empty component";
    if (part == L"." || part == L"..") return L"it holds a \".\" or \"..\" component";
    start = end + 1;
  }
  while (path.size() > 1 && path.back() == L'/') path.pop_back();
  return std::nullopt;
}

struct Site {
  std::wstring logsDir;
  std::wstring logsDirError;
  DefaultDocuments defaultDocs;
};

// A directory the settings name for the domain: reported when it is one (no
// link in its place), else the error names the setting.
void placeLogs(Site& site, const LogsLayout::Setting& setting, const std::wstring& name) {
  const std::wstring prefix = L"The setting " + setting.setting + L" gives " + name + L" no log directory: ";
  if (!setting.error.empty()) {
    site.logsDirError = prefix + setting.error;
    return;
  }
  std::wstring path;
  if (const auto why = expand(setting.pattern, name, path)) {
    site.logsDirError = prefix + *why;
    return;
  }
  if (const auto why = unreportable(path, false)) {
    site.logsDirError = path + L" cannot be reported: it holds " + *why;
    return;
  }
  try {
    if (!vfs::exists(path)) {
      site.logsDirError = prefix + path + L" does not exist";
      return;
    }
    vfs::Directory::open(path);
    site.logsDir = path;
  } catch (const vexception& e) {
    site.logsDirError = prefix + path + L" cannot be used: " + e.message();
  }
}

Site describe(const std::optional<vfs::Directory>& vhosts, const LogsLayout& layout, const std::wstring& name) {
  Site site;
  const LogsLayout::Setting& setting = layout.forDomain(name);
  const bool ownLogs = !setting.pattern.empty() || !setting.error.empty();
  if (ownLogs) placeLogs(site, setting, name);
  if (!vhosts) return site;
  try {
    if (!vhosts->exists(name)) return site;
    const vfs::Directory directory = vhosts->openSubdirectory(name);
    const std::wstring logs = vfs::join(directory.path(), L"logs");
    if (!ownLogs) {
      if (const auto why = unreportable(logs, false))
        site.logsDirError = logs + L" cannot be reported: it holds " + *why;
      else
        site.logsDir = logs;
    }
    site.defaultDocs = readDefaultDocuments(directory);
  } catch (const vexception& e) {
    if (!ownLogs) site.logsDirError = L"The site directory of " + name + L" is not used: " + e.message();
  }
  return site;
}

class Writer {
 public:
  Writer() : buffer_(xmlBufferCreate()), writer_(buffer_ ? xmlNewTextWriterMemory(buffer_, 0) : nullptr) {
    if (!writer_) throw vexception(L"Unable to create the XML writer", VLOC(L"", "webhostctl"));
  }
  ~Writer() {
    if (writer_) xmlFreeTextWriter(writer_);
    if (buffer_) xmlBufferFree(buffer_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // US-ASCII: the writer turns every other character into a reference.
  void begin() { check(xmlTextWriterStartDocument(writer_, nullptr, "US-ASCII", nullptr)); }
  void start(const char* element) { check(xmlTextWriterStartElement(writer_, BAD_CAST element)); }
  void attribute(const char* name, const std::wstring& value) {
    check(xmlTextWriterWriteAttribute(writer_, BAD_CAST name, BAD_CAST xmlText(value).c_str()));
  }
  void end() { check(xmlTextWriterEndElement(writer_)); }
  // The document; the writer is spent.
  std::string finish() {
    check(xmlTextWriterEndDocument(writer_));
    xmlFreeTextWriter(writer_);
    writer_ = nullptr;
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer_)), static_cast<size_t>(xmlBufferLength(buffer_)));
  }

 private:
  void check(int result) {
    if (result < 0) throw vexception(L"Unable to write the answer", VLOC(L"", "webhostctl"));
  }
  xmlBufferPtr buffer_;
  xmlTextWriterPtr writer_;
};

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  std::string config;
  bool infoRequested = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--get-vhosts-statistics-info")
      infoRequested = true;
    else if (arg.rfind("--config=", 0) == 0)
      config = arg.substr(9);
    else
      return fail("unknown argument '" + arg + "'");
  }
  if (!infoRequested || config.empty()) return fail("usage: webhostctl --get-vhosts-statistics-info --config=FILE");

  try {
    const std::vector<std::wstring> names = splitNames(text::fromAnsi(vfs::readFile(text::fromAnsi(config))));
    const std::wstring vhostsRoot = getProductSetting(L"HTTPD_VHOSTS_D");
    std::optional<vfs::Directory> vhosts;
    if (!vhostsRoot.empty() && vfs::isDirectory(vhostsRoot)) vhosts.emplace(vfs::Directory::open(vhostsRoot));

    const LogsLayout layout;
    Writer w;
    w.begin();
    w.start("domains");
    for (const std::wstring& name : names) {
      const Site site = describe(vhosts, layout, name);
      w.start("domain");
      w.attribute("name", name);
      w.attribute("logsDir", site.logsDir);
      if (!site.logsDirError.empty()) w.attribute("logsDirError", site.logsDirError);
      if (site.defaultDocs.error.empty())
        w.attribute("defaultDocs", site.defaultDocs.value);
      else
        w.attribute("defaultDocsError", site.defaultDocs.error);
      w.end();
    }
    w.end();
    const std::string answer = w.finish();
    if (std::fwrite(answer.data(), 1, answer.size(), stdout) != answer.size()) return fail("cannot write the answer");
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const vexception& e) {
    return fail(text::toUtf8(e.fullText()));
  }
}
