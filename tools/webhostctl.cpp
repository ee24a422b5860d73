// webhostctl for Linux hosts: answers the statistics utility's request
//   webhostctl --get-vhosts-statistics-info --config=FILE
// where FILE holds domain names joined by ";". The answer comes from the
// host's layout: a domain's site lives in <HTTPD_VHOSTS_D>/<name>, its web
// server logs in <HTTPD_VHOSTS_D>/<name>/logs, and its default documents are
// the first line of <HTTPD_VHOSTS_D>/<name>/conf/default_docs when that file
// exists, else "index.html;index.htm;index.php". A domain without a site
// directory is reported with an empty logsDir.
#include <libxml/xmlwriter.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

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

std::wstring defaultDocuments(const std::wstring& site) {
  const std::wstring file = vfs::join(site, L"conf/default_docs");
  if (!vfs::isRegularFile(file)) return L"index.html;index.htm;index.php";
  std::wstring content = text::fromAnsi(vfs::readFile(file));
  const size_t eol = content.find_first_of(L"\r\n");
  return text::trim(content.substr(0, eol));
}

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
    const std::wstring vhosts = getProductSetting(L"HTTPD_VHOSTS_D");

    xmlBufferPtr buffer = xmlBufferCreate();
    xmlTextWriterPtr w = xmlNewTextWriterMemory(buffer, 0);
    xmlTextWriterStartDocument(w, nullptr, "UTF-8", nullptr);
    xmlTextWriterStartElement(w, BAD_CAST "domains");
    for (const std::wstring& name : names) {
      const std::wstring site = vfs::join(vhosts, name);
      const bool hosted = !vhosts.empty() && vfs::isDirectory(site);
      xmlTextWriterStartElement(w, BAD_CAST "domain");
      xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST text::toUtf8(name).c_str());
      xmlTextWriterWriteAttribute(w, BAD_CAST "logsDir", BAD_CAST(hosted ? text::toUtf8(vfs::join(site, L"logs")) : std::string()).c_str());
      xmlTextWriterWriteAttribute(w, BAD_CAST "defaultDocs", BAD_CAST text::toUtf8(hosted ? defaultDocuments(site) : L"").c_str());
      xmlTextWriterEndElement(w);
    }
    xmlTextWriterEndElement(w);
    xmlTextWriterEndDocument(w);
    xmlFreeTextWriter(w);
    std::fwrite(buffer->content, 1, static_cast<size_t>(buffer->use), stdout);
    xmlBufferFree(buffer);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const vexception& e) {
    return fail(text::toUtf8(e.fullText()));
  }
}
