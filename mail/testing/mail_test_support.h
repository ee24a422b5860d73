// Shared pieces of the mail tests: the built plugins, a capture of what the
// log dispatch prints, a small domain model and the results document.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
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

// Captures what the log dispatch prints for the given levels, and nothing
// else, while it lives.
class LogCapture {
 public:
  explicit LogCapture(std::initializer_list<LogLevel> levels) : file_(std::tmpfile()), saved_(LogManager::instance().flags()) {
    OutputFlags& f = LogManager::instance().flags();
    for (int i = 0; i < 12; ++i) f.flag[i] = false;
    f.flag[12] = false;
    for (LogLevel l : levels) f.flag[static_cast<int>(l)] = true;
    LogManager::instance().setConsoleStream(file_);
  }
  ~LogCapture() {
    LogManager::instance().setConsoleStream(nullptr);
    LogManager::instance().flags() = saved_;
    std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buf[4096];
    while (const size_t n = std::fread(buf, 1, sizeof buf, file_)) out.append(buf, n);
    return out;
  }

 private:
  FILE* file_;
  OutputFlags saved_;
};

inline size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

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

}  // namespace mailtest
