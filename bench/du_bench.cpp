// Speed of the directory walk of the disk usage step beside
// `du -s --apparent-size --block-size=1` on the same trees, alternating the
// two so that both see the same warm caches; prints the best time of each,
// their ratio, and the walk's own figures (directories listed, opens made to
// come back to a level it had closed, most descriptors held). Trees:
// - flat: a million small files (1000 directories of 1000 files of 1 to 64
//   bytes);
// - deep: a chain of 4,000 directories, each level also holding two sibling
//   directories with a small file each, so that the walk comes back to most
//   levels of the chain;
// - wide: 300 directories of 300 directories, each with a small file.
// Each tree is made in a temporary directory and removed after.
//
// The walk's and du's figures differ by the directories' own sizes, which
// du counts and the walk (like the Windows listing it stands for) does not.
//
// Usage: du_bench [flat|deep|wide|all] [size]   (default: all; size is the
// files of the flat tree, the levels of the deep one, the directories per
// level of the wide one)
//        du_bench FILES                          (the flat tree alone)

#include <algorithm>
#include <cctype>
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

void writeFile(const fs::path& path, size_t size) {
  static const std::string content(64, 'x');
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(content.data(), 1, size, f) != size || std::fclose(f) != 0) throw std::runtime_error("cannot write the tree");
}

// Each builder returns the bytes written.
uint64_t buildFlat(const fs::path& root, long files) {
  uint64_t bytes = 0;
  for (long i = 0; i < files; ++i) {
    const fs::path dir = root / ("d" + std::to_string(i / kFilesPerDirectory));
    if (i % kFilesPerDirectory == 0) fs::create_directories(dir);
    const size_t size = 1 + static_cast<size_t>(i % 64);
    writeFile(dir / ("f" + std::to_string(i % kFilesPerDirectory)), size);
    bytes += size;
  }
  return bytes;
}

// The chain is deeper than a path may be long, so it is built from the
// working directory down, one level at a time.
uint64_t buildDeep(const fs::path& root, long levels) {
  const fs::path start = fs::current_path();
  uint64_t bytes = 0;
  try {
    fs::current_path(root);
    for (long i = 0; i < levels; ++i) {
      // Names that change with the level, so that the file system lists the
      // chain's next level before a sibling at most levels.
      for (const std::string& sibling : {"a" + std::to_string(i), "b" + std::to_string(i)}) {
        fs::create_directory(sibling);
        const size_t size = 1 + static_cast<size_t>(i % 64);
        writeFile(fs::path(sibling) / "f", size);
        bytes += size;
      }
      fs::create_directory("d");
      fs::current_path("d");
    }
  } catch (...) {
    fs::current_path(start);
    throw;
  }
  fs::current_path(start);
  return bytes;
}

uint64_t buildWide(const fs::path& root, long width) {
  uint64_t bytes = 0;
  for (long i = 0; i < width; ++i)
    for (long j = 0; j < width; ++j) {
      const fs::path dir = root / ("d" + std::to_string(i)) / ("e" + std::to_string(j));
      fs::create_directories(dir);
      const size_t size = 1 + static_cast<size_t>((i + j) % 64);
      writeFile(dir / "f", size);
      bytes += size;
    }
  return bytes;
}

// du's figure for the tree; 0 when du fails.
uint64_t runDu(const std::wstring& root) {
  const process::RunResult r = process::run(L"/usr/bin/du", {L"-s", L"--apparent-size", L"--block-size=1", root});
  return r.exitCode == 0 ? std::strtoull(r.output.c_str(), nullptr, 10) : 0;
}

// Builds one tree, measures it and removes it; false on a mismatch or failure.
bool measure(const char* kind, long size) {
  const fs::path root = fs::path(text::toAnsi(process::systemTempDirectory())) / ("du-bench-" + text::toAnsi(process::newGuid()));
  const std::wstring wroot = text::fromAnsi(root.string());
  bool ok = true;
  try {
    fs::create_directories(root);
    auto start = std::chrono::steady_clock::now();
    const std::string k = kind;
    const uint64_t written = k == "flat" ? buildFlat(root, size) : k == "deep" ? buildDeep(root, size) : buildWide(root, size);
    std::printf("%s tree (size %ld): %llu bytes in %s (built in %.1f s)\n", kind, size, static_cast<unsigned long long>(written), root.c_str(),
                seconds(std::chrono::steady_clock::now() - start));

    double bestWalk = 1e300, bestDu = 1e300;
    DirectoryWalkFigures walked;
    uint64_t counted = 0;
    for (int run = 0; run < kRuns; ++run) {
      start = std::chrono::steady_clock::now();
      walked = directoryWalkFigures(wroot);
      bestWalk = std::min(bestWalk, seconds(std::chrono::steady_clock::now() - start));
      start = std::chrono::steady_clock::now();
      counted = runDu(wroot);
      bestDu = std::min(bestDu, seconds(std::chrono::steady_clock::now() - start));
    }
    std::printf("  directorySize: %llu bytes, best of %d: %.3f s; %llu directories, %llu reopened, at most %llu held\n",
                static_cast<unsigned long long>(walked.bytes), kRuns, bestWalk, static_cast<unsigned long long>(walked.directories),
                static_cast<unsigned long long>(walked.reopened), static_cast<unsigned long long>(walked.mostHeld));
    std::printf("  du -s --apparent-size: %llu bytes (directories' own sizes included), best of %d: %.3f s\n",
                static_cast<unsigned long long>(counted), kRuns, bestDu);
    std::printf("  ratio directorySize / du: %.2f\n", bestWalk / bestDu);
    if (walked.bytes != written) {
      std::printf("  MISMATCH: the walk found %llu bytes, the tree holds %llu\n", static_cast<unsigned long long>(walked.bytes),
                  static_cast<unsigned long long>(written));
      ok = false;
    }
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", text::toUtf8(e.fullText()).c_str());
    ok = false;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    ok = false;
  }
  const auto removing = std::chrono::steady_clock::now();
  vfs::removeTree(wroot);
  std::printf("  tree removed in %.1f s\n", seconds(std::chrono::steady_clock::now() - removing));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that progress shows while the trees are built and removed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string kind = argc > 1 ? argv[1] : "all";
  long size = argc > 2 ? std::atol(argv[2]) : 0;
  if (argc > 1 && std::isdigit(static_cast<unsigned char>(argv[1][0]))) {
    kind = "flat";
    size = std::atol(argv[1]);
  }
  const bool known = kind == "all" || kind == "flat" || kind == "deep" || kind == "wide";
  if (!known || argc > 3 || (argc > 2 && size <= 0) || (argc == 2 && kind == "flat" && size < 0)) {
    std::fprintf(stderr, "usage: du_bench [flat|deep|wide|all] [size] | du_bench FILES\n");
    return 2;
  }
  bool ok = true;
  for (const char* k : {"deep", "wide", "flat"}) {
    if (kind != "all" && kind != k) continue;
    const std::string name = k;
    const long defaultSize = name == "deep" ? 4000 : name == "wide" ? 300 : 1000000;
    ok = measure(k, size > 0 ? size : defaultSize) && ok;
  }
  return ok ? 0 : 1;
}
