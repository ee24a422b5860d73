#include "webstat/log_for_analyser.h"

#include <algorithm>
#include <cstdint>

#include "support/exceptions.h"
#include "support/logging.h"
#include "support/text.h"
#include "traffic/w3c.h"
#include "webstat/log_file.h"

// ---- LogForAnalyser ------------------------------------------------------

LogForAnalyser::LogForAnalyser() = default;

LogForAnalyser::~LogForAnalyser() = default;

LogFile& LogForAnalyser::getLogFile(int kind) {
  if (kind < 0 || static_cast<size_t>(kind) >= logFiles_.size())
    throw vexception(vaformat(L"Invalid log kind %d", kind), VLOC(domainName, "LogForAnalyser::getLogFile"));
  std::unique_ptr<LogFile>& file = logFiles_[static_cast<size_t>(kind)];
  if (!file) file = std::make_unique<LogFile>();
  return *file;
}

void LogForAnalyser::prepareLogFile(int kind) { getLogFile(kind).checkLogFile(domainName, kind, logsDirectory); }

LogFile& LogForAnalyser::openLogFile(int kind) {
  LogFile& file = getLogFile(kind);
  if (!file.isOpen()) file.checkLogFile(domainName, kind, logsDirectory);
  return file;
}

void LogForAnalyser::writeLineToLog(LogFile& file, std::wstring_view line) {
  std::string& bytes = file.buffer();
  const size_t start = bytes.size();
  // A line of ASCII (nearly every one) is its own bytes in any code page:
  // narrowed through a small buffer in one pass, without the temporary
  // string that appending wide characters to a byte string builds.
  char chunk[512];
  uint32_t seen = 0;
  for (size_t i = 0; i < line.size();) {
    const size_t n = std::min(line.size() - i, sizeof chunk);
    const wchar_t* in = line.data() + i;
    size_t k = 0;
    // Blocks of a fixed size, which the compiler vectorises at -O2.
    for (; k + 16 <= n; k += 16)
      for (size_t j = 0; j < 16; ++j) {
        const auto c = static_cast<uint32_t>(in[k + j]);
        seen |= c;
        chunk[k + j] = static_cast<char>(c);
      }
    for (; k < n; ++k) {
      const auto c = static_cast<uint32_t>(in[k]);
      seen |= c;
      chunk[k] = static_cast<char>(c);
    }
    bytes.append(chunk, n);
    i += n;
  }
  if (seen >= 0x80) {
    bytes.resize(start);
    text::toAnsi(line, bytes);
  }
  if (bytes.size() > start && bytes.back() != '\n') bytes += '\n';
  file.writeBufferIfFull();
}

void LogForAnalyser::closeFeeds() noexcept {
  for (auto& file : logFiles_)
    if (file) file->close();
}

void LogForAnalyser::stageFeeds(std::vector<CommitActions::StagedFile>& staged) noexcept {
  for (auto& file : logFiles_)
    if (file)
      if (std::optional<CommitActions::StagedFile> f = file->stage()) staged.push_back(std::move(*f));
}

void LogForAnalyser::discardFeeds() noexcept {
  for (auto& file : logFiles_)
    if (file) file->discard();
}

void LogForAnalyser::discardFeed(int kind) noexcept {
  if (kind >= 0 && static_cast<size_t>(kind) < logFiles_.size() && logFiles_[static_cast<size_t>(kind)]) logFiles_[static_cast<size_t>(kind)]->discard();
}

template <class Build>
void LogForAnalyser::writeBuiltLine(LogFile& file, const W3CRecord& entry, bool fromNarrowedLine, Build&& build) {
  // Built straight into the feed's bytes, the entry's values copied from its
  // line narrowed once when asked; a line beyond ASCII is built again as wide
  // text and takes the code page's conversion (writeLineToLog).
  std::string& bytes = file.buffer();
  const size_t start = bytes.size();
  const bool asciiEntry = fromNarrowedLine && entryBytes_.assign(entry.line());
  feed::AsciiLine ascii(bytes, asciiEntry ? &entryBytes_ : nullptr);
  try {
    build(ascii);
    ascii.finish();
  } catch (...) {
    bytes.resize(start);
    throw;
  }
  if (ascii.beyondAscii()) {
    bytes.resize(start);
    line_.clear();
    build(line_);
    writeLineToLog(file, line_);
    return;
  }
  if (bytes.size() > start && bytes.back() != '\n') bytes += '\n';
  file.writeBufferIfFull();
}

// ---- LogForWebalizer -----------------------------------------------------

void LogForWebalizer::processHTTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry) {
  // Nine values between literals: each copied from the narrowed line.
  writeBuiltLine(openLogFile(kind), entry, true, [&](auto& line) { feed::appendWebalizerHttpLine(line, time, entry, fields_); });
}

void LogForWebalizer::processFTPLogLine(const VDateTime& time, int kind, const W3CRecord& entry, bool isDownload) {
  LogFile& file = openLogFile(kind);
  line_.clear();
  feed::appendWebalizerFtpLine(line_, time, kind, entry, isDownload, fields_);
  logMessage(LogLevel::Info, L"Add FTP record='%s'", line_);
  writeLineToLog(file, line_);
}

// ---- LogForAWStats -------------------------------------------------------

void LogForAWStats::processHTTPLogLine(const VDateTime&, int kind, const W3CRecord& entry) {
  // Most of the line in a few runs of columns, each narrowed as it is
  // appended: narrowing the whole line first would pass over it twice.
  writeBuiltLine(openLogFile(kind), entry, false, [&](auto& line) { feed::appendAWStatsHttpLine(line, entry, fields_, clock_); });
}

void LogForAWStats::processFTPLogLine(const VDateTime&, int kind, const W3CRecord& entry, bool) {
  LogFile& file = openLogFile(kind);
  line_.clear();
  feed::appendAWStatsFtpLine(line_, entry, fields_, clock_, domainName);
  logMessage(LogLevel::Info, L"Add FTP record='%s'", line_);
  writeLineToLog(file, line_);
}

// ---- AnalyserRegistry ----------------------------------------------------

AnalyserRegistry::~AnalyserRegistry() { discardAll(); }

LogForAnalyser* AnalyserRegistry::getAnalyserForDomain(const std::wstring& domainName) {
  if (lastWriter_ && domainName == lastName_) return lastWriter_;
  DomainInfo* domain = model_.findDomainByName(domainName);
  if (!domain) return nullptr;
  const std::wstring& type = domain->webStatType;
  if (type != L"awstats" && type != L"webalizer") return nullptr;

  std::unique_ptr<LogForAnalyser>& writer = writers_[domainName];
  if (!writer) {
    if (type == L"awstats")
      writer = std::make_unique<LogForAWStats>();
    else
      writer = std::make_unique<LogForWebalizer>();
    writer->domainName = domainName;
    writer->logsDirectory = domain->webLogsDirectory;
    writer->defaultDocument = domain->reportedDefaultDocuments.value_or(L"index.html");
    domain->defaultDocuments = writer->defaultDocument;
  }
  lastName_ = domainName;
  lastWriter_ = writer.get();
  return lastWriter_;
}

void AnalyserRegistry::closeAll() noexcept {
  for (auto& [name, writer] : writers_) writer->closeFeeds();
}

std::vector<CommitActions::StagedFile> AnalyserRegistry::stageAll() noexcept {
  std::vector<CommitActions::StagedFile> staged;
  for (auto& [name, writer] : writers_) writer->stageFeeds(staged);
  return staged;
}

void AnalyserRegistry::discardAll() noexcept {
  for (auto& [name, writer] : writers_) writer->discardFeeds();
}

void AnalyserRegistry::discardFeeds(const std::wstring& domainName, std::initializer_list<int> kinds) noexcept {
  const auto it = writers_.find(domainName);
  if (it == writers_.end()) return;
  for (const int kind : kinds) it->second->discardFeed(kind);
}
