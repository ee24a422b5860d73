// A nightly run at hosting scale: builds a world of many small domains (a
// web log of a few lines and a handful of small files each) and runs the
// program over it in every mode: the first run ever (every configuration
// and marker new), a whole run a night later (new lines in every log),
// then a run with nothing new; it reads every log and stats every file
// itself (the floor no run can go below). Prints, side by side, seconds, milliseconds per
// domain, the ratio to the floor, the peak resident set size and the calls
// that wait for the disk (fsync, fdatasync, syncfs) or take SQLite's locks
// (fcntl, pwrite), counted by a preloaded shim in the program and every
// process it starts. Each run's traffic must add up to the lines it was
// the first to see. Then loads a configuration document of the largest size alone.
//
// Usage: scale_bench [--domains N,N,...] [--lines L] [--files F]
//                    [--feed webalizer|awstats] [--load N] [--bad]
//   defaults: --domains 1000,10000 --lines 100 --files 20 --load 100000
//   (--load 0 skips the configuration load)

// fork/exec/wait4 to run the program and read its peak RSS; getrusage.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/business_lock.h"
#include "config/configuration.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/soak_results.h"
#include "tests/testkit.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<int> domains = {1000, 10000};
  int lines = 100;
  int files = 20;
  std::string feed;
  int load = 100000;
  bool bad = false;
};

const char* const kWebHeader =
    "#Software: Microsoft Internet Information Services\r\n#Version: 1.0\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
    "sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";

struct Calls {
  unsigned long fsync = 0, fdatasync = 0, syncfs = 0, syncFileRange = 0, fcntl = 0, pwrite = 0;
  unsigned long syncs() const { return fsync + fdatasync + syncfs + syncFileRange; }
};

struct Figure {
  const char* title = "";
  double seconds = 0;
  long peakKb = 0;
  Calls calls;
  bool ok = true;
  std::string note;
};

std::string domainName(int i) { return "site" + std::to_string(i) + ".example"; }

// Appends `lines` web log lines spread over [from, from + span); returns
// their sc-bytes.
int64_t appendLines(std::string& log, time_t from, time_t span, int lines, std::mt19937& random) {
  int64_t sent = 0;
  char line[512];
  for (int l = 0; l < lines; ++l) {
    const time_t t = from + (static_cast<time_t>(l) * span) / std::max(1, lines);
    struct tm tm;
    gmtime_r(&t, &tm);
    const unsigned sc = random() % 100000, cs = random() % 3000;
    const int n = snprintf(line, sizeof line,
                           "%04d-%02d-%02d %02d:%02d:%02d 10.0.0.1 GET /p%u.html - 80 - 203.0.113.%u Mozilla/5.0 200 0 0 %u %u 15\r\n",
                           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<unsigned>(random() % 1000),
                           static_cast<unsigned>(random() % 250), sc, cs);
    log.append(line, static_cast<size_t>(n));
    sent += sc;
  }
  return sent;
}

// The world: configuration document, logs and files. Returns the bytes sent
// (sc-bytes) over all lines, which the whole run must count.
int64_t buildWorld(const testkit::Installation& install, const Options& o, int domains) {
  for (const char* tool : {"webhostctl", "ftphostctl"})
    fs::copy_file(testkit::programPath(tool), install.productRoot() + "/admin/bin/" + tool, fs::copy_options::overwrite_existing);
  std::ofstream config(install.path("config.xml"));
  config << "<?xml version=\"1.0\"?>\n<config>\n";
  std::mt19937 random(7);
  int64_t sent = 0;
  const time_t now = time(nullptr);
  std::string log;
  for (int i = 0; i < domains; ++i) {
    const std::string name = domainName(i);
    config << "  <domain id=\"" << i + 1 << "\" name=\"" << name << "\" hosting=\"true\"";
    if (!o.feed.empty()) config << " webStatType=\"" << o.feed << "\"";
    config << "/>\n";
    const std::string site = install.vhostsRoot() + "/" + name;
    fs::create_directories(site + "/logs");
    fs::create_directories(site + "/httpdocs");
    log = kWebHeader;
    // Spread over the day and a half before the first run, a day ago.
    sent += appendLines(log, now - 60 * 3600, 34 * 3600, o.lines, random);
    testkit::writeFile(site + "/logs/ex000001.log", log);
    for (int f = 0; f < o.files; ++f) testkit::writeFile(site + "/httpdocs/f" + std::to_string(f) + ".html", std::string(100 + f * 37, 'x'));
  }
  config << "</config>\n";
  return sent;
}

// A night later: `lines` more lines at the end of every domain's log, all
// after the first run (a day ago) and an hour before now at the latest;
// returns their sc-bytes per domain.
std::vector<int64_t> appendNight(const testkit::Installation& install, const Options& o, int domains) {
  std::mt19937 random(11);
  const time_t now = time(nullptr);
  std::vector<int64_t> sent;
  std::string log;
  for (int i = 0; i < domains; ++i) {
    log.clear();
    sent.push_back(appendLines(log, now - 23 * 3600, 22 * 3600, o.lines, random));
    std::ofstream out(install.vhostsRoot() + "/" + domainName(i) + "/logs/ex000001.log", std::ios::binary | std::ios::app);
    out << log;
  }
  return sent;
}

// The bad input of a night (--bad): the first domain's logs directory is
// gone, the second's log grows by a gibibyte of lines, the third is locked by
// another live process (this one). Adjusts what each may count.
void spoilNight(const testkit::Installation& install, std::vector<int64_t>& sent) {
  if (sent.size() < 3) return;
  fs::remove_all(install.vhostsRoot() + "/" + domainName(0) + "/logs");
  sent[0] = 0;
  std::mt19937 random(13);
  const time_t now = time(nullptr);
  std::string block;
  int64_t blockSent = 0;
  while (block.size() < (1u << 20)) blockSent += appendLines(block, now - 23 * 3600, 22 * 3600, 1000, random);
  std::ofstream out(install.vhostsRoot() + "/" + domainName(1) + "/logs/ex000001.log", std::ios::binary | std::ios::app);
  for (uint64_t written = 0; written < (uint64_t{1} << 30); written += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    sent[1] += blockSent;
  }
  out.close();
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"3"), L"OfflineLockStatus", static_cast<uint32_t>(::getpid()),
                     RegView32);
  sent[2] = 0;
}

Calls readCalls(const std::string& path) {
  Calls total;
  std::ifstream in(path);
  long pid;
  Calls c;
  while (in >> pid >> c.fsync >> c.fdatasync >> c.syncfs >> c.syncFileRange >> c.fcntl >> c.pwrite) {
    total.fsync += c.fsync;
    total.fdatasync += c.fdatasync;
    total.syncfs += c.syncfs;
    total.syncFileRange += c.syncFileRange;
    total.fcntl += c.fcntl;
    total.pwrite += c.pwrite;
  }
  return total;
}

// Runs the program in every mode with the shim preloaded, under a clock
// `fakeOffset` away when given (libfaketime's FAKETIME, file times real);
// the results document goes to `results`.
Figure runProgram(const char* title, const testkit::Installation& install, const std::string& results, const char* fakeOffset = nullptr) {
  Figure figure;
  figure.title = title;
  const std::string calls = install.path("calls.txt"), output = install.path("output.txt");
  fs::remove(calls);
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    if (const size_t eq = kv.find('='); eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : install.environment()) env[k] = v;
  env["LD_PRELOAD"] = HALVEX_BENCH_SHIM;
  if (fakeOffset) {
    env["LD_PRELOAD"] += ":/usr/$LIB/faketime/libfaketime.so.1";
    env["FAKETIME"] = fakeOffset;
    env["NO_FAKE_STAT"] = "1";
  }
  env["HALVEX_BENCH_SYSCALLS"] = calls;
  std::vector<std::string> envStrings, args = {testkit::programPath("statistics"), "--all", "--config=" + install.path("config.xml"),
                                               "--save-results-to=" + results};
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : envStrings) envp.push_back(s.data());
  for (auto& s : args) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  figure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figure.peakKb = usage.ru_maxrss;
  figure.calls = readCalls(calls);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    figure.ok = false;
    const std::string out = testkit::readFile(output);
    figure.note = "exit status " + std::to_string(status) + ": " + out.substr(out.size() > 600 ? out.size() - 600 : 0);
  }
  return figure;
}

// Reads every log to its end and stats every file of every domain.
Figure floor(const testkit::Installation& install, int domains, int64_t& bytes) {
  Figure figure;
  figure.title = "floor (read logs, stat files)";
  const auto start = Clock::now();
  std::vector<char> buffer(1 << 16);
  bytes = 0;
  for (int i = 0; i < domains; ++i) {
    const std::string site = install.vhostsRoot() + "/" + domainName(i);
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(site + "/logs", missing)) {
      const int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) continue;
      for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) bytes += n;
      close(fd);
    }
    struct stat st;
    for (const auto& entry : fs::recursive_directory_iterator(site))
      if (lstat(entry.path().c_str(), &st) != 0) figure.ok = false;
  }
  figure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  figure.peakKb = usage.ru_maxrss;
  return figure;
}

void print(const Figure& f, int domains, double floorSeconds) {
  std::printf("  %-30s %8.2f s %8.3f ms/domain %6.2fx floor  peak RSS %6.1f MiB  syncs %6lu (fsync %lu fdatasync %lu syncfs %lu)  "
              "fcntl %5.1f/domain pwrite %5.1f/domain%s%s\n",
              f.title, f.seconds, f.seconds * 1000 / domains, f.seconds / floorSeconds, f.peakKb / 1024.0, f.calls.syncs(), f.calls.fsync,
              f.calls.fdatasync, f.calls.syncfs, static_cast<double>(f.calls.fcntl) / domains, static_cast<double>(f.calls.pwrite) / domains,
              f.ok ? "" : "  FAILED ", f.note.c_str());
}

bool benchWorld(const Options& o, int domains) {
  testkit::Installation install;
  const auto built = Clock::now();
  const int64_t sent = buildWorld(install, o, domains);
  // The world on disk first: a host's logs are written through the day and
  // flushed by the kernel long before the night's run.
  ::sync();
  std::printf("%d domains, %d lines and %d files each%s%s%s (built in %.1f s)\n", domains, o.lines, o.files, o.feed.empty() ? "" : ", feed ",
              o.feed.c_str(), o.bad ? "; a night later one domain without its logs directory, one with a 1 GiB log, one locked" : "",
              std::chrono::duration<double>(Clock::now() - built).count());
  Figure first = runProgram("first run (a day ago)", install, install.path("results0.xml"), "-24h");
  std::vector<int64_t> later = appendNight(install, o, domains);
  if (o.bad) spoilNight(install, later);
  int64_t sentLater = 0;
  for (int64_t d : later) sentLater += d;
  ::sync();
  int64_t bytes = 0;
  Figure base = floor(install, domains, bytes);
  Figure whole = runProgram("whole run (a night later)", install, install.path("results1.xml"));
  Figure idle = runProgram("run with nothing new", install, install.path("results2.xml"));

  // Each run counts the lines it is the first to see, and nothing else;
  // with bad input, each domain exactly what it may count.
  const auto check = [&](Figure& f, const char* results, int64_t expected) {
    int64_t counted = 0;
    std::map<std::string, int64_t> perDomain;
    for (const auto& [key, v] : soak::parseTraffic(testkit::readFile(install.path(results)))) {
      counted += v.second;
      perDomain[std::get<0>(key)] += v.second;
    }
    if (f.ok && counted != expected) {
      f.ok = false;
      f.note = "counted " + std::to_string(counted) + " bytes where " + std::to_string(expected) + " were new";
    }
    if (o.bad && expected == sentLater)
      for (size_t i = 0; i < 3 && i < later.size(); ++i)
        if (f.ok && perDomain[std::to_string(i + 1)] != later[i]) {
          f.ok = false;
          f.note = "domain " + std::to_string(i + 1) + " counted " + std::to_string(perDomain[std::to_string(i + 1)]) + " bytes of " +
                   std::to_string(later[i]);
        }
  };
  check(first, "results0.xml", sent);
  check(whole, "results1.xml", sentLater);
  check(idle, "results2.xml", 0);
  print(base, domains, base.seconds);
  print(first, domains, base.seconds);
  print(whole, domains, base.seconds);
  print(idle, domains, base.seconds);
  return base.ok && first.ok && whole.ok && idle.ok;
}

void benchLoad(int domains) {
  testkit::Installation install;
  const std::string path = install.path("config.xml");
  {
    std::ofstream config(path);
    config << "<?xml version=\"1.0\"?>\n<config>\n";
    for (int i = 0; i < domains; ++i) config << "  <domain id=\"" << i + 1 << "\" name=\"" << domainName(i) << "\" hosting=\"true\"/>\n";
    config << "</config>\n";
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const long before = usage.ru_maxrss;
  const auto start = Clock::now();
  size_t loaded = 0;
  {
    DomainModel model;
    loadConfiguration(model, text::fromAnsi(path));
    loaded = model.domainsById.size();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  getrusage(RUSAGE_SELF, &usage);
  std::printf("configuration of %d domains (load only): %zu loaded, %.3f s, %.2f us/domain, peak RSS +%.1f MiB (%.1f MiB in all)\n", domains,
              loaded, seconds, seconds * 1e6 / domains, (usage.ru_maxrss - before) / 1024.0, usage.ru_maxrss / 1024.0);
}

std::vector<int> parseList(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::atoi(item.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bad") {
      o.bad = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) {
      std::fprintf(stderr, "usage: scale_bench [--domains N,N] [--lines L] [--files F] [--feed webalizer|awstats] [--load N] [--bad]\n");
      return 2;
    }
    ++i;
    if (a == "--domains") o.domains = parseList(value);
    else if (a == "--lines") o.lines = std::atoi(value);
    else if (a == "--files") o.files = std::atoi(value);
    else if (a == "--feed") o.feed = value;
    else if (a == "--load") o.load = std::atoi(value);
    else {
      std::fprintf(stderr, "scale_bench: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  text::initLocale();
  bool ok = true;
  for (int n : o.domains)
    if (n > 0) ok = benchWorld(o, n) && ok;
  // Last, in this process: what loading adds shows as the growth of the peak.
  if (o.load > 0) benchLoad(o.load);
  return ok ? 0 : 1;
}
