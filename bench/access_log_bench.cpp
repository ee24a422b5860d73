// Throughput of the access-log path: generates a combined access log of a
// million lines (Debian's default form, about 190 bytes a line), then reads
// it the way a run does: the reader alone, the whole collection without a
// feed, with a Webalizer feed and with an AWStats feed; then the xferlog
// reader over as many transfer lines. Prints lines/s, MB/s and the peak
// resident set size; the figures must add up to what was generated.
//
// Usage: access_log_bench [lines]   (default 1000000)

// getrusage for the peak resident set size.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/linux_logs.h"
#include "traffic/log_scan.h"
#include "webstat/log_for_analyser.h"

namespace {

namespace fs = std::filesystem;

long peakRssKb() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Writes `lines` lines, the i-th made by make(i, buffer) (its length), to
// `path` in pieces of about a mebibyte; returns the bytes written.
template <class Make>
uint64_t writeLines(const std::string& path, long lines, Make&& make) {
  std::ofstream file(path, std::ios::binary);
  std::string out;
  char line[512];
  uint64_t bytes = 0;
  for (long i = 0; i < lines; ++i) {
    out.append(line, static_cast<size_t>(make(i, line, sizeof line)));
    if (out.size() > (1 << 20)) {
      file.write(out.data(), static_cast<std::streamsize>(out.size()));
      bytes += out.size();
      out.clear();
    }
  }
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  return bytes + out.size();
}

uint64_t generate(const std::string& path, long lines, int64_t& sent) {
  static const char* const stems[] = {"/", "/index.html", "/images/logo.png", "/css/site.css",
                                      "/blog/2016/12/07/a-rather-long-article-name.html", "/api/v1/items?id=42&page=7"};
  static const char* const agents[] = {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/55.0",
                                       "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", "curl/7.52.1"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::mt19937 random(42);
  // Lines of the last few days, so that they lie inside the run's window.
  const VDateTime now = VDateTime::nowUtc();
  return writeLines(path, lines, [&](long i, char* line, size_t room) {
    const VDateTime t = now.addSeconds(-3 * 86400 + i * (2 * 86400) / lines);
    const unsigned r = random();
    const unsigned size = 200 + (r >> 12) % 90000;
    sent += size;
    return std::snprintf(line, room,
                         "192.168.%u.%u - - [%02d/%s/%04d:%02d:%02d:%02d +0100] \"GET %s HTTP/1.1\" 200 %u "
                         "\"http://www.example.com/search?q=statistics\" \"%s\"\n",
                         (r >> 8) & 255, (r >> 16) & 255, t.day, months[t.month - 1], t.year, t.hour, t.minute, t.second, stems[r % 6], size,
                         agents[(r >> 4) % 3]);
  });
}

void report(const char* title, long lines, uint64_t bytes, double elapsed, bool complete) {
  std::printf("%-34s %9ld lines %7.1f MB %6.2f s %10.0f lines/s %7.1f MB/s  peak RSS %ld MiB%s\n", title, lines,
              static_cast<double>(bytes) / 1e6, elapsed, static_cast<double>(lines) / elapsed, static_cast<double>(bytes) / 1e6 / elapsed,
              peakRssKb() / 1024, complete ? "" : "  (FIGURES DO NOT ADD UP)");
}

// The analyser named (L"webalizer", L"awstats") or none.
void collect(const std::string& dir, long lines, uint64_t bytes, int64_t sent, const std::wstring& analyser) {
  const bool feeds = !analyser.empty();
  DomainModel model;
  auto domain = std::make_shared<DomainInfo>(L"1", L"example.com");
  domain->webStatType = analyser;
  model.domainsById[L"1"] = domain;
  model.domainIdsByName[L"example.com"] = L"1";
  domain->webLogsDirectory = text::fromAnsi(dir);
  LogDirectoryMap dirs;
  dirs.set(text::fromAnsi(dir), LogHttp, L"example.com", domain.get());
  SitesHits hits;
  halvex::logging::LogStorage httpStorage, ftpStorage;
  std::unique_ptr<AnalyserRegistry> analysers;
  if (feeds) analysers = std::make_unique<AnalyserRegistry>(model);
  LogCollector collector(model, hits, httpStorage, ftpStorage, analysers.get());
  const auto start = std::chrono::steady_clock::now();
  collector.processLogDirs(VDateTime::nowUtc().addSeconds(-5 * 86400), dirs, L"");
  if (analysers) analysers->discardAll();
  const double elapsed = seconds(start);
  int64_t counted = 0, hitCount = 0;
  for (const auto& [day, t] : domain->traffic[LogHttp]) counted += t.sent;
  for (const auto& [day, n] : hits) hitCount += n;
  const char* title = !feeds ? "collection, no feed" : analyser == L"awstats" ? "collection, AWStats feed" : "collection, Webalizer feed";
  report(title, lines, bytes, elapsed, counted == sent && hitCount == lines);
}

// ProFTPD's xferlog lines, uploads and downloads, read as UTC.
void xferlog(const std::string& path, long lines) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::mt19937 random(7);
  int64_t sent = 0, received = 0;
  const uint64_t bytes = writeLines(path, lines, [&](long i, char* line, size_t room) {
    const unsigned r = random();
    const unsigned size = 100 + (r >> 8) % 500000;
    const bool upload = (r & 1) != 0;
    (upload ? received : sent) += size;
    const long minute = i * 1440 / lines;
    return std::snprintf(line, room, "%s %s %2d %02ld:%02ld:%02u 2017 %u 192.0.2.%u %u /home/user%u/public_html/file-%u.dat b _ %c r user%u ftp 0 * c\n",
                         days[(i / 1000) % 7], months[2], 14, minute / 60, minute % 60, r % 60, 1 + r % 9, (r >> 4) % 250, size, (r >> 3) % 50,
                         r % 1000, upload ? 'i' : 'o', (r >> 3) % 50);
  });
  linuxlog::XferlogClock clock(true);
  int64_t readSent = 0, readReceived = 0;
  const auto start = std::chrono::steady_clock::now();
  const linuxlog::ReadCounts counts = linuxlog::readXferlog(text::fromAnsi(path), clock, [&](W3CRecord& r) {
    readSent += text::parseLeadingInt64(r(L"sc-bytes"));
    readReceived += text::parseLeadingInt64(r(L"cs-bytes"));
  });
  report("xferlog reader alone", lines, bytes, seconds(start), readSent == sent && readReceived == received && counts.records == lines);
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (lines < 1) {
    std::fprintf(stderr, "usage: access_log_bench [lines >= 1]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    text::initLocale();
    testkit::Installation install;
    const std::string dir = install.path("example.com/logs");
    fs::create_directories(dir);
    int64_t sent = 0;
    const uint64_t bytes = generate(dir + "/access.log", lines, sent);
    std::printf("peak RSS after generating: %ld MiB\n", peakRssKb() / 1024);

    std::vector<const linuxlog::AccessLogFormat*> formats;
    for (const linuxlog::AccessLogFormat& f : linuxlog::AccessLogFormat::known()) formats.push_back(&f);
    const auto start = std::chrono::steady_clock::now();
    int64_t read = 0;
    const linuxlog::ReadCounts counts = linuxlog::readAccessLog(text::fromAnsi(dir + "/access.log"), formats,
                                                                [&](W3CRecord& r) { read += text::parseLeadingInt64(r(L"sc-bytes")); });
    report("reader alone", lines, bytes, seconds(start), read == sent && counts.records == lines);
    collect(dir, lines, bytes, sent, L"");
    collect(dir, lines, bytes, sent, L"webalizer");
    collect(dir, lines, bytes, sent, L"awstats");
    fs::remove(dir + "/access.log");
    xferlog(dir + "/xferlog", lines);
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", text::toUtf8(e.fullText()).c_str());
    return 1;
  }
  return 0;
}
