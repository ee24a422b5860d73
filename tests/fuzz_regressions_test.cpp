// Replays the inputs of the fuzz targets through their bodies: the seeds,
// which reach the code's main paths, and every input that once made a
// target fail, kept so that the fault stays fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

using Body = void (*)(const uint8_t*, size_t);

struct Target {
  const char* name;
  Body body;
};

const Target kTargets[] = {
    {"w3c_fuzz", fuzzW3cReader},         {"configuration_fuzz", fuzzConfiguration}, {"log_locations_fuzz", fuzzHostAnswer},
    {"cmdline_fuzz", fuzzCommandLine},   {"datetime_fuzz", fuzzDateTime},           {"vaformat_fuzz", fuzzVaformat},
    {"registry_fuzz", fuzzRegistry},     {"av_recipients_fuzz", fuzzRecipients},
};

std::vector<fs::path> inputsOf(const std::string& kind, const char* target) {
  std::vector<fs::path> out;
  const fs::path dir = fs::path(HALVEX_FUZZ_INPUTS) / kind / target;
  if (!fs::is_directory(dir)) return out;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir))
    if (entry.is_regular_file()) out.push_back(entry.path());
  return out;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Feeds every input of that kind to its target's body; returns how many ran.
size_t replay(const std::string& kind, const Target& target) {
  const std::vector<fs::path> inputs = inputsOf(kind, target.name);
  for (const fs::path& input : inputs) {
    const std::string bytes = bytesOf(input);
    EXPECT_NO_THROW(target.body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) << input;
  }
  return inputs.size();
}

}  // namespace

TEST(FuzzRegressionsTest, EveryTargetTakesItsSeeds) {
  for (const Target& target : kTargets) EXPECT_GT(replay("fuzz-seeds", target), 0u) << target.name << " has no seed";
}

TEST(FuzzRegressionsTest, InputsThatOnceFailedPass) {
  for (const Target& target : kTargets) replay("fuzz-regressions", target);
}
