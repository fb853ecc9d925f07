// The records of one workload: what the script's options set (input) and what the run reports (output), with the
// list of failed completions. The script side fills the input before the runner is handed to the worker and reads
// the output after the runner is final; in between only the worker touches them.
#ifndef KYT_RUNNER_WORKLOAD_GENERATION_RECORDS_H
#define KYT_RUNNER_WORKLOAD_GENERATION_RECORDS_H

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "runner/access_pattern_records.h"
#include "runner/error_map.h"
#include "runner/performance_tracker.h"

// Completion statuses (SCT, SC) a workload treats as not fatal.
using WorkloadIgnoreErrors = std::vector<StatusKey>;

struct WorkloadGenerationInput {
  uint32_t qid = 0;  // 0: the runner makes (and deletes) its own I/O queue pair
  uint32_t queueDepth = 0;  // 0: the controller's maximum
  bool powerControlEnabled = false;
  uint32_t onHoldTimeMs = 0;
  uint32_t offHoldTimeMs = 0;
  uint32_t detectionTimeoutMs = 0;
  uint32_t removalTimeoutMs = 0;
  bool histogramEnabled = false;
  bool histogramRawData = false;
  uint64_t histogramStartUs = 0;
  uint64_t histogramEndUs = 0;
  uint32_t histogramPrecisions = 0;
  bool intervalStatsEnabled = false;
  uint64_t interval = 0;  // seconds per sample
  uint64_t delay = 0;     // seconds of warm-up
  const uint64_t* dataPattern = nullptr;  // the script's buffer, kept alive by the event
  uint64_t dataPatternSize = 0;           // bytes
  AccessPatternInput accessPattern;
  WorkloadIgnoreErrors ignoreError;
};

// One failed I/O.
struct command_info {
  uint32_t cmd;  // 1 read, 2 write, 3 trim
  uint32_t nsid;
  uint64_t startLba;
  uint32_t numBlocks;
};

struct ErrorTracker {
  // The first kMaxEntries failed I/Os of the run are kept; later ones are only counted (a run whose every I/O fails
  // and is ignored stays flat in memory).
  static constexpr uint64_t kMaxEntries = 1000;

  void Record(StatusKey status, const command_info& info) {
    if (kept < kMaxEntries) {
      errors[status].push_back(info);
      ++kept;
    } else {
      ++dropped;
    }
  }

  // Failed I/Os by status, each list in the order of the failures.
  std::unordered_map<StatusKey, std::list<command_info>, hash_pair> errors;
  uint64_t kept = 0;     // entries in `errors`
  uint64_t dropped = 0;  // failed I/Os past the limit, not kept
};

// The block a validated read found not carrying what its validator expected.
struct DataMismatchRecord {
  uint64_t lba = 0;
  uint32_t expected = 0;  // validator tag (254: deallocated)
  uint32_t found = 0;     // tag the block carried
};

struct WorkloadGenerationOutput {
  std::unique_ptr<AccessPatternOutput> accessPatternOutput;
  std::unique_ptr<PerformanceTracker> readPerf;
  std::unique_ptr<PerformanceTracker> writePerf;
  std::unique_ptr<PerformanceTracker> trimPerf;
  std::unique_ptr<ErrorTracker> errorTracker;
  std::unique_ptr<DataMismatchRecord> mismatch;  // set when the run ended with "data mismatch"
};

#endif  // KYT_RUNNER_WORKLOAD_GENERATION_RECORDS_H
