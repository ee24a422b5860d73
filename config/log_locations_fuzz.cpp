// Fuzz target: reading the web host utility's answer as the log locations
// read it (the XML text parsed, then the name, logsDir and defaultDocs of
// each "domain" element under the root).
#include <libxml/tree.h>

#include <string>

#include "config/xml.h"
#include "support/exceptions.h"
#include "tests/fuzz_targets.h"

void fuzzHostAnswer(const uint8_t* data, size_t size) {
  try {
    XmlDocument doc = vxmlLoadXML(fuzzing::wideText(data, size));
    for (xmlNode* node = doc.root() ? doc.root()->children : nullptr; node; node = node->next) {
      if (!isElement(node, "domain")) continue;
      getAttribute(node, "name");
      getAttribute(node, "logsDir");
      if (getAttribute(node, "defaultDocs", L"\x1f").empty() && !xmlHasProp(node, reinterpret_cast<const xmlChar*>("defaultDocs")))
        fuzzing::propertyFailed("a missing attribute did not give the default");
    }
  } catch (const vexception&) {
  }
}

HALVEX_FUZZ_ENTRY(fuzzHostAnswer)
