#include "webstat/executor_config.h"

#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "config/xml.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/text.h"

namespace {

constexpr size_t kMaxConfigSize = 1 << 20;

// Owns the writer and its memory buffer.
class XmlMemoryWriter {
 public:
  XmlMemoryWriter() : buffer_(xmlBufferCreate()), writer_(buffer_ ? xmlNewTextWriterMemory(buffer_, 0) : nullptr) {
    if (!writer_) throw vexception(L"Unable to create the XML writer", VLOC(L"", "renderWebStatExecutorConfig"));
  }
  ~XmlMemoryWriter() {
    if (writer_) xmlFreeTextWriter(writer_);
    if (buffer_) xmlBufferFree(buffer_);
  }
  XmlMemoryWriter(const XmlMemoryWriter&) = delete;
  XmlMemoryWriter& operator=(const XmlMemoryWriter&) = delete;

  void startDocument() { check(xmlTextWriterStartDocument(writer_, nullptr, "UTF-8", nullptr), "startDocument"); }
  void startElement(const char* name) { check(xmlTextWriterStartElement(writer_, BAD_CAST name), name); }
  void attribute(const char* name, const std::wstring& value) {
    check(xmlTextWriterWriteAttribute(writer_, BAD_CAST name, BAD_CAST text::toUtf8(value).c_str()), name);
  }
  void endElement() { check(xmlTextWriterEndElement(writer_), "endElement"); }
  // Ends the document and returns its bytes.
  std::string finish() {
    check(xmlTextWriterEndDocument(writer_), "endDocument");
    check(xmlTextWriterFlush(writer_), "flush");
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer_)), static_cast<size_t>(xmlBufferLength(buffer_)));
  }

 private:
  static void check(int rc, const char* what) {
    if (rc < 0) throw vexception(L"XML writer failed at " + text::fromUtf8(what), VLOC(L"", "renderWebStatExecutorConfig"));
  }
  xmlBufferPtr buffer_;
  xmlTextWriterPtr writer_;
};

}  // namespace

std::string renderWebStatExecutorConfig(const WebStatExecutorConfig& config) {
  XmlMemoryWriter w;
  w.startDocument();
  w.startElement("config");
  w.startElement("domain");
  w.attribute("name", config.name);
  w.attribute("logs_directory", config.logsDirectory);
  w.attribute("webspaceName", config.webspaceName);
  w.attribute("default_doc", config.defaultDocument);
  w.startElement("webstat");
  w.attribute("type", config.webStatType);
  w.endElement();
  for (const std::wstring& alias : config.aliases) {
    w.startElement("alias");
    w.attribute("name", alias);
    w.endElement();
  }
  w.endElement();
  w.endElement();
  return w.finish();
}

namespace {

// The domain's logs directory, or nothing when the domain gets no file (no
// hosting, no logs directory reported).
const std::wstring* logsDirectoryOf(const DomainInfo& domain) {
  if (!domain.hosting || domain.webLogsDirectory.empty()) return nullptr;
  return &domain.webLogsDirectory;
}

std::string renderFor(const DomainInfo& domain, const std::wstring& logsDirectory) {
  WebStatExecutorConfig config;
  config.name = domain.name;
  config.logsDirectory = logsDirectory;
  config.webspaceName = domain.webspaceName;
  config.defaultDocument = domain.defaultDocuments;
  config.webStatType = domain.webStatType;
  config.aliases = domain.aliases;
  return renderWebStatExecutorConfig(config);
}

// Whether the file in place already holds exactly `document` as this program
// leaves it: a regular file of one link, the directory's owner's, writable
// by nobody else. Most nights nothing of a domain's settings changes, and
// then the file is neither written nor synced again. Anything else (missing,
// a link, another owner, other bytes) is written anew.
bool alreadyInPlace(const vfs::Directory& dir, const std::string& document) {
  try {
    vfs::File file = dir.openRead(kWebStatExecutorConfigName);
    const vfs::DirEntry info = file.info();
    const vfs::DirEntry owner = dir.info();
    if (info.links != 1 || info.size != document.size() || info.uid != owner.uid || info.gid != owner.gid || (info.mode & 022) != 0)
      return false;
    std::string bytes(document.size() + 1, '\0');
    size_t length = 0;
    while (length < bytes.size()) {
      const size_t got = file.read(bytes.data() + length, bytes.size() - length);
      if (got == 0) break;
      length += got;
    }
    return length == document.size() && bytes.compare(0, length, document) == 0;
  } catch (const vexception&) {
    return false;
  }
}

}  // namespace

void writeWebStatExecutorConfig(DomainInfo& domain) {
  const std::wstring* logsDirectory = logsDirectoryOf(domain);
  if (!logsDirectory) return;
  const std::string document = renderFor(domain, *logsDirectory);
  rethrowing(VLOC(vfs::join(*logsDirectory, kWebStatExecutorConfigName), "statistics::writeWebStatExecutorConfig"), [&] {
    const vfs::Directory dir = vfs::Directory::open(*logsDirectory);
    if (!alreadyInPlace(dir, document)) dir.writeFileAtomically(kWebStatExecutorConfigName, document);
  });
}

void WebStatExecutorConfigBatch::add(DomainInfo& domain) {
  if (logsDirectoryOf(domain)) pending_.push_back(&domain);
}

namespace {

// One syncfs per file system the directories lie on: the cost of making a
// batch durable does not grow with the number of domains.
void syncFileSystems(const std::map<uint64_t, vfs::Directory>& fileSystems) {
  for (const auto& [device, dir] : fileSystems)
    if (::syncfs(dir.fd()) != 0)
      throw vexception(L"Unable to flush the file system of " + dir.path() + L" to disk: " + text::fromAnsi(std::strerror(errno)),
                       VLOC(L"", "WebStatExecutorConfigBatch::commit"));
}

}  // namespace

void WebStatExecutorConfigBatch::commit() {
  const std::vector<DomainInfo*> pending = std::move(pending_);
  pending_.clear();
  // One open directory per file system, kept for its syncfs; the others are
  // closed at once, so that ten thousand domains need no more descriptors.
  std::map<uint64_t, vfs::Directory> fileSystems;
  const auto failed = [](const DomainInfo* domain) {
    return [domain] { return VLOC(L"Save domain " + domain->name + L" status", "statistics::start"); };
  };
  const auto where = [](const std::wstring& logsDirectory) {
    return VLOC(vfs::join(logsDirectory, kWebStatExecutorConfigName), "statistics::writeWebStatExecutorConfig");
  };
  // New files beside the old ones, not yet synced or renamed.
  std::vector<Written> written;
  for (DomainInfo* domain : pending) {
    const std::wstring* logsDirectory = logsDirectoryOf(*domain);
    if (!logsDirectory) continue;
    guarded(LogLevel::Error, failed(domain), [&] {
      rethrowing(where(*logsDirectory), [&] {
        const std::string document = renderFor(*domain, *logsDirectory);
        vfs::Directory dir = vfs::Directory::open(*logsDirectory);
        if (alreadyInPlace(dir, document)) return;
        vfs::File out;
        std::wstring temp = dir.createUnique(L"." + std::wstring(kWebStatExecutorConfigName) + L".", out);
        try {
          out.writeAll(document.data(), document.size());
          out.close();
        } catch (...) {
          ::unlinkat(dir.fd(), text::toAnsi(temp).c_str(), 0);
          throw;
        }
        written.push_back({domain, std::move(temp)});
        const uint64_t device = dir.info().device;
        if (!fileSystems.count(device)) fileSystems.emplace(device, std::move(dir));
      });
    });
  }
  if (written.empty()) return;
  // On disk before any rename, so that a crash leaves each domain the old
  // file or the new one; then the renames themselves, before anything
  // records the run as done.
  const bool synced = guarded(LogLevel::Error, VLOC(L"Write the web statistics executor configurations", "statistics::start"),
                              [&] { syncFileSystems(fileSystems); });
  for (const Written& w : written) {
    const std::wstring& logsDirectory = w.domain->webLogsDirectory;
    guarded(LogLevel::Error, failed(w.domain), [&] {
      rethrowing(where(logsDirectory), [&] {
        // Opened again by its path under the same rules: the new file is
        // found only in the directory it was created in.
        const vfs::Directory dir = vfs::Directory::open(logsDirectory);
        try {
          if (!synced) throw vexception(L"The new file was not flushed to disk", VLOC(L"", "WebStatExecutorConfigBatch::commit"));
          dir.rename(w.temp, kWebStatExecutorConfigName);
        } catch (...) {
          ::unlinkat(dir.fd(), text::toAnsi(w.temp).c_str(), 0);
          throw;
        }
      });
    });
  }
  guarded(LogLevel::Error, VLOC(L"Write the web statistics executor configurations", "statistics::start"), [&] { syncFileSystems(fileSystems); });
}

WebStatExecutorConfig readWebStatExecutorConfig(const vfs::Directory& logsDirectory) {
  const std::wstring path = vfs::join(logsDirectory.path(), kWebStatExecutorConfigName);
  return rethrowing(VLOC(path, "readWebStatExecutorConfig"), [&] {
    vfs::File file = logsDirectory.openRead(kWebStatExecutorConfigName);
    // Checked on what was opened: a hard link to another file is refused.
    if (file.info().links != 1) throw vexception(path + L" has more than one link", VLOC(L"", "readWebStatExecutorConfig"));
    if (file.size() > kMaxConfigSize) throw vexception(L"The file is larger than 1 MiB: " + path, VLOC(L"", "readWebStatExecutorConfig"));
    std::string bytes(kMaxConfigSize + 1, '\0');
    size_t length = 0;
    while (length < bytes.size()) {
      const size_t got = file.read(bytes.data() + length, bytes.size() - length);
      if (got == 0) break;
      length += got;
    }
    if (length > kMaxConfigSize) throw vexception(L"The file is larger than 1 MiB: " + path, VLOC(L"", "readWebStatExecutorConfig"));
    bytes.resize(length);

    const XmlDocument document = vxmlLoadXML(text::fromUtf8(bytes));
    xmlNode* root = document.root();
    xmlNode* domain = isElement(root, "config") ? firstChildElement(root, "domain") : nullptr;
    WebStatExecutorConfig config;
    config.name = getAttribute(domain, "name");
    if (config.name.empty()) throw vexception(L"No domain named in " + path, VLOC(L"", "readWebStatExecutorConfig"));
    config.logsDirectory = getAttribute(domain, "logs_directory");
    config.webspaceName = getAttribute(domain, "webspaceName");
    config.defaultDocument = getAttribute(domain, "default_doc");
    config.webStatType = getAttribute(firstChildElement(domain, "webstat"), "type");
    for (xmlNode* alias : childElements(domain, "alias")) config.aliases.push_back(getAttribute(alias, "name"));
    return config;
  });
}
