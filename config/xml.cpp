#include "config/xml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

// No network, no external DTD, no entity substitution: entities stay
// references, so neither a local file nor a bomb is ever expanded.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR;

// The first error of a parse is the one that names the fault; the parser's
// "last error" is usually only the premature end that follows from it.
struct FirstError {
  bool set = false;
  std::string message;
  int line = 0;
  // A fault of well-formedness was met: what parses on after it is no
  // document (namespace faults are errors a document survives).
  bool fatal = false;
};
thread_local FirstError* t_firstError = nullptr;

void recordInto(FirstError& first, const xmlError* err) {
  if (!err || err->level < XML_ERR_ERROR) return;
  if (err->level == XML_ERR_FATAL) first.fatal = true;
  if (first.set) return;
  first.set = true;
  first.message = err->message ? err->message : "";
  first.line = err->line;
}

void recordError(void*, const xmlError* err) {
  if (t_firstError) recordInto(*t_firstError, err);
}

void recordReaderError(void* first, const xmlError* err) { recordInto(*static_cast<FirstError*>(first), err); }

std::wstring errorReason(const FirstError& first, int& line) {
  std::string message = first.set ? first.message : std::string();
  line = first.line;
  if (!first.set) {
    const xmlError* err = xmlGetLastError();
    line = err ? err->line : 0;
    message = err && err->message ? err->message : "Unknown XML error";
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return text::fromUtf8(message);
}

xmlDocPtr parse(const std::string& bytes, FirstError& first) {
  xmlResetLastError();
  t_firstError = &first;
  xmlSetStructuredErrorFunc(nullptr, reinterpret_cast<xmlStructuredErrorFunc>(&recordError));
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, kParseOptions);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  t_firstError = nullptr;
  return doc;
}

// The same parse as `parse` that builds nothing of the content (the
// declarations it needs to parse on are kept): whether the text is a
// document, its faults named as `parse` names them.
bool parsesWithoutTree(const std::string& bytes, FirstError& first) {
  xmlResetLastError();
  xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(bytes.data(), static_cast<int>(bytes.size()));
  if (!ctxt) return false;
  // Handlers that take the content and drop it: the parser goes the same
  // ways as with the tree's (without one it skips some checks and words
  // their faults otherwise).
  xmlSAXHandler sax;
  xmlSAXVersion(&sax, 2);
  sax.startElement = [](void*, const xmlChar*, const xmlChar**) {};
  sax.endElement = [](void*, const xmlChar*) {};
  sax.startElementNs = [](void*, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int, int, const xmlChar**) {};
  sax.endElementNs = [](void*, const xmlChar*, const xmlChar*, const xmlChar*) {};
  sax.characters = [](void*, const xmlChar*, int) {};
  sax.ignorableWhitespace = [](void*, const xmlChar*, int) {};
  sax.cdataBlock = [](void*, const xmlChar*, int) {};
  sax.comment = [](void*, const xmlChar*) {};
  sax.processingInstruction = [](void*, const xmlChar*, const xmlChar*) {};
  sax.reference = [](void*, const xmlChar*) {};
  *ctxt->sax = sax;
  t_firstError = &first;
  xmlSetStructuredErrorFunc(nullptr, reinterpret_cast<xmlStructuredErrorFunc>(&recordError));
  xmlCtxtUseOptions(ctxt, kParseOptions);
  xmlParseDocument(ctxt);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  t_firstError = nullptr;
  const bool wellFormed = ctxt->wellFormed != 0;
  if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);
  ctxt->myDoc = nullptr;
  xmlFreeParserCtxt(ctxt);
  return wellFormed;
}

// The text vxmlLoad raises for a document that is none.
vexception notADocument(const FirstError& first, bool parsed, const std::wstring& path, const char* function) {
  int line = 0;
  std::wstring reason = errorReason(first, line);
  if (!parsed && reason.empty()) reason = L"Document is empty";
  return vexception(vaformat(L"%s in line %d\n", reason, line) + L" at load " + path, VLOC(L"", function));
}

}  // namespace

// The file as the reader's input: a failure to read ends the input and is
// kept, to be raised as itself rather than as a parse fault.
struct XmlElementReader::Source {
  Source(vfs::File* f, const std::string* b, std::wstring p) : file(f), bytes(b), path(std::move(p)) {}
  // One of the two: a file, or a text in memory.
  vfs::File* file;
  const std::string* bytes;
  size_t offset = 0;
  std::wstring path;
  bool failed = false;
  std::wstring failure;

  static int read(void* context, char* buffer, int length) {
    auto* source = static_cast<Source*>(context);
    if (source->bytes) {
      const size_t n = std::min(static_cast<size_t>(length), source->bytes->size() - source->offset);
      std::memcpy(buffer, source->bytes->data() + source->offset, n);
      source->offset += n;
      return static_cast<int>(n);
    }
    try {
      return static_cast<int>(source->file->read(buffer, static_cast<size_t>(length)));
    } catch (const vexception& e) {
      source->failure = e.message();
    } catch (const std::exception& e) {
      source->failure = text::fromUtf8(e.what());
    }
    source->failed = true;
    return -1;
  }
};

struct XmlElementReader::Errors : FirstError {};

XmlElementReader::XmlElementReader(vfs::File& file, std::wstring path)
    : source_(std::make_unique<Source>(&file, nullptr, std::move(path))), errors_(std::make_unique<Errors>()) {
  if (file.size() > static_cast<uint64_t>(INT32_MAX))
    throw vexception(L"File is too large\n at load " + source_->path, VLOC(L"", "XmlElementReader"));
  start();
}

XmlElementReader::XmlElementReader(const std::string& bytes, std::wstring name)
    : source_(std::make_unique<Source>(nullptr, &bytes, std::move(name))), errors_(std::make_unique<Errors>()) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX))
    throw vexception(L"File is too large\n at load " + source_->path, VLOC(L"", "XmlElementReader"));
  start();
}

void XmlElementReader::start() {
  xmlResetLastError();
  reader_ = xmlReaderForIO(&Source::read, nullptr, source_.get(), nullptr, nullptr, kParseOptions);
  if (!reader_) throw vexception(L"Unable to start the XML reader\n at load " + source_->path, VLOC(L"", "XmlElementReader"));
  xmlTextReaderSetStructuredErrorHandler(reader_, reinterpret_cast<xmlStructuredErrorFunc>(&recordReaderError), errors_.get());
}

XmlElementReader::~XmlElementReader() {
  if (reader_) xmlFreeTextReader(reader_);
}

bool XmlElementReader::next() {
  element_ = nullptr;
  depth_ = -1;
  for (;;) {
    const int status = xmlTextReaderRead(reader_);
    if (status < 0 || source_->failed || errors_->fatal) fail();
    if (status == 0) {
      if (!rootSeen_) fail();
      return false;
    }
    if (xmlTextReaderNodeType(reader_) != XML_READER_TYPE_ELEMENT) continue;
    element_ = xmlTextReaderCurrentNode(reader_);
    depth_ = xmlTextReaderDepth(reader_);
    rootSeen_ = true;
    return true;
  }
}

void XmlElementReader::fail() {
  element_ = nullptr;
  const std::wstring& path = source_->path;
  if (source_->failed) throw vexception(source_->failure + L"\n at load " + path, VLOC(L"", "XmlElementReader::next"));
  // The reader parses in pushed pieces and words some faults otherwise than
  // a parse of the whole text (a truncated document as extra content): the
  // text is parsed once more, building nothing, to name the fault as ever.
  std::string read;
  if (!source_->bytes) try {
      if (::lseek(source_->file->fd(), 0, SEEK_SET) != 0)
        throw vexception(L"Unable to read file " + path + L" from its start", VLOC(L"", "XmlElementReader::next"));
      char buffer[65536];
      while (const size_t n = source_->file->read(buffer, sizeof buffer)) read.append(buffer, n);
    } catch (const vexception& e) {
      throw vexception(e.message() + L"\n at load " + path, VLOC(L"", "XmlElementReader::next"));
    }
  const std::string& bytes = source_->bytes ? *source_->bytes : read;
  FirstError whole;
  if (!parsesWithoutTree(bytes, whole)) throw notADocument(whole, false, path, "XmlElementReader::next");
  // The file changed since, or the two parses disagree: the reader's words.
  throw notADocument(*errors_, rootSeen_, path, "XmlElementReader::next");
}

XmlDocument::~XmlDocument() {
  if (doc_) xmlFreeDoc(doc_);
}

xmlNode* XmlDocument::root() const { return doc_ ? xmlDocGetRootElement(doc_) : nullptr; }

XmlDocument vxmlLoad(const std::wstring& path) {
  std::string bytes;
  try {
    bytes = vfs::readFile(path);
  } catch (const vexception& e) {
    throw vexception(e.message() + L"\n at load " + path, VLOC(L"", "vxmlLoad"));
  }
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) throw vexception(L"File is too large\n at load " + path, VLOC(L"", "vxmlLoad"));
  FirstError first;
  xmlDocPtr doc = parse(bytes, first);
  if (!doc || !xmlDocGetRootElement(doc)) {
    const bool parsed = doc != nullptr;
    if (doc) xmlFreeDoc(doc);
    throw notADocument(first, parsed, path, "vxmlLoad");
  }
  return XmlDocument(doc);
}

XmlDocument vxmlLoadXML(const std::wstring& content) {
  const std::string bytes = text::toUtf8(content);
  FirstError first;
  xmlDocPtr doc = parse(bytes, first);
  if (!doc || !xmlDocGetRootElement(doc)) {
    if (doc) xmlFreeDoc(doc);
    int line = 0;
    const std::wstring reason = errorReason(first, line);
    throw vexception(vaformat(L"%s at load xml %s in line %d", reason, content, line), VLOC(L"", "vxmlLoadXML"));
  }
  return XmlDocument(doc);
}

bool isXmlDocument(const std::string& bytes, std::wstring& fault) {
  FirstError first;
  if (bytes.size() <= static_cast<size_t>(INT32_MAX) && parsesWithoutTree(bytes, first)) return true;
  int line = 0;
  const std::wstring reason = errorReason(first, line);
  fault = vaformat(L"%s at load xml %s in line %d", reason, text::fromUtf8(bytes), line);
  return false;
}

bool isElement(xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::vector<xmlNode*> childElements(xmlNode* node, const char* name) {
  std::vector<xmlNode*> out;
  if (!node) return out;
  for (xmlNode* c = node->children; c; c = c->next)
    if (isElement(c, name)) out.push_back(c);
  return out;
}

xmlNode* firstChildElement(xmlNode* node, const char* name) {
  if (!node) return nullptr;
  for (xmlNode* c = node->children; c; c = c->next)
    if (isElement(c, name)) return c;
  return nullptr;
}

std::wstring getAttribute(xmlNode* element, const char* name, const std::wstring& defaultValue) {
  if (!element) return defaultValue;
  xmlAttr* attr = xmlHasProp(element, reinterpret_cast<const xmlChar*>(name));
  if (!attr || attr->type != XML_ATTRIBUTE_NODE) return defaultValue;
  xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNode*>(attr));
  if (!value) return defaultValue;
  std::wstring out = text::fromUtf8(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return out;
}
