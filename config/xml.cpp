#include "config/xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

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
};
thread_local FirstError* t_firstError = nullptr;

void recordError(void*, const xmlError* err) {
  if (!t_firstError || t_firstError->set || !err || err->level < XML_ERR_ERROR) return;
  t_firstError->set = true;
  t_firstError->message = err->message ? err->message : "";
  t_firstError->line = err->line;
}

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

}  // namespace

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
    if (doc) xmlFreeDoc(doc);
    int line = 0;
    std::wstring reason = errorReason(first, line);
    if (!doc && reason.empty()) reason = L"Document is empty";
    throw vexception(vaformat(L"%s in line %d\n", reason, line) + L" at load " + path, VLOC(L"", "vxmlLoad"));
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
