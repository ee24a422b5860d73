#include "webstat/executor_config.h"

#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <memory>

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

void writeWebStatExecutorConfig(DomainModel& model, DomainInfo& domain) {
  if (!domain.hosting) return;
  const auto found = model.webLogDirectories.find(domain.name);
  if (found == model.webLogDirectories.end() || found->second.empty()) return;

  WebStatExecutorConfig config;
  config.name = domain.name;
  config.logsDirectory = found->second;
  config.webspaceName = domain.webspaceName;
  config.defaultDocument = domain.defaultDocuments;
  config.webStatType = domain.webStatType;
  config.aliases = domain.aliases;
  const std::string document = renderWebStatExecutorConfig(config);
  rethrowing(VLOC(vfs::join(config.logsDirectory, kWebStatExecutorConfigName), "statistics::writeWebStatExecutorConfig"),
             [&] { vfs::Directory::open(config.logsDirectory).writeFileAtomically(kWebStatExecutorConfigName, document); });
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
