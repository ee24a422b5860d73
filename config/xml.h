// XML loading for the configuration document and the utilities' answers
// (libxml2). External entities and the network are never used, so a document
// cannot make the program read a file or expand an entity bomb.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;
struct _xmlTextReader;

namespace vfs {
class File;
}

class XmlDocument {
 public:
  explicit XmlDocument(_xmlDoc* doc) : doc_(doc) {}
  ~XmlDocument();
  XmlDocument(XmlDocument&& o) noexcept : doc_(o.doc_) { o.doc_ = nullptr; }
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  _xmlNode* root() const;

 private:
  _xmlDoc* doc_;
};

// Loads a file; failure raises vexception: the parser's reason (ending in its
// line), then " at load ", then the path.
XmlDocument vxmlLoad(const std::wstring& path);
// Parses a text; failure raises "%s at load xml %s in line %d".
XmlDocument vxmlLoadXML(const std::wstring& text);

// Reads a document start tag by start tag, holding only the element under
// the cursor (its name and attributes), never the document's tree. The
// parser options are those of vxmlLoad, and so are the failures: the
// parser's first error, " in line N", then " at load " and the path; a
// failure to read the file is its own text, then " at load " and the path.
class XmlElementReader {
 public:
  // Reads `file` from its start; `path` names it in failures.
  XmlElementReader(vfs::File& file, std::wstring path);
  // Reads a text (UTF-8 unless it declares otherwise), which must outlive
  // the reader; `name` stands for the path in failures.
  XmlElementReader(const std::string& bytes, std::wstring name);
  ~XmlElementReader();
  XmlElementReader(const XmlElementReader&) = delete;
  XmlElementReader& operator=(const XmlElementReader&) = delete;

  // Moves to the next start tag: false once the whole document was read and
  // found well formed; raises for a broken one (at the point the fault is met).
  bool next();
  // Of the start tag under the cursor: its depth (0: the root element) and
  // the element itself, for isElement and getAttribute.
  int depth() const { return depth_; }
  _xmlNode* element() const { return element_; }

 private:
  struct Source;
  struct Errors;
  void start();
  [[noreturn]] void fail();
  std::unique_ptr<Source> source_;
  std::unique_ptr<Errors> errors_;
  _xmlTextReader* reader_ = nullptr;
  _xmlNode* element_ = nullptr;
  int depth_ = -1;
  bool rootSeen_ = false;
};

// Whether the text (UTF-8 unless it declares otherwise) is a well-formed
// document, building nothing of it; when it is none, `fault` gets what
// vxmlLoadXML would raise for it ("%s at load xml %s in line %d").
bool isXmlDocument(const std::string& bytes, std::wstring& fault);

// The element children of a node named exactly `name`, in document order.
std::vector<_xmlNode*> childElements(_xmlNode* node, const char* name);
// The first such child, or nullptr.
_xmlNode* firstChildElement(_xmlNode* node, const char* name);
// Whether the node is an element named exactly `name`.
bool isElement(_xmlNode* node, const char* name);

// The attribute's value, or the default when the element lacks it.
std::wstring getAttribute(_xmlNode* element, const char* name, const std::wstring& defaultValue = std::wstring());
