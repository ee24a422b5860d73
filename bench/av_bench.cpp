// Throughput of the antivirus statistics pass: generates an "avstat" log of
// a million entries (UTF-16LE, as the support library writes it; clean,
// infected, protected and skipped messages over three days, recipient lists
// with display names) in a temporary directory, runs the pass over it and
// prints lines and megabytes per second (of the file's bytes) and the number
// of figures produced.
//
// Usage: av_bench [lines]   (default 1000000)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "antivirus/av_pass.h"
#include "support/exceptions.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 3;

void generate(const fs::path& path, long lines) {
  static const wchar_t* const statuses[] = {L"clean", L"clean", L"clean", L"clean", L"infected", L"protected", L"skipped"};
  static const wchar_t* const viruses[] = {L"EICAR-Test-Signature", L"Win.Trojan.Agent-1234", L"Doc.Dropper.Macro-77"};
  std::mt19937 random(42);
  std::ofstream file(path, std::ios::binary);
  file.write("\xFF\xFE", 2);
  std::wstring chunk;
  wchar_t line[512];
  for (long i = 0; i < lines; ++i) {
    const long second = i * 3 * 86400 / lines;
    const unsigned r = random();
    const wchar_t* status = statuses[r % 7];
    const int n = std::swprintf(line, sizeof line / sizeof line[0],
                                L"2024/03/%02ld %02ld:%02ld:%02ld:%03u %u %u %ls\tfrom sender%u@example.net\t"
                                L"\"User %u, Sales\" <User%u@Example.COM>, box%u@example.org\t%ls\r\n",
                                1 + second / 86400, second / 3600 % 24, second / 60 % 60, second % 60, r % 1000, 4242u, 17u + r % 4,
                                status, r % 500, r % 300, r % 300, r % 1000, viruses[r % 3]);
    chunk.append(line, static_cast<size_t>(n));
    if (chunk.size() > (1u << 20)) {
      const std::string bytes = text::toUtf16le(chunk);
      file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      chunk.clear();
    }
  }
  const std::string bytes = text::toUtf16le(chunk);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  const fs::path dir = fs::temp_directory_path() / ("av_bench." + std::to_string(std::random_device()()));
  fs::create_directories(dir);
  // Keep the run away from the machine's registry, locks and event log.
  setenv("HALVEX_REGISTRY", (dir / "registry.db").c_str(), 1);
  setenv("HALVEX_LOCK_DIR", (dir / "locks").c_str(), 1);
  setenv("HALVEX_EVENT_LOG", (dir / "events.log").c_str(), 1);

  int rc = 0;
  try {
    const fs::path log = dir / "halvexlog_avstat20240301.log";
    generate(log, lines);
    const double megabytes = static_cast<double>(fs::file_size(log)) / (1024.0 * 1024.0);
    std::printf("av_bench: %ld lines, %.1f MB of UTF-16LE\n", lines, megabytes);
    for (int run = 0; run < kRuns; ++run) {
      uint64_t figures = 0, counted = 0;
      const AvRecordSink sink = [&](const std::wstring& type, const std::wstring&, const std::wstring&, uint64_t count) {
        ++figures;
        if (type == L"summary") counted += count;
      };
      std::vector<std::wstring> files;
      const auto start = std::chrono::steady_clock::now();
      runAvStatisticsPass(AvLogKind::Antivirus, text::fromAnsi(dir.string()), L"", sink, files);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("run %d: %.3f s, %.0f lines/s, %.1f MB/s, %llu entries counted, %llu figures\n", run + 1, seconds, lines / seconds,
                  megabytes / seconds, static_cast<unsigned long long>(counted), static_cast<unsigned long long>(figures));
    }
  } catch (const vexception& e) {
    std::fprintf(stderr, "av_bench: %s\n", text::toAnsi(e.fullText()).c_str());
    rc = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "av_bench: %s\n", e.what());
    rc = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return rc;
}
