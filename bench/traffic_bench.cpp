// Throughput of the traffic step: the directory scan, the reading of every
// log and the accounting of every line, as the run driver calls it. In a
// private test installation it generates
//   - one web log of a million lines for one domain,
//   - a thousand domains with a web log of a thousand lines each,
//   - an FTP server log over a thousand logins (a fiftieth of the lines:
//     every FTP line logs several Info messages, and asking whether the debug
//     log takes them reads the registry every sixteenth time),
// reads the big log with the W3C reader alone (the floor: every line split,
// four columns read), runs the collector over each log without feeds, then
// the web logs with a Webalizer and with an AWStats feed per domain and the
// FTP log with a Webalizer feed, and prints lines and megabytes per second,
// the ratio of the big log's runs to the reader alone, and the peak resident
// set size.
//
// Usage: traffic_bench [lines [ftp-lines]]
//   (defaults 1000000 and lines/50; the thousand domains get lines/1000 each)

// getrusage for the peak resident set size.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "app/results_data.h"
#include "config/domain.h"
#include "config/log_locations.h"
#include "logrotate/log_storage.h"
#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/log_scan.h"
#include "traffic/w3c.h"
#include "webstat/log_for_analyser.h"

namespace {

namespace fs = std::filesystem;

const char* const kWebHeader =
    "#Software: Microsoft Internet Information Services 10.0\r\n"
    "#Version: 1.0\r\n"
    "#Date: 2016-12-07 00:00:00\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
    "cs(User-Agent) cs(Referer) sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";

const char* const kFtpHeader =
    "#Software: Microsoft Internet Information Services 10.0\r\n"
    "#Version: 1.0\r\n"
    "#Date: 2016-12-07 00:00:00\r\n"
    "#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-win32-status sc-substatus "
    "sc-bytes cs-bytes time-taken x-session x-fullpath\r\n";

// Writes `lines` lines made by `line(i, buffer)` after the header, through
// a buffer of a megabyte, so that generating costs no memory to speak of.
uint64_t generate(const std::string& path, const char* headerText, long lines,
                  const std::function<int(long, char*, size_t)>& line) {
  std::ofstream file(path, std::ios::binary);
  std::string out = headerText;
  char buffer[1024];
  uint64_t bytes = 0;
  for (long i = 0; i < lines; ++i) {
    out.append(buffer, static_cast<size_t>(line(i, buffer, sizeof buffer)));
    if (out.size() > (1 << 20)) {
      file.write(out.data(), static_cast<std::streamsize>(out.size()));
      bytes += out.size();
      out.clear();
    }
  }
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  return bytes + out.size();
}

// Each line generator adds the line's "sc-bytes" to `sent`.
int webLine(std::mt19937& random, long i, long lines, int64_t& sent, char* buffer, size_t size) {
  static const char* const stems[] = {"/", "/index.html", "/images/logo.png", "/css/site.css",
                                      "/blog/2016/12/07/a-rather-long-article-name.html", "/api/v1/items"};
  static const char* const agents[] = {
      "Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)+Chrome/55.0",
      "Mozilla/5.0+(compatible;+Googlebot/2.1;++http://www.google.com/bot.html)", "curl/7.52.1"};
  // Two days, in order.
  const long second = i * 2 * 86400 / lines;
  const unsigned r = random();
  sent += 200 + (r >> 12) % 90000;
  return std::snprintf(buffer, size,
                       "2016-12-%02ld %02ld:%02ld:%02ld 10.0.0.1 GET %s %s 80 - 192.168.%u.%u %s "
                       "http://www.example.com/search?q=statistics 200 0 0 %u %u %u\r\n",
                       7 + second / 86400, second / 3600 % 24, second / 60 % 60, second % 60, stems[r % 6],
                       (r & 64) ? "id=42&page=7" : "-", (r >> 8) & 255, (r >> 16) & 255, agents[(r >> 4) % 3],
                       200 + (r >> 12) % 90000, 300 + (r >> 20) % 900, (r >> 24) % 500);
}

int ftpLine(std::mt19937& random, long i, long lines, int64_t& sent, char* buffer, size_t size) {
  const long second = i * 86400 / lines;
  const unsigned r = random();
  sent += 200 + (r >> 12) % 90000;
  // Sessions: a few lines of one login after another.
  const long login = (i / 4) % 1000;
  return std::snprintf(buffer, size,
                       "2016-12-07 %02ld:%02ld:%02ld 192.168.%u.%u user%03ld 10.0.0.5 21 %s /dir/file%u.bin 226 0 0 %u %u %u "
                       "{5B6A0F0E-1C2D-4E5F-8A9B-0C1D2E3F4A5B} /dir/file%u.bin\r\n",
                       second / 3600, second / 60 % 60, second % 60, (r >> 8) & 255, (r >> 16) & 255, login,
                       (r & 1) ? "sent" : "created", r % 100, 200 + (r >> 12) % 90000, 300 + (r >> 20) % 900,
                       (r >> 24) % 500, r % 100);
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long peakRssKb() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A model of `count` domains d0000.com... whose web logs lie in
// <root>/dNNNN.com, each with the feed of `analyser` (none when empty); with
// `logins`, user000... log in to the domains in turn.
void buildModel(DomainModel& model, const std::string& root, int count, const std::wstring& analyser, bool logins) {
  for (int d = 0; d < count; ++d) {
    char name[32];
    std::snprintf(name, sizeof name, "d%04d.com", d);
    const std::wstring id = std::to_wstring(d + 1);
    auto domain = std::make_shared<DomainInfo>(id, text::fromAnsi(name));
    domain->webStatType = analyser;
    model.domainsById[id] = domain;
    model.domainIdsByName[domain->name] = id;
    domain->webLogsDirectory = text::fromAnsi(root + "/" + name);
  }
  if (!logins) return;
  for (int l = 0; l < 1000; ++l) {
    char login[16], name[32];
    std::snprintf(login, sizeof login, "user%03d", l);
    std::snprintf(name, sizeof name, "d%04d.com", l % count);
    model.ftpLoginDomains[text::fromAnsi(login)] = text::fromAnsi(name);
  }
}

struct Scenario {
  const char* title;
  std::string root;  // the logs: one directory per domain, or the FTP server's
  int domains;
  bool ftp;
  long lines;
  uint64_t bytes;
  int64_t sent;  // the sum of the "sc-bytes" figures
};

void report(const char* title, const char* feed, long lines, uint64_t bytes, double elapsed, bool complete, double floor) {
  char ratio[32] = "";
  if (floor > 0) std::snprintf(ratio, sizeof ratio, "  %.2fx the reader", static_cast<double>(lines) / elapsed / floor);
  std::printf("%-34s %-9s %9ld lines %7.1f MB %6.2f s %10.0f lines/s %7.1f MB/s  peak RSS %ld MiB%s%s\n", title, feed, lines,
              static_cast<double>(bytes) / 1e6, elapsed, static_cast<double>(lines) / elapsed, static_cast<double>(bytes) / 1e6 / elapsed,
              peakRssKb() / 1024, ratio, complete ? "" : "  (FIGURES DO NOT ADD UP)");
}

// The W3C reader alone over the big log, as w3c_bench reads it (columns
// resolved once per block; "date", "time", "sc-bytes" and "cs-bytes" read
// per line): the collection's floor. Returns its lines per second.
double readerAlone(const Scenario& s) {
  const auto start = std::chrono::steady_clock::now();
  int64_t sent = 0, received = 0;
  size_t timeChars = 0;
  long records = 0;
  uint64_t generation = 0;
  int date = -1, time = -1, sc = -1, cs = -1;
  W3CFile::forEachRecord(text::fromAnsi(s.root + "/d0000.com/ex161207.log"), [&](const W3CRecord& r) {
    if (r.generation() != generation) {
      generation = r.generation();
      date = r.column(L"date");
      time = r.column(L"time");
      sc = r.column(L"sc-bytes");
      cs = r.column(L"cs-bytes");
    }
    timeChars += r.value(date).size() + r.value(time).size();
    sent += text::parseLeadingInt64(r.value(sc));
    received += text::parseLeadingInt64(r.value(cs));
    ++records;
  });
  const double elapsed = seconds(start);
  report(s.title, "reader", s.lines, s.bytes, elapsed, sent == s.sent && records == s.lines && received > 0 && timeChars == 18 * size_t(s.lines), 0);
  return static_cast<double>(s.lines) / elapsed;
}

// `analyser` is L"webalizer", L"awstats" or empty (no feeds); `floor` the
// reader's lines per second, 0 for no ratio.
void run(const Scenario& s, const std::wstring& analyser, double floor) {
  const bool feeds = !analyser.empty();
  DomainModel model;
  buildModel(model, s.root, s.domains, analyser, s.ftp);
  LogDirectoryMap dirs;
  if (s.ftp) {
    dirs.set(text::fromAnsi(s.root), LogFtp, L"10.0.0.5", nullptr);
  } else {
    for (const auto& [id, domain] : model.domainsById)
      dirs.set(domain->webLogsDirectory, LogHttp, domain->name, domain.get());
  }
  SitesHits hits;
  halvex::logging::LogStorage httpStorage, ftpStorage;
  std::unique_ptr<AnalyserRegistry> analysers;
  if (feeds) analysers = std::make_unique<AnalyserRegistry>(model);
  LogCollector collector(model, hits, httpStorage, ftpStorage, analysers.get());

  const auto start = std::chrono::steady_clock::now();
  collector.processLogDirs(VDateTime::nowUtc().addSeconds(-3 * 86400), dirs, L"");
  if (analysers) analysers->discardAll();
  const double elapsed = seconds(start);

  // The figures must add up, or the speed means nothing.
  int64_t hitCount = 0, sent = 0;
  for (const auto& [day, n] : hits) hitCount += n;
  for (const auto& [id, domain] : model.domainsById)
    for (const auto& [day, t] : domain->traffic[s.ftp ? LogFtp : LogHttp]) sent += t.sent;
  const bool complete = sent == s.sent && (s.ftp || hitCount == s.lines);
  report(s.title, !feeds ? "no feeds" : analyser == L"awstats" ? "AWStats" : "Webalizer", s.lines, s.bytes, elapsed, complete, floor);
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long ftpLines = argc > 2 ? std::atol(argv[2]) : lines / 50;
  if (lines < 1000 || ftpLines < 1) {
    std::fprintf(stderr, "usage: traffic_bench [lines >= 1000 [ftp-lines >= 1]]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    text::initLocale();
    testkit::Installation install;
    std::mt19937 random(42);

    Scenario big{"one domain, one log", install.path("big"), 1, false, lines, 0, 0};
    fs::create_directories(big.root + "/d0000.com");
    big.bytes = generate(big.root + "/d0000.com/ex161207.log", kWebHeader, lines,
                         [&](long i, char* b, size_t n) { return webLine(random, i, lines, big.sent, b, n); });

    Scenario many{"1000 domains, one log each", install.path("many"), 1000, false, 0, 0, 0};
    const long each = lines / 1000;
    for (int d = 0; d < 1000; ++d) {
      char name[32];
      std::snprintf(name, sizeof name, "/d%04d.com", d);
      fs::create_directories(many.root + name);
      many.bytes += generate(many.root + name + "/ex161207.log", kWebHeader, each,
                             [&](long i, char* b, size_t n) { return webLine(random, i, each, many.sent, b, n); });
      many.lines += each;
    }

    Scenario ftp{"FTP server log, 1000 logins", install.path("ftp"), 1000, true, ftpLines, 0, 0};
    fs::create_directories(ftp.root);
    ftp.bytes = generate(ftp.root + "/u_ex161207.log", kFtpHeader, ftpLines,
                         [&](long i, char* b, size_t n) { return ftpLine(random, i, ftpLines, ftp.sent, b, n); });

    std::printf("peak RSS after generating: %ld MiB\n", peakRssKb() / 1024);
    const double floor = readerAlone(big);
    run(big, L"", floor);
    run(many, L"", 0);
    run(ftp, L"", 0);
    run(big, L"webalizer", floor);
    run(big, L"awstats", floor);
    run(many, L"webalizer", 0);
    run(many, L"awstats", 0);
    run(ftp, L"webalizer", 0);
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", text::toUtf8(e.fullText()).c_str());
    return 1;
  }
  return 0;
}
