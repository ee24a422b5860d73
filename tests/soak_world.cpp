#include "tests/soak_world.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "support/registry.h"
#include "support/text.h"

namespace soak {

namespace fs = std::filesystem;

namespace {

const char* kWebHeader =
    "#Software: Microsoft Internet Information Services\r\n#Version: 1.0\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
    "sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";
const char* kFtpHeader =
    "#Software: Microsoft FTP Service\r\n#Version: 1.0\r\n"
    "#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-win32-status sc-bytes cs-bytes\r\n";

// The FTP server addresses: the first one's lines belong to domains by login
// or by the client's anonymous-FTP address, the second one is itself an
// anonymous-FTP address (of domain 4), so its unknown logins are domain 4's.
const char* kFtpAddress = "192.0.2.10";
const char* kAnonFtpAddress = "192.0.2.20";

// Who writes an FTP line: login, client address, and the domain and type it
// is counted for (no domain: nobody's, the line is not counted).
struct FtpUser {
  const char* login;
  const char* client;
  const char* method;
  const char* domainId;
  const char* type;
};

const FtpUser kServerUsers[] = {
    {"alice", "203.0.113.5", "sent", "1", "ftp"},        {"bob", "203.0.113.6", "created", "2", "ftp"},
    {"carol", "203.0.113.7", "sent", "5", "ftp"},        {"anonymous", "198.51.100.7", "sent", "3", "anonftp"},
    {"stranger", "203.0.113.9", "sent", nullptr, ""},    {"alice", "203.0.113.5", "RETR", nullptr, ""},
};
const FtpUser kAnonDirectoryUsers[] = {
    {"stranger", "203.0.113.9", "sent", "4", "anonftp"},
    {"bob", "203.0.113.6", "sent", "2", "ftp"},
};

}  // namespace

std::string formatDate(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

std::string formatTime(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

void appendStamped(const std::string& path, const std::string& data, time_t lastWrite) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  const struct timespec times[2] = {{lastWrite, 0}, {lastWrite, 0}};
  const bool stamped = ::futimens(fd, times) == 0;
  ::close(fd);
  if (!written || !stamped) throw std::runtime_error("cannot write " + path);
}

World::World(uint32_t seed) : rng_(seed) {
  for (const char* tool : {"webhostctl", "ftphostctl"})
    fs::copy_file(testkit::programPath(tool), install_.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
  domains_ = {
      {"1", "d1.example", "webalizer", false}, {"2", "d2.example", "awstats", false}, {"3", "d3.example", "", true},
      {"4", "d4.example", "", true},           {"5", "d5.example", "", false},        {"6", "d6.example", "webalizer", true},
  };
  for (const SoakDomain& d : domains_) fs::create_directories(logsDir(d));
  for (const char* address : {kFtpAddress, kAnonFtpAddress}) fs::create_directories(install_.dataRoot() + "/ftp/logs/" + address);
  // Logs dropped by rotation are kept there rather than removed.
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"SaveHTTPLogsDirectory", text::fromAnsi(install_.path("saved-http")));
  writeConfig();
}

std::string World::logsDir(const SoakDomain& d) const { return install_.vhostsRoot() + "/" + d.name + "/logs"; }

std::map<std::string, std::string> World::environment() const {
  auto env = install_.environment();
  env["TMPDIR"] = tmp_.path();
  return env;
}

void World::writeConfig() {
  std::string xml = "<?xml version=\"1.0\"?>\n<config>\n";
  for (const SoakDomain& d : domains_) {
    xml += "  <domain id=\"" + d.id + "\" name=\"" + d.name + "\" hosting=\"true\"";
    if (!d.webStatType.empty()) xml += " webStatType=\"" + d.webStatType + "\"";
    xml += ">";
    // Daily rotation keeps the newest log; older ones become archives, and
    // the ones beyond two go to the save directory.
    if (d.rotated) xml += "<logRotation enabled=\"true\" period=\"daily\" maxNumberOfFiles=\"2\" compress=\"" + std::string(d.id == "4" ? "false" : "true") + "\"/>";
    xml += "</domain>\n";
  }
  xml += "  <ftp>\n    <user login=\"alice\" domainId=\"1\"/>\n    <user login=\"bob\" domainId=\"2\"/>\n    <user login=\"carol\" domainId=\"5\"/>\n";
  xml += std::string("    <ip address=\"") + kFtpAddress + "\"/>\n    <ip address=\"" + kAnonFtpAddress + "\"/>\n";
  xml += "    <anon-ip address=\"198.51.100.7\" domainId=\"3\"/>\n";
  xml += std::string("    <anon-ip address=\"") + kAnonFtpAddress + "\" domainId=\"4\"/>\n  </ftp>\n</config>\n";
  configPath_ = install_.path("config.xml");
  testkit::writeFile(configPath_, xml);
}

std::vector<time_t> World::stamps(int count, time_t from, time_t to) {
  std::vector<time_t> out;
  std::uniform_int_distribution<time_t> pick(from + 1, to);
  for (int i = 0; i < count; ++i) out.push_back(pick(rng_));
  std::sort(out.begin(), out.end());
  return out;
}

void World::count(const std::string& domainId, time_t stamp, const char* type, int64_t in, int64_t out) {
  auto& v = expected_[{domainId, formatDate(stamp), type}];
  v.first += in;
  v.second += out;
}

void World::webLines(const SoakDomain& d, const std::string& file, const std::vector<time_t>& stamps) {
  const std::string path = logsDir(d) + "/" + file;
  // A new block of directives now and then, as a server writes after a restart.
  std::string out = (!fs::exists(path) || rng_() % 4 == 0) ? kWebHeader : "";
  for (time_t t : stamps) {
    const int64_t sc = rng_() % 100000, cs = rng_() % 3000;
    char line[512];
    snprintf(line, sizeof line, "%s %s 10.0.0.1 GET /p%u.html - 80 - 203.0.113.%u Mozilla/5.0 200 0 0 %lld %lld 15\r\n", formatDate(t).c_str(),
             formatTime(t).c_str(), static_cast<unsigned>(rng_() % 1000), static_cast<unsigned>(rng_() % 250), static_cast<long long>(sc),
             static_cast<long long>(cs));
    out += line;
    count(d.id, t, "http", cs, sc);
    expectedHits_[formatDate(t)] += 1;
    if (!d.webStatType.empty()) feedLines_[d.id].first += 1;
  }
  appendStamped(path, out, stamps.empty() ? time(nullptr) : stamps.back());
}

std::vector<std::string> World::faultTargets() const {
  std::vector<std::string> targets;
  for (const SoakDomain& d : domains_) {
    targets.push_back(logsDir(d));
    targets.push_back(logsDir(d) + "/*.log");
  }
  for (const char* address : {kFtpAddress, kAnonFtpAddress}) targets.push_back(install_.dataRoot() + "/ftp/logs/" + address + "/*");
  return targets;
}

void World::ftpLines(const std::string& directory, const std::string& file, const std::vector<time_t>& stamps, bool anonymousDirectory) {
  const std::string path = directory + "/" + file;
  std::string out = fs::exists(path) ? "" : kFtpHeader;
  const auto* users = anonymousDirectory ? kAnonDirectoryUsers : kServerUsers;
  const size_t userCount = anonymousDirectory ? std::size(kAnonDirectoryUsers) : std::size(kServerUsers);
  const char* server = anonymousDirectory ? kAnonFtpAddress : kFtpAddress;
  for (time_t t : stamps) {
    const FtpUser& u = users[rng_() % userCount];
    const int64_t sc = rng_() % 50000, cs = rng_() % 50000;
    char line[512];
    snprintf(line, sizeof line, "%s %s %s %s %s 21 %s /f%u.bin 226 0 %lld %lld\r\n", formatDate(t).c_str(), formatTime(t).c_str(), u.client, u.login,
             server, u.method, static_cast<unsigned>(rng_() % 100), static_cast<long long>(sc), static_cast<long long>(cs));
    out += line;
    if (!u.domainId) continue;
    count(u.domainId, t, u.type, cs, sc);
    for (const SoakDomain& d : domains_)
      if (d.id == u.domainId && !d.webStatType.empty()) feedLines_[d.id].second += 1;
  }
  appendStamped(path, out, stamps.empty() ? time(nullptr) : stamps.back());
}

int64_t World::appendRound(int round, time_t from, time_t to, int webLinesPerDomain, int ftpLinesPerDirectory) {
  int64_t lines = 0;
  char name[64];
  // A new log file every few rounds, so that rotation has older logs to work on.
  snprintf(name, sizeof name, "ex%04d.log", round / 3);
  for (const SoakDomain& d : domains_) {
    webLines(d, name, stamps(webLinesPerDomain, from, to));
    lines += webLinesPerDomain;
  }
  snprintf(name, sizeof name, "u_ex%04d.log", round / 5);
  ftpLines(install_.dataRoot() + "/ftp/logs/" + kFtpAddress, name, stamps(ftpLinesPerDirectory, from, to), false);
  ftpLines(install_.dataRoot() + "/ftp/logs/" + kAnonFtpAddress, name, stamps(ftpLinesPerDirectory, from, to), true);
  return lines + 2 * ftpLinesPerDirectory;
}

}  // namespace soak
