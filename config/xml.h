// XML loading for the configuration document and the utilities' answers
// (libxml2). External entities and the network are never used, so a document
// cannot make the program read a file or expand an entity bomb.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

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

// The element children of a node named exactly `name`, in document order.
std::vector<_xmlNode*> childElements(_xmlNode* node, const char* name);
// The first such child, or nullptr.
_xmlNode* firstChildElement(_xmlNode* node, const char* name);
// Whether the node is an element named exactly `name`.
bool isElement(_xmlNode* node, const char* name);

// The attribute's value, or the default when the element lacks it.
std::wstring getAttribute(_xmlNode* element, const char* name, const std::wstring& defaultValue = std::wstring());
