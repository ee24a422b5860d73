// The concurrency and crash soak: several instances of
//   statistics --http-traffic --ftp-traffic
// start at once over the same domains and logs, round after round, with new
// lines appended between rounds. Each round runs under a clock one step
// further ahead (libfaketime, as the faketime program starts a program), and
// its lines are stamped between the previous round's end and this round's
// start on that clock, so that they fall inside the next runs' windows. With
// --kills one instance of some rounds is killed with SIGKILL at a random
// moment. With --faults every instance of every other round runs with one
// thing of the world unreadable (a domain's logs directory, its logs, an FTP
// server's logs: a preloaded shim fails their opens), so that domain's
// traffic waits for a later round. A last round over unchanged logs must add
// nothing.
//
// Checked: across all complete results documents every line is counted
// exactly once (sums per domain, day and kind, and page hits per day, against
// the sums the soak made while writing the logs); the analyser feeds hold
// every counted line once, also when a run was killed after its document
// was complete; after each round no lock value is held except by
// an instance killed in it (the next round takes those over); the registry
// store reads back whole. A killed instance's incomplete document is
// discarded; one that was killed after its document was complete delivered
// its figures and counts.
//
//   soak [--instances N] [--rounds N] [--kills] [--kill-every N] [--faults] [--seed N]
//        [--web-lines N] [--ftp-lines N] [--hours-per-round N]
//
// Prints instances x rounds, kills, lines and "counted once: yes"; otherwise
// the differences, with exit code 1.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "tests/soak_results.h"
#include "tests/soak_world.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int instances = 4;
  int rounds = 6;
  bool kills = false;
  bool faults = false;
  int killEvery = 2;
  uint32_t seed = 1;
  int webLines = 40;
  int ftpLines = 60;
  int hoursPerRound = 5;
};

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return out >= 0;
    };
    int seed = 0;
    bool ok = true;
    if (arg == "--instances") ok = number(o.instances) && o.instances > 0;
    else if (arg == "--rounds") ok = number(o.rounds) && o.rounds > 0;
    else if (arg == "--kills") o.kills = true;
    else if (arg == "--faults") o.faults = true;
    else if (arg == "--kill-every") ok = number(o.killEvery) && o.killEvery > 0;
    else if (arg == "--seed") ok = number(seed), o.seed = static_cast<uint32_t>(seed);
    else if (arg == "--web-lines") ok = number(o.webLines);
    else if (arg == "--ftp-lines") ok = number(o.ftpLines);
    else if (arg == "--hours-per-round") ok = number(o.hoursPerRound) && o.hoursPerRound > 0;
    else ok = false;
    if (!ok) {
      std::cerr << "soak: bad option " << arg << "\n";
      return false;
    }
  }
  return true;
}

// One started instance and what became of it.
struct Instance {
  pid_t pid = -1;
  std::string results;
  std::string output;
  Clock::time_point started;
  double seconds = 0;
  int status = 0;
  bool killed() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
};

// Starts the program under a clock `offsetHours` ahead, its output in a file
// of its own. LD_PRELOAD and FAKETIME are what the faketime program sets; set
// here directly, the process started is the program itself, so a kill hits it.
Instance start(const soak::World& world, int offsetHours, const std::string& results, const std::string& output, const std::string& fault) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    if (const size_t eq = kv.find('='); eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : world.environment()) env[k] = v;
  env["LD_PRELOAD"] = "/usr/$LIB/faketime/libfaketime.so.1";
  env["FAKETIME"] = "+" + std::to_string(offsetHours) + "h";
  // File times stay real: the soak sets them to the clock it means.
  env["NO_FAKE_STAT"] = "1";
  if (!fault.empty()) {
    env["LD_PRELOAD"] = std::string(HALVEX_READ_FAULT_SHIM) + ":" + env["LD_PRELOAD"];
    env["HALVEX_TEST_READ_FAULT"] = fault;
  }
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  const std::string program = testkit::programPath("statistics");
  std::vector<std::string> args = {program, "--http-traffic", "--ftp-traffic", "--config=" + world.configPath(), "--save-results-to=" + results};
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  Instance instance;
  instance.results = results;
  instance.output = output;
  instance.started = Clock::now();
  if (posix_spawn(&instance.pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) instance.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return instance;
}

void reap(Instance& instance) {
  if (instance.pid < 0) return;
  while (waitpid(instance.pid, &instance.status, 0) < 0 && errno == EINTR) {
  }
  instance.seconds = std::chrono::duration<double>(Clock::now() - instance.started).count();
}

struct Tally {
  int kills = 0;
  int faults = 0;
  int killedIncomplete = 0;
  int killedComplete = 0;
  int64_t lines = 0;
  soak::Figures counted;
  soak::DayCounts hits;
  std::vector<std::string> problems;
  std::vector<double> durations;
};

// Runs one round: every instance at once, one of them perhaps killed.
// Returns the instances after they ended.
std::vector<Instance> runRound(const soak::World& world, const Options& o, int round, bool kill, bool fault, std::mt19937& rng, Tally& tally) {
  std::vector<Instance> instances;
  std::string pattern;
  if (fault) {
    const std::vector<std::string> targets = world.faultTargets();
    pattern = targets[rng() % targets.size()];
    ++tally.faults;
  }
  for (int i = 0; i < o.instances; ++i) {
    const std::string tag = "r" + std::to_string(round) + "-i" + std::to_string(i);
    instances.push_back(start(world, round * o.hoursPerRound, world.path("docs/" + tag + ".xml"), world.path("out/" + tag + ".log"), pattern));
    if (instances.back().pid < 0) tally.problems.push_back("round " + std::to_string(round) + ": the program could not be started");
  }
  if (kill) {
    // A random moment within a typical run (measured in earlier rounds).
    std::vector<double> d = tally.durations;
    std::sort(d.begin(), d.end());
    const double typical = d.empty() ? 0.2 : d[d.size() / 2];
    std::uniform_real_distribution<double> when(0.0, typical * 1.2);
    Instance& victim = instances[rng() % instances.size()];
    std::this_thread::sleep_for(std::chrono::duration<double>(when(rng)));
    ::kill(victim.pid, SIGKILL);
  }
  for (Instance& i : instances) reap(i);
  return instances;
}

// Adds the round's documents to the tally and checks what the round left.
void account(const soak::World& world, int round, const std::vector<Instance>& instances, Tally& tally) {
  const std::string where = "round " + std::to_string(round) + ": ";
  std::vector<uint32_t> killedPids;
  for (const Instance& i : instances) {
    const std::string doc = testkit::readFile(i.results);
    const bool done = soak::complete(doc);
    if (i.killed()) {
      ++tally.kills;
      killedPids.push_back(static_cast<uint32_t>(i.pid));
      (done ? tally.killedComplete : tally.killedIncomplete) += 1;
      // An incomplete document is discarded, as the panel does.
      if (!done) continue;
    } else if (!WIFEXITED(i.status) || WEXITSTATUS(i.status) != 0 || !done) {
      tally.problems.push_back(where + "instance " + std::to_string(i.pid) + " ended with status " + std::to_string(i.status) +
                               (done ? "" : ", its document incomplete") + " (output in " + i.output + ")");
      continue;
    } else {
      tally.durations.push_back(i.seconds);
    }
    soak::add(tally.counted, soak::parseTraffic(doc));
    soak::add(tally.hits, soak::parseSitePages(doc));
  }
  for (const auto& [domain, owner] : soak::heldLocks(world.domains()))
    if (std::find(killedPids.begin(), killedPids.end(), owner) == killedPids.end())
      tally.problems.push_back(where + "the lock of domain " + domain + " is held by " + std::to_string(owner) + ", no instance killed in this round");
  if (const std::string store = soak::checkStore(world.domains()); store != "ok") tally.problems.push_back(where + "registry store: " + store);
}

time_t fakeNow(const Options& o, int round) { return time(nullptr) + static_cast<time_t>(round) * o.hoursPerRound * 3600; }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parseOptions(argc, argv, o)) return 2;
  soak::World world(o.seed);
  std::filesystem::create_directories(world.path("docs"));
  std::filesystem::create_directories(world.path("out"));
  std::mt19937 rng(o.seed * 7919u + 1);
  Tally tally;

  // Lines of a round lie after everything earlier instances could have seen
  // and before what this round's instances will see.
  time_t previousEnd = fakeNow(o, 0) - 3600;
  for (int round = 0; round < o.rounds; ++round) {
    const time_t to = fakeNow(o, round) - 1;
    tally.lines += world.appendRound(round, previousEnd, to, o.webLines, o.ftpLines);
    // The first round measures how long a run takes; the last one is left
    // undisturbed, so that it counts what a run killed before it left.
    const bool kill = o.kills && round > 0 && round + 1 < o.rounds && round % o.killEvery == 1 % o.killEvery;
    // Never in two rounds in a row, nor in the last: a run that reads
    // everything follows every faulty one.
    const bool fault = o.faults && round % 2 == 1 && round + 1 < o.rounds;
    const std::vector<Instance> instances = runRound(world, o, round, kill, fault, rng, tally);
    account(world, round, instances, tally);
    previousEnd = fakeNow(o, round) + 1;
  }

  // Unchanged logs: nothing may be added, and every lock ends up free.
  const std::vector<Instance> quiet = runRound(world, o, o.rounds, false, false, rng, tally);
  account(world, o.rounds, quiet, tally);
  for (const Instance& i : quiet)
    if (!soak::parseTraffic(testkit::readFile(i.results)).empty() || !soak::parseSitePages(testkit::readFile(i.results)).empty())
      tally.problems.push_back("the round over unchanged logs counted something again: " + i.results);
  if (!soak::heldLocks(world.domains()).empty()) tally.problems.push_back("a lock is still held after the round over unchanged logs");

  std::vector<std::string> diffs = soak::differences(world.expected(), tally.counted);
  for (const std::string& d : soak::differences(world.expectedHits(), tally.hits, "page hits")) diffs.push_back(d);
  // Feeds are journalled with the markers: every counted line is fed once.
  for (const soak::SoakDomain& d : world.domains()) {
    if (d.webStatType.empty()) continue;
    const auto want = world.expectedFeedLines().count(d.id) ? world.expectedFeedLines().at(d.id) : std::pair<int64_t, int64_t>{};
    const auto have = soak::feedLines(world.logsDir(d));
    if (want == have) continue;
    const std::string text = "feeds of domain " + d.id + ": expected " + std::to_string(want.first) + " web and " + std::to_string(want.second) +
                             " FTP lines, found " + std::to_string(have.first) + " and " + std::to_string(have.second);
    diffs.push_back(text);
  }
  // A run killed while it wrote a file into a logs directory leaves the
  // file's temporary name behind; it is reported, not counted as a failure.
  std::vector<std::string> leftovers;
  for (const soak::SoakDomain& d : world.domains())
    for (const std::string& left : soak::leftovers(world.logsDir(d))) leftovers.push_back(left);

  std::cout << "soak: " << o.instances << " instances x " << o.rounds << " rounds, then a round over unchanged logs (seed " << o.seed << ")\n";
  std::cout << "kills: " << tally.kills << " (" << tally.killedIncomplete << " before the document was complete, " << tally.killedComplete
            << " after it)\n";
  if (o.faults) std::cout << "read faults: " << tally.faults << " rounds with one thing unreadable\n";
  std::cout << "lines: " << tally.lines << " written, " << world.expected().size() << " (domain, day, kind) sums\n";
  for (const std::string& left : leftovers) std::cout << "note: a killed run left " << left << "\n";
  for (const std::string& p : tally.problems) std::cout << "problem: " << p << "\n";
  for (const std::string& d : diffs) std::cout << "difference: " << d << "\n";
  if (!diffs.empty() && tally.killedComplete > 0)
    std::cout << "note: " << tally.killedComplete
              << " instance(s) were killed after their document was complete; a kill between the document's end and the "
                 "recording of its markers counts its lines again\n";
  const bool once = diffs.empty() && tally.problems.empty();
  std::cout << "counted once: " << (once ? "yes" : "no") << "\n";
  return once ? 0 : 1;
}
