#include "diskusage/du_test_support.h"

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/results_writer.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace dutest {

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
