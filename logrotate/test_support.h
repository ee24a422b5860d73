// Fixtures of the log rotation tests: captured log output, a loopback SMTP
// server, files with chosen times, a process that holds a file open, and a
// reader for the archives.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace lrtest {

using testkit::LogCapture;

// One message the SMTP server accepted, as Python's e-mail package reads it.
struct ReceivedPart {
  std::string type, encoding, filename, disposition;
  std::string content;  // transfer-decoded bytes
};
struct ReceivedMail {
  std::string raw;  // the message as sent
  std::string envelopeFrom;
  std::vector<std::string> envelopeTo;
  bool tls = false;
  std::string loginMechanism, loginUser;  // empty without AUTH
  std::string fromHeader, fromRaw, subject, subjectRaw;
  std::vector<ReceivedPart> parts;
};

struct SmtpOptions {
  std::vector<std::string> refuse;  // recipients answered with 550
  std::string user, password;       // offers AUTH LOGIN PLAIN when set
  std::string certFile, keyFile;    // offers STARTTLS when set
};

// Debian's aiosmtpd on 127.0.0.1, started for one test and ended with it.
class SmtpServer {
 public:
  explicit SmtpServer(const SmtpOptions& options = {});
  ~SmtpServer();
  int port() const { return port_; }
  // The accepted messages in the order they arrived.
  std::vector<ReceivedMail> messages() const;

 private:
  testkit::TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens.
int closedPort();

// Points the mail settings of the configuration key at a port.
void configureMail(int port, uint32_t ssl = 0, const std::wstring& user = L"", const std::wstring& caFile = L"");

// Creates a file with content and a last-write time `ageSeconds` before now.
void makeFile(const std::string& path, const std::string& content, int64_t ageSeconds);
void setAge(const std::string& path, int64_t ageSeconds);
// Names of the directory's entries, sorted.
std::vector<std::string> names(const std::string& dir);

// Another process that holds a file open until destroyed.
class FileHolder {
 public:
  explicit FileHolder(const std::string& path);
  ~FileHolder();

 private:
  pid_t pid_ = -1;
};

struct ZipEntry {
  std::string name;
  std::string content;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int method = -1;
};
// The entries of an archive, read back with minizip's reader.
std::vector<ZipEntry> readZip(const std::string& path);
// `unzip -t` on the archive: its exit code.
int unzipTest(const std::string& path);

// Makes a self-signed certificate for 127.0.0.1 and localhost.
void makeCertificate(const std::string& cert, const std::string& key);

}  // namespace lrtest

#include <memory>

#include "config/domain.h"

namespace lrtest {

// A domain with rotation enabled over the given directories.
std::shared_ptr<DomainInfo> domain(const std::wstring& name, const std::vector<std::string>& dirs, const std::wstring& period = L"daily",
                                   int32_t keep = 10, bool compress = false, const std::wstring& email = L"");

// The installation's event log (errors of the run), empty when none was written.
std::string eventLog(const testkit::Installation& install);

}  // namespace lrtest
