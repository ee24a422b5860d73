// Shared pieces of the mail tests: the built plugins, a capture of what the
// log dispatch prints, a small domain model and the results document.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "app/results_writer.h"
#include "config/domain.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace mailtest {

// The plugin built from the target of that name.
inline std::string pluginPath(const std::string& target) { return std::string(MAIL_PLUGIN_DIR) + "/lib" + target + ".so"; }

// Makes the plugin the installation's mail provider.
inline void useProvider(const std::string& path) {
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"MAIL_PROVIDERW_DLL", text::fromAnsi(path));
}
inline void useTestProvider(const std::string& variant) { useProvider(pluginPath("mail_test_provider_" + variant)); }

using testkit::LogCapture;

using testkit::occurrences;

// Adds a domain to the model.
inline DomainInfo& addDomain(DomainModel& model, const std::wstring& id, const std::wstring& name, bool calculateMail = true,
                             std::initializer_list<std::wstring> mailboxes = {}) {
  auto domain = std::make_shared<DomainInfo>(id, name);
  domain->calculateMail = calculateMail;
  domain->mailNames.assign(mailboxes.begin(), mailboxes.end());
  model.domainsById[id] = domain;
  model.domainIdsByName[name] = id;
  return *domain;
}

// A results document written to a file of the test's own.
class ResultsFile {
 public:
  explicit ResultsFile(const std::string& path) : path_(path) {
    writer.setOutputFile(text::fromAnsi(path));
    writer.beginDocument();
  }
  // Ends the document and returns it.
  std::string finish() {
    writer.endDocument();
    return testkit::readFile(path_);
  }
  ResultsWriter writer;

 private:
  std::string path_;
};

// The figures the captured mail host's own tools recorded beside its logs
// (real_mail_host.py writes them): the window, the messages, and bytes per
// domain and counter, zeros included.
struct CapturedFigures {
  int64_t start = 0, end = 0;
  uint64_t messages = 0;
  std::map<std::string, std::map<std::string, uint64_t>> figures;  // domain -> counter -> bytes
};

inline CapturedFigures readCapturedFigures(const std::string& path) {
  CapturedFigures e;
  std::istringstream in(testkit::readFile(path));
  for (std::string a, b; in >> a;) {
    if (a == "window") {
      in >> e.start >> e.end;
    } else if (a == "messages") {
      in >> e.messages;
    } else {
      uint64_t n = 0;
      in >> b >> n;
      e.figures[a][b] = n;
    }
  }
  return e;
}

}  // namespace mailtest
