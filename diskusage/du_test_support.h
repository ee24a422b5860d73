// Helpers shared by the disk usage tests: capturing log messages, laying out
// files, and reading the results document.
#pragma once

#include "tests/testkit.h"

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>

#include "config/domain.h"
#include "support/logging.h"

class ResultsWriter;

namespace dutest {

using testkit::LogCapture;
using testkit::occurrences;


// A file of `bytes` bytes; missing parent directories are created.
void makeFile(const std::string& path, size_t bytes);
void makeDirectory(const std::string& path);

// Adds a domain to the model.
DomainInfo& addDomain(DomainModel& model, const std::wstring& id, const std::wstring& name);

// Writes a results document to `path` with `body` between its beginning and
// end, and returns the document.
std::string writeResults(const std::string& path, const std::function<void(ResultsWriter&)>& body);

// The attributes of the "du" element of the domain with that id; empty when
// there is none.
std::map<std::string, uint64_t> duAttributes(const std::string& document, const std::string& domainId);

}  // namespace dutest
