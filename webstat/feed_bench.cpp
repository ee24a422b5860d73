// Throughput of feed writing, the traffic step's hot path: generates a web
// server log of a million lines in a temporary installation, reads it with
// the W3C reader and rewrites every line into a Webalizer and an AWStats
// feed, as the traffic step does for domains with an analyser. Prints lines
// per second for reading alone and for reading plus each feed.
//
// Usage: feed_bench [lines]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/datetime.h"
#include "support/text.h"
#include "tests/testkit.h"
#include "traffic/w3c.h"
#include "webstat/log_file.h"
#include "webstat/log_for_analyser.h"

namespace {

void generate(const std::string& path, long lines) {
  static const char* const stems[] = {"/", "/index.html", "/images/logo.png", "/blog/2016/12/07/a-rather-long-article.html"};
  std::ofstream file(path, std::ios::binary);
  file << "#Software: Microsoft Internet Information Services 10.0\r\n#Version: 1.0\r\n"
          "#Fields: date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
          "cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status sc-bytes cs-bytes "
          "time-taken\r\n";
  char line[600];
  for (long i = 0; i < lines; ++i) {
    const long second = i * 86400 / lines;
    const int n = std::snprintf(line, sizeof line,
                                "2016-12-07 %02ld:%02ld:%02ld W3SVC1 WEB01 10.0.0.1 GET %s id=%ld 80 - 192.168.%ld.%ld HTTP/1.1 "
                                "Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)+Chrome/55.0 - "
                                "http://www.example.com/search?q=statistics www.example.com 200 0 0 %ld 420 %ld\r\n",
                                second / 3600, second / 60 % 60, second % 60, stems[i % 4], i % 97, (i / 256) % 256, i % 256,
                                1000 + i % 50000, i % 900);
    file.write(line, n);
  }
}

// Reads the log, handing each record to `perLine`; returns lines per second.
template <class F>
double measure(const std::string& path, long lines, F&& perLine) {
  const auto start = std::chrono::steady_clock::now();
  long seen = 0;
  W3CFile::forEachRecord(text::fromAnsi(path), [&](W3CRecord& r) {
    ++seen;
    perLine(r);
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seen != lines) std::fprintf(stderr, "read %ld lines, expected %ld\n", seen, lines);
  return static_cast<double>(seen) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  testkit::Installation installation;
  const std::string log = installation.path("u_ex161207.log");
  generate(log, lines);

  const double readOnly = measure(log, lines, [](W3CRecord& r) { (void)r(L"sc-bytes"); });
  std::printf("read only:          %10.0f lines/s\n", readOnly);

  DomainModel model;
  auto domain = std::make_shared<DomainInfo>(L"1", L"example.com");
  model.domainsById[L"1"] = domain;
  model.domainIdsByName[L"example.com"] = L"1";
  for (const wchar_t* type : {L"webalizer", L"awstats"}) {
    domain->webStatType = type;
    AnalyserRegistry registry(model);
    int column = -1;
    uint64_t generation = 0;
    const double rate = measure(log, lines, [&](W3CRecord& r) {
      if (column < 0 || r.generation() != generation) {
        column = r.column(L"time");
        generation = r.generation();
      }
      VDateTime time;
      time.parse(r(L"date"), L"YMD");
      time.parse(r.value(column), L"hms");
      LogForAnalyser* writer = registry.getAnalyserForDomain(L"example.com");
      writer->prepareLogFile(0);
      writer->processHTTPLogLine(time, 0, r);
    });
    std::printf("read + %-9ls feed: %10.0f lines/s\n", type, rate);
    registry.discardAll();
  }
  return 0;
}
