#include "config/xml.h"

#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <string>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

// Everything a reader of the document can get at: the root's attribute
// "name" and the text of the whole tree.
std::string readable(const XmlDocument& doc) {
  xmlNode* root = doc.root();
  if (!root) return std::string();
  std::string out = text::toUtf8(getAttribute(root, "name"));
  xmlChar* content = xmlNodeGetContent(root);
  if (content) out += reinterpret_cast<const char*>(content);
  xmlFree(content);
  return out;
}

// What a document shows through either loader (a file, a text); empty when
// the loader refuses it.
std::string loadReadable(const testkit::Installation& install, const std::string& xml) {
  std::string shown;
  const std::string path = install.path("doc.xml");
  testkit::writeFile(path, xml);
  try {
    shown += readable(vxmlLoad(text::fromUtf8(path)));
  } catch (const vexception&) {
  }
  try {
    shown += readable(vxmlLoadXML(text::fromUtf8(xml)));
  } catch (const vexception&) {
  }
  return shown;
}

}  // namespace

TEST(XmlTest, ResolvesNoExternalEntity) {
  testkit::Installation install;
  const std::string secret = install.path("secret.txt");
  testkit::writeFile(secret, "SECRET-CONTENT");
  const std::string url = "file://" + secret;
  const std::string documents[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + url + "\">]><r name=\"&x;\"/>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + url + "\">]><r name=\"n\">&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret + "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><r name=\"n\"/>",
      "<!DOCTYPE r SYSTEM \"" + url + "\"><r name=\"n\"/>",
  };
  for (const std::string& xml : documents) EXPECT_EQ(loadReadable(install, xml).find("SECRET-CONTENT"), std::string::npos) << xml;
}

TEST(XmlTest, ExpandsNoEntityBomb) {
  testkit::Installation install;
  // Ten levels of ten references: 10^10 bytes once expanded.
  std::string dtd = "<!ENTITY e0 \"0123456789\">";
  for (int level = 1; level <= 10; ++level) {
    dtd += "<!ENTITY e" + std::to_string(level) + " \"";
    for (int i = 0; i < 10; ++i) dtd += "&e" + std::to_string(level - 1) + ";";
    dtd += "\">";
  }
  const std::string documents[] = {
      "<!DOCTYPE r [" + dtd + "]><r name=\"&e10;\"/>",
      "<!DOCTYPE r [" + dtd + "]><r name=\"n\">&e10;</r>",
  };
  for (const std::string& xml : documents) EXPECT_LT(loadReadable(install, xml).size(), 10000u) << xml.substr(xml.size() - 40);
}
