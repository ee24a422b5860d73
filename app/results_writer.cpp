#include "app/results_writer.h"

#include <fcntl.h>
#include <libxml/xmlwriter.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "config/domain.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

// The text layer's escape of an undecodable byte B is U+DC80 + B.
constexpr uint32_t kByteEscapeFirst = 0xDC80;
constexpr uint32_t kByteEscapeLast = 0xDC80 + 0xFF;

// XML 1.0's Char production.
bool isXmlChar(uint32_t c) {
  if (c >= 0x20 && c <= 0xD7FF) return true;
  if (c == 0x9 || c == 0xA || c == 0xD) return true;
  return (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace

std::string xmlText(std::wstring_view text) {
  const auto odd = [](wchar_t c) { return !isXmlChar(static_cast<uint32_t>(c)); };
  if (std::none_of(text.begin(), text.end(), odd)) return text::toUtf8(text);
  std::wstring safe;
  safe.reserve(text.size() + 16);
  for (wchar_t wc : text) {
    const uint32_t c = static_cast<uint32_t>(wc);
    if (isXmlChar(c))
      safe += wc;
    else if (c >= kByteEscapeFirst && c <= kByteEscapeLast)
      safe += vaformat(L"\\x%02X", c - kByteEscapeFirst);
    else if (c <= 0xFFFF)
      safe += vaformat(L"\\u%04X", c);
    else
      safe += vaformat(L"\\U%08X", c);
  }
  return text::toUtf8(safe);
}

struct ResultsWriter::Impl {
  vfs::File out;
  bool toFile = false;  // standard output is not synced
  std::unique_ptr<vexception> writeError;
  xmlTextWriterPtr writer = nullptr;
  bool holding = false;
  // The held elements wait in an unnamed file of the run's temporary
  // directory (a host's mailbox and disk usage elements are megabytes), or
  // in memory where no such file can be made.
  vfs::File spool;
  std::string held;

  ~Impl() {
    if (writer) xmlFreeTextWriter(writer);  // also frees the output buffer
  }

  static int writeCallback(void* context, const char* buffer, int len) {
    auto* self = static_cast<Impl*>(context);
    if (self->holding && !self->spool.valid()) {
      self->held.append(buffer, static_cast<size_t>(len));
      return len;
    }
    try {
      (self->holding ? self->spool : self->out).writeAll(buffer, static_cast<size_t>(len));
      return len;
    } catch (const vexception& e) {
      self->writeError = std::make_unique<vexception>(e);
      return -1;
    }
  }

  [[noreturn]] void fail(const char* function) {
    if (writeError) {
      vexception e = *writeError;
      throw e.addLocation(VLOC(L"Write results document " + out.path(), function));
    }
    throw vexception(L"Unable to write the results document " + out.path(), VLOC(L"", function));
  }

  void check(int rc, const char* function) {
    if (rc < 0) fail(function);
  }

  void attribute(const char* name, const std::wstring& value) {
    check(xmlTextWriterWriteAttribute(writer, reinterpret_cast<const xmlChar*>(name), reinterpret_cast<const xmlChar*>(xmlText(value).c_str())),
          "ResultsWriter::writeAttribute");
  }
  void attribute(const char* name, int64_t value) { attribute(name, vaformat(L"%I64d", value)); }

  void start(const char* element) {
    if (!writer) throw vexception(L"The results document has not been begun", VLOC(L"", "ResultsWriter::startElement"));
    check(xmlTextWriterStartElement(writer, reinterpret_cast<const xmlChar*>(element)), "ResultsWriter::startElement");
  }
  void end() { check(xmlTextWriterEndElement(writer), "ResultsWriter::endElement"); }
};

ResultsWriter::ResultsWriter() : impl_(std::make_unique<Impl>()) {}
ResultsWriter::~ResultsWriter() = default;

void ResultsWriter::setOutputFile(const std::wstring& path) {
  impl_->out = vfs::createOutputFile(path);
  impl_->toFile = true;
}

std::wstring ResultsWriter::outputPath() const { return impl_->toFile ? impl_->out.path() : std::wstring(); }

void ResultsWriter::setOutputStdout() {
  impl_->out = vfs::standardOutput();
  impl_->toFile = false;
}

void ResultsWriter::beginDocument() {
  if (!impl_->out.valid()) setOutputStdout();
  xmlOutputBufferPtr out = xmlOutputBufferCreateIO(&Impl::writeCallback, nullptr, impl_.get(), nullptr);
  if (!out) throw vexception(L"Unable to create the XML writer", VLOC(L"", "ResultsWriter::beginDocument"));
  impl_->writer = xmlNewTextWriter(out);
  if (!impl_->writer) {
    xmlOutputBufferClose(out);
    throw vexception(L"Unable to create the XML writer", VLOC(L"", "ResultsWriter::beginDocument"));
  }
  impl_->check(xmlTextWriterStartDocument(impl_->writer, nullptr, "UTF-8", nullptr), "ResultsWriter::beginDocument");
  impl_->start("data");
}

void ResultsWriter::sync() {
  if (!impl_->writer) throw vexception(L"The results document has not been begun", VLOC(L"", "ResultsWriter::sync"));
  impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::sync");
  if (impl_->toFile) impl_->out.sync();
}

void ResultsWriter::endDocument(const std::function<void()>& whenComplete) {
  if (!impl_->writer) throw vexception(L"The results document has not been begun", VLOC(L"", "ResultsWriter::endDocument"));
  impl_->check(xmlTextWriterEndElement(impl_->writer), "ResultsWriter::endDocument");
  impl_->check(xmlTextWriterEndDocument(impl_->writer), "ResultsWriter::endDocument");
  impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::endDocument");
  // On disk and closed without error before anything records it as
  // delivered: the markers and every other commit action depend on it.
  if (impl_->toFile) impl_->out.sync();
  impl_->out.close();
  if (whenComplete) whenComplete();
}

void ResultsWriter::holdElements() {
  if (!impl_->writer) throw vexception(L"The results document has not been begun", VLOC(L"", "ResultsWriter::holdElements"));
  // An empty text closes the root's start tag, so that no byte of it is held.
  impl_->check(xmlTextWriterWriteString(impl_->writer, reinterpret_cast<const xmlChar*>("")), "ResultsWriter::holdElements");
  impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::holdElements");
  if (!impl_->spool.valid()) {
    const std::wstring dir = process::systemTempDirectory();
    const int fd = ::open(text::toAnsi(dir).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) impl_->spool = vfs::File(fd, vfs::join(dir, L"(held results elements)"));
  }
  impl_->holding = true;
}

void ResultsWriter::releaseElements() {
  if (!impl_->holding) return;
  impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::releaseElements");
  impl_->holding = false;
}

void ResultsWriter::writeHeldElements() {
  releaseElements();
  if (impl_->spool.valid()) {
    vfs::File spool = std::move(impl_->spool);
    if (::lseek(spool.fd(), 0, SEEK_SET) != 0)
      throw vexception(L"Unable to read the held results elements back from " + spool.path(), VLOC(L"", "ResultsWriter::writeHeldElements"));
    impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::writeHeldElements");
    std::vector<char> buffer(1 << 16);
    while (const size_t n = spool.read(buffer.data(), buffer.size())) impl_->out.writeAll(buffer.data(), n);
  }
  if (impl_->held.empty()) return;
  impl_->check(xmlTextWriterFlush(impl_->writer), "ResultsWriter::writeHeldElements");
  std::string held = std::move(impl_->held);
  impl_->held.clear();
  impl_->out.writeAll(held.data(), held.size());
}

void ResultsWriter::writeTraffic(const DomainInfo& domain, const VDateTime& date, const std::wstring& resultsType, int64_t inBytes,
                                 int64_t outBytes) {
  impl_->start("traffic");
  impl_->attribute("dom-id", domain.id);
  impl_->attribute("date", date.formatDate());
  impl_->attribute("type", resultsType);
  impl_->attribute("in", inBytes);
  impl_->attribute("out", outBytes);
  impl_->end();
}

void ResultsWriter::writeSitePages(const VDateTime& date, int64_t count) {
  impl_->start("sitepages");
  impl_->attribute("date", date.formatDate());
  impl_->attribute("value", count);
  impl_->end();
}

void ResultsWriter::writeMailMessages(const VDateTime& date, int64_t count) {
  impl_->start("mailmessages");
  impl_->attribute("date", date.formatDate());
  impl_->attribute("value", count);
  impl_->end();
}

void ResultsWriter::writeMailbox(const DomainInfo& domain, const std::wstring& mailboxName, int64_t bytes) {
  impl_->start("mail");
  impl_->attribute("dom-id", domain.id);
  impl_->attribute("name", mailboxName);
  impl_->attribute("value", bytes);
  impl_->end();
}

void ResultsWriter::writeDiskUsage(const DomainInfo& domain, uint64_t httpdocs, uint64_t anonftp, uint64_t logs, uint64_t mysql, uint64_t mssql,
                                   uint64_t mailboxes, uint64_t webapps, uint64_t domaindumps, uint64_t webusers, uint64_t wwwRoot,
                                   uint64_t total) {
  impl_->start("du");
  impl_->attribute("dom-id", domain.id);
  impl_->attribute("httpdocs", static_cast<int64_t>(httpdocs));
  impl_->attribute("anonftp", static_cast<int64_t>(anonftp));
  impl_->attribute("logs", static_cast<int64_t>(logs));
  impl_->attribute("mysqlDbases", static_cast<int64_t>(mysql));
  impl_->attribute("mssqlDbases", static_cast<int64_t>(mssql));
  impl_->attribute("mailboxes", static_cast<int64_t>(mailboxes));
  impl_->attribute("webapps", static_cast<int64_t>(webapps));
  impl_->attribute("webusers", static_cast<int64_t>(webusers));
  impl_->attribute("dumpSize", static_cast<int64_t>(domaindumps));
  impl_->attribute("wwwRoot", static_cast<int64_t>(wwwRoot));
  impl_->attribute("totalSpace", static_cast<int64_t>(total));
  impl_->end();
}

void ResultsWriter::writeAntivirus(const std::wstring& type, const std::wstring& date, const std::wstring& name, uint64_t count) {
  impl_->start("av");
  impl_->attribute("type", type);
  impl_->attribute("date", date);
  impl_->attribute("name", name);
  impl_->attribute("value", static_cast<int64_t>(count));
  impl_->end();
}
