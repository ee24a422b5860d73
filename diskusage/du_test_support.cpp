#include "diskusage/du_test_support.h"

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/results_writer.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace dutest {

LogCapture::LogCapture(std::initializer_list<LogLevel> levels) : file_(std::tmpfile()), saved_(LogManager::instance().flags()) {
  OutputFlags& flags = LogManager::instance().flags();
  for (int level = 0; level < 6; ++level) flags.flag[level] = false;
  for (LogLevel level : levels) flags.flag[static_cast<int>(level)] = true;
  LogManager::instance().setConsoleStream(file_);
}

LogCapture::~LogCapture() {
  LogManager::instance().setConsoleStream(nullptr);
  LogManager::instance().flags() = saved_;
  std::fclose(file_);
}

std::string LogCapture::text() const {
  std::fflush(file_);
  std::rewind(file_);
  std::string out;
  char buf[4096];
  while (const size_t n = std::fread(buf, 1, sizeof buf, file_)) out.append(buf, n);
  return out;
}

size_t LogCapture::count(const std::string& what) const { return occurrences(text(), what); }

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

void makeFile(const std::string& path, size_t bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << std::string(bytes, 'x');
}

void makeDirectory(const std::string& path) { std::filesystem::create_directories(path); }

DomainInfo& addDomain(DomainModel& model, const std::wstring& id, const std::wstring& name) {
  auto domain = std::make_shared<DomainInfo>(id, name);
  model.domainsById[id] = domain;
  model.domainIdsByName[name] = id;
  return *domain;
}

std::string writeResults(const std::string& path, const std::function<void(ResultsWriter&)>& body) {
  {
    ResultsWriter results;
    results.setOutputFile(text::fromAnsi(path));
    results.beginDocument();
    body(results);
    results.endDocument();
  }
  return testkit::readFile(path);
}

std::map<std::string, uint64_t> duAttributes(const std::string& document, const std::string& domainId) {
  std::map<std::string, uint64_t> attributes;
  const std::regex element("<du dom-id=\"" + domainId + "\"([^>]*)/>");
  std::smatch m;
  if (!std::regex_search(document, m, element)) return attributes;
  const std::string body = m[1].str();
  const std::regex attribute("([A-Za-z]+)=\"([0-9]+)\"");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), attribute); it != std::sregex_iterator(); ++it)
    attributes[(*it)[1].str()] = std::stoull((*it)[2].str());
  return attributes;
}

}  // namespace dutest
