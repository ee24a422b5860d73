#include "logrotate/test_support.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

extern char** environ;

namespace lrtest {

namespace {

pid_t spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], actions, nullptr, args.data(), environ) != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

void endChild(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

SmtpServer::SmtpServer(const SmtpOptions& options) {
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(LOGROTATE_TESTDATA) + "/smtp_server.py", "--out", dir_.path(), "--lifetime", "300"};
  for (const std::string& r : options.refuse) argv.insert(argv.end(), {"--refuse", r});
  if (!options.user.empty()) argv.insert(argv.end(), {"--auth", options.user, options.password});
  if (!options.certFile.empty()) argv.insert(argv.end(), {"--tls", options.certFile, options.keyFile});
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  // The server's own diagnostics (a refused handshake is expected in some tests) go beside its messages.
  posix_spawn_file_actions_addopen(&actions, 2, dir_.file("server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_ = spawn(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  // The server prints its port once it accepts connections; reading blocks until then.
  std::string line;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(fds[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    endChild(pid_);
    throw std::runtime_error("the SMTP server did not start: '" + line + "'");
  }
}

SmtpServer::~SmtpServer() { endChild(pid_); }

std::vector<ReceivedMail> SmtpServer::messages() const {
  std::vector<ReceivedMail> mails;
  for (int n = 1; testkit::fileExists(dir_.file("msg-" + std::to_string(n) + ".json")); ++n) {
    const std::string base = dir_.file("msg-" + std::to_string(n));
    ReceivedMail m;
    m.raw = testkit::readFile(base + ".eml");
    Poco::JSON::Parser parser;
    const auto info = parser.parse(testkit::readFile(base + ".json")).extract<Poco::JSON::Object::Ptr>();
    m.envelopeFrom = info->getValue<std::string>("from");
    const auto to = info->getArray("to");
    for (size_t i = 0; i < to->size(); ++i) m.envelopeTo.push_back(to->getElement<std::string>(static_cast<unsigned>(i)));
    m.tls = info->getValue<bool>("tls");
    if (const auto login = info->getObject("login")) {
      m.loginMechanism = login->getValue<std::string>("mechanism");
      m.loginUser = login->getValue<std::string>("user");
    }
    m.fromHeader = info->getValue<std::string>("from_header");
    m.fromRaw = info->getValue<std::string>("from_raw");
    m.subject = info->getValue<std::string>("subject");
    m.subjectRaw = info->getValue<std::string>("subject_raw");
    const auto parts = info->getArray("parts");
    for (size_t i = 0; i < parts->size(); ++i) {
      const auto p = parts->getObject(static_cast<unsigned>(i));
      m.parts.push_back({p->getValue<std::string>("type"), p->getValue<std::string>("encoding"), p->getValue<std::string>("filename"),
                         p->getValue<std::string>("disposition"), testkit::readFile(dir_.file(p->getValue<std::string>("file")))});
    }
    mails.push_back(std::move(m));
  }
  return mails;
}

int closedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(s);
  return ntohs(addr.sin_port);
}

void configureMail(int port, uint32_t ssl, const std::wstring& user, const std::wstring& caFile) {
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendHost", L"127.0.0.1");
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendPort", static_cast<uint32_t>(port));
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendSSL", ssl);
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendAuthUser", user);
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"mailMessageSendCAFile", caFile);
}

void makeFile(const std::string& path, const std::string& content, int64_t ageSeconds) {
  testkit::writeFile(path, content);
  setAge(path, ageSeconds);
}

void setAge(const std::string& path, int64_t ageSeconds) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= ageSeconds;
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat " + path);
}

std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

FileHolder::FileHolder(const std::string& path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 3, path.c_str(), O_RDONLY, 0);
  // posix_spawn returns once the child runs the new program, so the file is open by then.
  pid_ = spawn({"/bin/sleep", "300"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
}

FileHolder::~FileHolder() { endChild(pid_); }

std::vector<ZipEntry> readZip(const std::string& path) {
  std::vector<ZipEntry> entries;
  unzFile zip = unzOpen64(path.c_str());
  if (!zip) throw std::runtime_error("not an archive: " + path);
  for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    char name[1024];
    unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    ZipEntry e;
    e.name = name;
    e.method = static_cast<int>(info.compression_method);
    e.year = static_cast<int>(info.tmu_date.tm_year);
    e.month = static_cast<int>(info.tmu_date.tm_mon) + 1;
    e.day = static_cast<int>(info.tmu_date.tm_mday);
    e.hour = static_cast<int>(info.tmu_date.tm_hour);
    e.minute = static_cast<int>(info.tmu_date.tm_min);
    e.second = static_cast<int>(info.tmu_date.tm_sec);
    if (unzOpenCurrentFile(zip) == UNZ_OK) {
      char buf[65536];
      int n;
      while ((n = unzReadCurrentFile(zip, buf, sizeof buf)) > 0) e.content.append(buf, static_cast<size_t>(n));
      unzCloseCurrentFile(zip);
    }
    entries.push_back(std::move(e));
  }
  unzClose(zip);
  return entries;
}

int unzipTest(const std::string& path) { return testkit::runProgram("/usr/bin/unzip", {"-t", path}).exitCode; }

void makeCertificate(const std::string& cert, const std::string& key) {
  const auto r = testkit::runProgram("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                                                          key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                                          "subjectAltName=IP:127.0.0.1,DNS:localhost"});
  if (r.exitCode != 0) throw std::runtime_error("openssl: " + r.output);
}

}  // namespace lrtest

namespace lrtest {

std::shared_ptr<DomainInfo> domain(const std::wstring& name, const std::vector<std::string>& dirs, const std::wstring& period, int32_t keep,
                                   bool compress, const std::wstring& email) {
  auto d = std::make_shared<DomainInfo>(L"1", name);
  for (const std::string& dir : dirs) d->logDirectories.push_back(text::fromUtf8(dir));
  d->logRotation.enabled = true;
  d->logRotation.period = period;
  d->logRotation.maxNumberOfFiles = keep;
  d->logRotation.compress = compress;
  d->logRotation.email = email;
  return d;
}

std::string eventLog(const testkit::Installation& install) {
  return testkit::fileExists(install.eventLogPath()) ? testkit::readFile(install.eventLogPath()) : std::string();
}

}  // namespace lrtest
