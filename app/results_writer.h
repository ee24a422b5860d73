// The results document: UTF-8 XML with the root "data" and empty child
// elements in the order the run writes them. Streamed through libxml2's
// writer: no element is kept after it is written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/datetime.h"

struct DomainInfo;

class ResultsWriter {
 public:
  ResultsWriter();
  ~ResultsWriter();
  ResultsWriter(const ResultsWriter&) = delete;
  ResultsWriter& operator=(const ResultsWriter&) = delete;

  // The document goes to that file, created or replaced; a file that cannot
  // be created raises the Windows error naming it.
  void setOutputFile(const std::wstring& path);
  void setOutputStdout();

  void beginDocument();
  // Writes out what is buffered and brings the file to disk (fsync; nothing
  // for standard output). Before endDocument, it leaves only the document's
  // last bytes to be written.
  void sync();
  // Closes "data", ends the document and writes its last bytes: from then on
  // the document is complete, and `whenComplete` runs at once (a run
  // records its markers there, so that the moment between the two is as
  // short as it can be). Then the file is brought to disk and closed. A
  // failure before the last bytes are written raises without running
  // `whenComplete`.
  void endDocument(const std::function<void()>& whenComplete = {});

  void writeTraffic(const DomainInfo& domain, const VDateTime& date, const std::wstring& resultsType, int64_t inBytes, int64_t outBytes);
  void writeSitePages(const VDateTime& date, int64_t count);
  void writeMailMessages(const VDateTime& date, int64_t count);
  void writeMailbox(const DomainInfo& domain, const std::wstring& mailboxName, int64_t bytes);
  void writeDiskUsage(const DomainInfo& domain, uint64_t httpdocs, uint64_t anonftp, uint64_t logs, uint64_t mysql, uint64_t mssql,
                      uint64_t mailboxes, uint64_t webapps, uint64_t domaindumps, uint64_t webusers, uint64_t wwwRoot, uint64_t total);
  // The date is written as the text given.
  void writeAntivirus(const std::wstring& type, const std::wstring& date, const std::wstring& name, uint64_t count);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
