// The results document: UTF-8 XML with the root "data" and empty child
// elements in the order the run writes them. Streamed through libxml2's
// writer: no element is kept after it is written.
//
// Names come from logs, the mail provider and the configuration and may hold
// anything, but the document is always well-formed XML 1.0: every attribute
// value passes through xmlText (below) on its way in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "support/datetime.h"

struct DomainInfo;

// The text as an attribute value of the document. A character XML 1.0
// cannot carry is written as a visible escape of ASCII characters, so that
// nothing is cut or dropped and the panel shows where the odd character was:
//   - an undecodable input byte B, which the text layer keeps as U+DC80 + B,
//     becomes "\xHH" (B in two upper-case hex digits; U+DC80 itself, the
//     escape of a NUL byte, becomes "\x00");
//   - any other code point outside XML 1.0's characters (the C0 controls
//     other than tab, LF and CR, a lone surrogate, U+FFFE, U+FFFF) becomes
//     "\uHHHH", and a value beyond U+10FFFF "\UHHHHHHHH".
// Everything else is kept as it is (libxml2 writes tab, LF and CR as
// character references, so they survive attribute normalisation). A
// backslash of the text itself is not doubled: a name that really holds the
// six characters "\u0001" reads the same as one holding U+0001, the only
// distinction the form gives up.
std::string xmlText(std::wstring_view text);

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
  // The file the document goes to; empty for standard output.
  std::wstring outputPath() const;

  void beginDocument();
  // Writes out what is buffered and brings the file to disk (fsync; nothing
  // for standard output). Before endDocument, it leaves only the document's
  // last bytes to be written.
  void sync();
  // Closes "data", ends the document, writes its last bytes, brings the file
  // to disk (fsync) and closes it; only when all of that succeeded is the
  // document complete, and then `whenComplete` runs (a run records its
  // markers there). Any failure on the way, the close included (a lost
  // write on NFS or a quota), raises without running `whenComplete`, so a
  // document the consumer may not get records nothing.
  void endDocument(const std::function<void()>& whenComplete = {});

  // From holdElements to releaseElements the elements written are kept
  // aside (in an unnamed file of the temporary directory, else in memory);
  // writeHeldElements then writes them where the document stands.
  // A run computes its slow figures first and puts them in their place
  // later, so that the steps whose locks last until the document is
  // complete run last. Elements are whole and empty, so their bytes can be
  // moved as they are.
  void holdElements();
  void releaseElements();
  void writeHeldElements();

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
