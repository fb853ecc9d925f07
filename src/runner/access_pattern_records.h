// The records of an access pattern: what the workload options give a generator (input) and what the generators report
// back as the settings in force (output). Plain data; filled by the options parser and the generator factory.
#ifndef KYT_RUNNER_ACCESS_PATTERN_RECORDS_H
#define KYT_RUNNER_ACCESS_PATTERN_RECORDS_H

#include <cstdint>
#include <memory>
#include <vector>

class NamespaceCtx;

// The kind of one I/O; the numbers are the workload's I/O types.
enum IoDirection : uint32_t {
  kIoDirectionRead = 1,
  kIoDirectionWrite = 2,
  kIoDirectionTrim = 3,  // dataset management, deallocate
};

// Access modes of a basic pattern (`BasicAccessPatternInput::workload`); a multi-range range knows only sequential
// (1) and random (anything else).
constexpr uint32_t kAccessSequential = 1;
constexpr uint32_t kAccessRandom = 2;
constexpr uint32_t kAccessLbaList = 3;

// How a basic pattern's range is given (`BasicAccessPatternInput::rangeType`).
constexpr uint32_t kRangeBytes = 1;      // rangeBytes at a random aligned start
constexpr uint32_t kRangePercent = 2;    // rangePercent of the namespace at a random aligned start
constexpr uint32_t kRangeStartSize = 3;  // startLba and size in blocks
constexpr uint32_t kRangeLbaList = 4;    // lbaList

// Pattern types (`AccessPatternInput::type`).
constexpr uint32_t kAccessPatternBasic = 1;
constexpr uint32_t kAccessPatternMultiRange = 2;

struct BasicAccessPatternInput {
  uint32_t nsid = 0;  // 0: the controller's first active namespace
  uint32_t workload = kAccessSequential;
  uint32_t rangeType = kRangeStartSize;
  uint64_t rangeBytes = 0;
  uint32_t rangePercent = 0;
  uint64_t startLba = 0;
  uint64_t size = 0;  // blocks
  std::vector<uint64_t> lbaList;
  uint32_t readPercent = 0;
  uint32_t trimPercent = 0;
  uint32_t xferSize = 0;  // bytes; 0: the namespace's maximum transfer size
  bool unaligned = false;
  uint32_t duration = 0;  // seconds; 0: no time limit
  uint32_t loops = 0;
};

struct MultiRangeAccessPatternXfer {
  uint32_t size = 0;  // bytes
  uint32_t probability = 0;
  uint32_t cumulativeProbability = 0;  // computed by the factory
};

struct MultiRangeAccessPatternRange {
  uint32_t nsid = 0;  // 0: the controller's first active namespace
  uint32_t workload = kAccessSequential;  // 1 sequential, anything else random
  uint32_t readPercent = 0;
  uint32_t trimPercent = 0;
  uint32_t alignment = 0;  // blocks; 0: the range's largest transfer in blocks
  uint64_t startLba = 0;
  uint64_t size = 0;  // blocks
  uint32_t probability = 0;
  // Computed by the factory from here on (except `xfers`, which is the caller's).
  uint32_t cumulativeProbability = 0;
  std::vector<MultiRangeAccessPatternXfer> xfers;
  uint32_t xferTotalProbability = 0;
  uint32_t maxXferSize = 0;  // bytes
  std::shared_ptr<const NamespaceCtx> ns;
  uint64_t currentLba = 0;
  uint32_t sectorBufferSize = 0;
  uint64_t endLba = 0;  // exclusive
};

struct MultiRangeAccessPatternInput {
  std::vector<MultiRangeAccessPatternRange> ranges;
  uint32_t duration = 0;  // seconds; 0: no time limit
  uint32_t loops = 0;     // passes over the total size of all ranges
  uint32_t totalProbability = 0;  // computed by the factory (output copy only)
  uint32_t maxXferSize = 0;       // computed by the factory (output copy only)
};

struct AccessPatternInput {
  BasicAccessPatternInput basic;
  MultiRangeAccessPatternInput multiRange;
  uint32_t type = kAccessPatternBasic;
};

struct BasicAccessPatternOutput {
  uint32_t loops = 0;
  uint32_t readPercent = 0;
  uint32_t trimPercent = 0;
  uint32_t xferSize = 0;  // bytes, after the namespace maximum was applied
  uint64_t startLba = 0;
  uint64_t size = 0;  // blocks of the range in force
  uint32_t workload = 0;
};

struct AccessPatternOutput {
  BasicAccessPatternOutput basic;
  // The factory's completed copy of the input; the multi-range generator works on it (cursors, namespaces).
  MultiRangeAccessPatternInput multiRange;
  uint32_t queueDepth = 0;  // written by the workload runner
  double duration = 0.0;    // seconds of run time, written by the workload runner
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_RECORDS_H
