// Throughput of the W3C log reader: generates a web server log of a million
// lines (17 fields, about 200 bytes a line) in a temporary directory, reads
// it back the way the traffic collection does (columns resolved once per
// block; "date", "time", "sc-bytes" and "cs-bytes" read per line) and prints
// lines and megabytes per second beside the cost of only reading the bytes,
// and the peak resident set size.
//
// Usage: w3c_bench [lines]   (default 1000000)

// getrusage for the peak resident set size.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"
#include "traffic/w3c.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 3;
constexpr long kLinesPerBlock = 250000;  // a server restart now and then

const char* const kHeader =
    "#Software: Microsoft Internet Information Services 10.0\r\n"
    "#Version: 1.0\r\n"
    "#Date: 2016-12-07 00:00:00\r\n"
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
    "cs(User-Agent) cs(Referer) sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n";

void generate(const fs::path& path, long lines) {
  static const char* const stems[] = {"/", "/index.html", "/images/logo.png", "/css/site.css",
                                      "/blog/2016/12/07/a-rather-long-article-name.html", "/api/v1/items"};
  static const char* const agents[] = {
      "Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)+Chrome/55.0",
      "Mozilla/5.0+(compatible;+Googlebot/2.1;++http://www.google.com/bot.html)",
      "curl/7.52.1"};
  std::mt19937 random(42);
  std::string out;
  std::ofstream file(path, std::ios::binary);
  char line[512];
  for (long i = 0; i < lines; ++i) {
    if (i % kLinesPerBlock == 0) out += kHeader;
    const long second = i * 86400 / lines;
    const unsigned r = random();
    const int n = std::snprintf(
        line, sizeof line,
        "2016-12-07 %02ld:%02ld:%02ld 10.0.0.1 GET %s %s 80 - 192.168.%u.%u %s "
        "http://www.example.com/search?q=statistics 200 0 0 %u %u %u\r\n",
        second / 3600, second / 60 % 60, second % 60, stems[r % 6], (r & 64) ? "id=42&page=7" : "-",
        (r >> 8) & 255, (r >> 16) & 255, agents[(r >> 4) % 3], 200 + (r >> 12) % 90000, 300 + (r >> 20) % 900,
        (r >> 24) % 500);
    out.append(line, static_cast<size_t>(n));
    if (out.size() > (1 << 20)) {
      file.write(out.data(), static_cast<std::streamsize>(out.size()));
      out.clear();
    }
  }
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Only the bytes: open and read(2) through a buffer of the reader's size.
double rawRead(const std::wstring& path, uint64_t& bytes) {
  auto start = std::chrono::steady_clock::now();
  vfs::File file = vfs::openRead(path);
  static char buffer[256 * 1024];
  bytes = 0;
  for (size_t n; (n = file.read(buffer, sizeof buffer)) != 0;) bytes += n;
  return seconds(start);
}

struct Totals {
  long lines = 0;
  long long sent = 0;
  long long received = 0;
  size_t dateTimeChars = 0;
};

double readLog(const std::wstring& path, Totals& totals) {
  auto start = std::chrono::steady_clock::now();
  totals = Totals{};
  uint64_t generation = 0;
  int date = -1, time = -1, sent = -1, received = -1;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) {
    if (r.generation() != generation) {
      generation = r.generation();
      date = r.column(L"date");
      time = r.column(L"time");
      sent = r.column(L"sc-bytes");
      received = r.column(L"cs-bytes");
    }
    ++totals.lines;
    totals.dateTimeChars += r.value(date).size() + r.value(time).size();
    totals.sent += text::parseLeadingInt64(r.value(sent));
    totals.received += text::parseLeadingInt64(r.value(received));
  });
  return seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::string pattern = (fs::temp_directory_path() / "w3c_bench.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  const fs::path log = dir / "u_ex161207.log";
  int status = 0;
  try {
    auto start = std::chrono::steady_clock::now();
    generate(log, lines);
    std::printf("generated %ld lines, %.1f MB in %.2f s\n", lines, fs::file_size(log) / 1e6, seconds(start));

    double bestRaw = 1e9, bestRead = 1e9;
    uint64_t bytes = 0;
    Totals totals;
    for (int run = 0; run < kRuns; ++run) {
      bestRaw = std::min(bestRaw, rawRead(log.wstring(), bytes));
      bestRead = std::min(bestRead, readLog(log.wstring(), totals));
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("raw read(2) only : %8.3f s  %10.0f MB/s\n", bestRaw, mb / bestRaw);
    std::printf("W3C reader       : %8.3f s  %10.0f MB/s  %12.0f lines/s  (best of %d)\n", bestRead, mb / bestRead,
                static_cast<double>(totals.lines) / bestRead, kRuns);
    std::printf("records %ld, sc-bytes %lld, cs-bytes %lld, date+time chars %zu\n", totals.lines, totals.sent,
                totals.received, totals.dateTimeChars);
    if (totals.lines != lines) {
      std::printf("ERROR: expected %ld records\n", lines);
      status = 1;
    }
  } catch (const vexception& e) {
    std::printf("ERROR: %s\n", text::toUtf8(e.fullText()).c_str());
    status = 1;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS %.1f MB\n", usage.ru_maxrss / 1024.0);
  fs::remove_all(dir);
  return status;
}
