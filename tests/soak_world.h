// The installation the soak runs on: hosted domains with web logs, two FTP
// server directories whose lines belong to domains by login and by
// anonymous-FTP address, analyser feeds and log rotation on some domains.
// Every line the soak writes is summed here as it is written, independently
// of the program, so that the figures of all results documents can be held
// against the logs' own sums.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/testkit.h"

namespace soak {

// (domain id, date "YYYY-MM-DD", type "http" / "ftp" / "anonftp") -> (in, out).
using Figures = std::map<std::tuple<std::string, std::string, std::string>, std::pair<int64_t, int64_t>>;
// Date -> count (page hits).
using DayCounts = std::map<std::string, int64_t>;

struct SoakDomain {
  std::string id;
  std::string name;
  std::string webStatType;  // "webalizer", "awstats" or empty
  bool rotated = false;     // log rotation enabled
};

class World {
 public:
  // Lays out the installation (environment variables of this process point
  // at it) with the panel utilities copied from the build.
  explicit World(uint32_t seed);

  const std::string& configPath() const { return configPath_; }
  const std::vector<SoakDomain>& domains() const { return domains_; }
  // Environment of an instance: the installation's, TMPDIR of its own.
  std::map<std::string, std::string> environment() const;
  std::string path(const std::string& name) const { return install_.path(name); }
  std::string logsDir(const SoakDomain& d) const;
  // Path patterns (fnmatch, "*" crossing "/") of things a read fault can hit:
  // each domain's logs directory, its logs, each FTP server directory's logs.
  std::vector<std::string> faultTargets() const;

  // Appends the lines of one round: web lines for every domain and FTP
  // lines in both server directories, stamped inside (from, to], both UTC
  // seconds; the files' last-write times become `to`. Returns the number of
  // lines written (counted ones and the ones no domain owns).
  int64_t appendRound(int round, time_t from, time_t to, int webLinesPerDomain, int ftpLinesPerDirectory);

  const Figures& expected() const { return expected_; }
  const DayCounts& expectedHits() const { return expectedHits_; }
  // Lines each domain's feeds must hold (web feed, FTP feeds), for domains
  // with an analyser.
  const std::map<std::string, std::pair<int64_t, int64_t>>& expectedFeedLines() const { return feedLines_; }

 private:
  void writeConfig();
  void webLines(const SoakDomain& d, const std::string& file, const std::vector<time_t>& stamps);
  void ftpLines(const std::string& directory, const std::string& file, const std::vector<time_t>& stamps, bool anonymousDirectory);
  std::vector<time_t> stamps(int count, time_t from, time_t to);
  void count(const std::string& domainId, time_t stamp, const char* type, int64_t in, int64_t out);

  testkit::Installation install_;
  testkit::TempDir tmp_;
  std::mt19937 rng_;
  std::string configPath_;
  std::vector<SoakDomain> domains_;
  Figures expected_;
  DayCounts expectedHits_;
  std::map<std::string, std::pair<int64_t, int64_t>> feedLines_;
};

// Appends to a file and sets its last-write time (UTC seconds).
void appendStamped(const std::string& path, const std::string& data, time_t lastWrite);
// "YYYY-MM-DD" and "hh:mm:ss" of a UTC time.
std::string formatDate(time_t t);
std::string formatTime(time_t t);

}  // namespace soak
