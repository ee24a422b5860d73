// The application: the domain model and the collected tables for one run,
// and the run driver that performs the requested kinds of work in their
// fixed order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/commit_actions.h"
#include "app/params.h"
#include "app/results_data.h"
#include "app/results_writer.h"
#include "app/vconsoleapp.h"
#include "config/domain.h"
#include "logrotate/log_storage.h"

class AnalyserRegistry;
class RotationPlan;

class statistics : public vconsoleapp {
 public:
  statistics();
  ~statistics() override;

  // The run driver. Returns 0 when it returns; failures of preparation and
  // of closing the results document leave it as exceptions (exit code 1).
  int start(int argc, const wchar_t* const* argv) override;

  DomainModel model;
  SitesHits sitesHits;
  std::shared_ptr<halvex::logging::LogStorage> ftpLogStorage;
  std::shared_ptr<halvex::logging::LogStorage> httpLogStorage;
  std::shared_ptr<halvex::logging::LogStorage> mailLogStorage;
  bool verbose = false;

 private:
  // State of one run of `start`.
  struct Run {
    uint32_t modeFlags = 0;
    std::wstring fromDate;
    VDateTime logExpirationCutoff;
    ResultsWriter results;
    CommitActions commit;
    // The analyser feeds of the run; discarded when the run ends without
    // committing them.
    std::shared_ptr<AnalyserRegistry> analysers;
    // The night's log rotation, worked out after traffic collection and
    // carried out once the figures are delivered.
    std::shared_ptr<RotationPlan> rotation;
  };

  void prepare(Run& run, const Params& options);
  void finish(Run& run);
  void trafficStep(Run& run);
  void antivirusStep(Run& run);
  void unlockDomains();
};
