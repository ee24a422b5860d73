// Speed of the directory walk of the disk usage step: builds a tree of a
// million small files (1000 directories of 1000 files of 1 to 64 bytes) in a
// temporary directory, then times directorySize over it beside
// `du -s --apparent-size --block-size=1` on the same tree, alternating the
// two so that both see the same warm caches, and prints the best time of
// each and their ratio. The tree is removed at the end.
//
// The two figures differ by the directories' own sizes, which du counts and
// the walk (like the Windows listing it stands for) does not.
//
// Usage: du_bench [files]   (default 1000000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "diskusage/directory_size.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 3;
constexpr long kFilesPerDirectory = 1000;

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Returns the bytes written.
uint64_t buildTree(const fs::path& root, long files) {
  uint64_t bytes = 0;
  const std::string content(64, 'x');
  for (long i = 0; i < files; ++i) {
    const fs::path dir = root / ("d" + std::to_string(i / kFilesPerDirectory));
    if (i % kFilesPerDirectory == 0) fs::create_directories(dir);
    const size_t size = 1 + static_cast<size_t>(i % 64);
    FILE* f = std::fopen((dir / ("f" + std::to_string(i % kFilesPerDirectory))).c_str(), "wb");
    if (!f || std::fwrite(content.data(), 1, size, f) != size || std::fclose(f) != 0) throw std::runtime_error("cannot write the tree");
    bytes += size;
  }
  return bytes;
}

// du's figure for the tree; 0 when du fails.
uint64_t runDu(const std::wstring& root) {
  const process::RunResult r = process::run(L"/usr/bin/du", {L"-s", L"--apparent-size", L"--block-size=1", root});
  return r.exitCode == 0 ? std::strtoull(r.output.c_str(), nullptr, 10) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (files <= 0) {
    std::fprintf(stderr, "usage: du_bench [files]\n");
    return 2;
  }
  // Line by line, so that progress shows while the tree is built and removed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const fs::path root = fs::path(text::toAnsi(process::systemTempDirectory())) / ("du-bench-" + text::toAnsi(process::newGuid()));
  const std::wstring wroot = text::fromAnsi(root.string());
  int code = 0;
  try {
    fs::create_directories(root);
    auto start = std::chrono::steady_clock::now();
    const uint64_t written = buildTree(root, files);
    std::printf("tree: %ld files, %llu bytes in %s (built in %.1f s)\n", files, static_cast<unsigned long long>(written), root.c_str(),
                seconds(std::chrono::steady_clock::now() - start));

    double bestWalk = 1e300, bestDu = 1e300;
    uint64_t walked = 0, counted = 0;
    for (int run = 0; run < kRuns; ++run) {
      start = std::chrono::steady_clock::now();
      walked = directorySize(wroot);
      bestWalk = std::min(bestWalk, seconds(std::chrono::steady_clock::now() - start));
      start = std::chrono::steady_clock::now();
      counted = runDu(wroot);
      bestDu = std::min(bestDu, seconds(std::chrono::steady_clock::now() - start));
    }
    std::printf("directorySize: %llu bytes, best of %d: %.3f s (%.0f files/s)\n", static_cast<unsigned long long>(walked), kRuns, bestWalk,
                static_cast<double>(files) / bestWalk);
    std::printf("du -s --apparent-size: %llu bytes (directories' own sizes included), best of %d: %.3f s\n",
                static_cast<unsigned long long>(counted), kRuns, bestDu);
    std::printf("ratio directorySize / du: %.2f\n", bestWalk / bestDu);
    if (walked != written) {
      std::printf("MISMATCH: the walk found %llu bytes, the tree holds %llu\n", static_cast<unsigned long long>(walked),
                  static_cast<unsigned long long>(written));
      code = 1;
    }
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", text::toUtf8(e.fullText()).c_str());
    code = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    code = 1;
  }
  const auto removing = std::chrono::steady_clock::now();
  vfs::removeTree(wroot);
  std::printf("tree removed in %.1f s\n", seconds(std::chrono::steady_clock::now() - removing));
  return code;
}
