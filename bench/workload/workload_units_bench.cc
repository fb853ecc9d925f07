// Per-I/O costs on the worker's hot path: one Next of each access-pattern generator and one Track of the performance
// tracker (with and without histogram and interval samples).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/histogram.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_manager.h"
#include "runner/access_pattern.h"
#include "runner/performance_tracker.h"
#include "spdk/env.h"

namespace {

// One attached simulated drive for the whole process: namespace 1 has 16 Mi blocks of 512 bytes.
class Drive {
 public:
  static Drive& Get() {
    static Drive drive;
    return drive;
  }
  const std::shared_ptr<NvmeController>& controller() const { return controller_; }

 private:
  Drive() {
    if (kyt_env_test_init("kyt_workload_units_bench") != 0) return;
    kyt_env_test_set_clock_scale(50);
    kyt::sim::SimConfig config;
    config.namespaces[0].blocks = 1u << 24;
    config.store_first_8_bytes = true;
    char address[32];
    std::snprintf(address, sizeof(address), "%04x:40:00.0", 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u);
    sim_ = std::make_unique<kyt::sim::SimController>(address, config);
    manager_ = std::make_shared<NvmeControllerManager>();
    controller_ = manager_->GetController(address);
    controller_->ScanAttachement(0);
    if (controller_->GetState() == kyt::nvme::ControllerState::kDetached) controller_.reset();
  }

  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::shared_ptr<NvmeController> controller_;
};

void RunGenerator(benchmark::State& state, const AccessPatternInput& input) {
  const auto& controller = Drive::Get().controller();
  if (!controller) {
    state.SkipWithError("simulated drive did not attach");
    return;
  }
  AccessPatternOutput output;
  std::unique_ptr<AccessPatternGenerator> generator = AccessPatternGeneratorFactory::Create(controller, input, output);
  uint32_t nsid = 0, blocks = 0, bytes = 0;
  uint64_t lba = 0;
  IoDirection direction = kIoDirectionRead;
  for (auto _ : state) {
    benchmark::DoNotOptimize(generator->Next(nsid, lba, blocks, direction, bytes, spdk_get_ticks()));
    benchmark::DoNotOptimize(lba);
  }
  state.SetItemsProcessed(state.iterations());
}

// Basic pattern over the whole namespace: sequential or random, 4 KiB, a 70/30 read/write mix.
void BM_BasicNext(benchmark::State& state) {
  AccessPatternInput input;
  input.type = kAccessPatternBasic;
  input.basic.nsid = 1;
  input.basic.workload = state.range(0) != 0 ? kAccessRandom : kAccessSequential;
  input.basic.rangeType = kRangePercent;
  input.basic.rangePercent = 100;
  input.basic.readPercent = 70;
  input.basic.xferSize = 4096;
  input.basic.loops = 0xFFFFFFFFu;
  RunGenerator(state, input);
}
BENCHMARK(BM_BasicNext)->Arg(0)->Arg(1)->ArgName("random");

// Multi-range pattern: `ranges` random ranges of equal weight, each with four transfer sizes.
void BM_MultiRangeNext(benchmark::State& state) {
  AccessPatternInput input;
  input.type = kAccessPatternMultiRange;
  input.multiRange.loops = 0xFFFFFFFFu;
  const int ranges = static_cast<int>(state.range(0));
  for (int i = 0; i < ranges; ++i) {
    MultiRangeAccessPatternRange range;
    range.nsid = 1;
    range.workload = kAccessRandom;
    range.readPercent = 50;
    range.trimPercent = 10;
    range.startLba = static_cast<uint64_t>(i) * 65536;
    range.size = 65536;
    range.probability = 1;
    range.xfers = {{4096, 4, 0}, {8192, 2, 0}, {16384, 1, 0}, {131072, 1, 0}};
    input.multiRange.ranges.push_back(range);
  }
  RunGenerator(state, input);
}
BENCHMARK(BM_MultiRangeNext)->Arg(1)->Arg(16)->ArgName("ranges");

// One completion accounted; arguments: histogram on, interval samples on.
void BM_TrackerTrack(benchmark::State& state) {
  kyt_env_test_init("kyt_workload_units_bench");
  const bool histogram = state.range(0) != 0;
  const bool intervals = state.range(1) != 0;
  const uint64_t hz = spdk_get_ticks_hz();
  PerformanceTracker tracker(intervals, 0, 1, hz,
                             histogram ? std::make_unique<Histogram>(1, 100000000, 3) : nullptr);
  const uint64_t start = spdk_get_ticks();
  uint64_t latency = hz / 20000;  // about 50 us, varied below
  for (auto _ : state) {
    tracker.Track(latency, 4096, start, spdk_get_ticks());
    latency = (latency * 13 + 7) % (hz / 1000) + 1;
  }
  benchmark::DoNotOptimize(tracker.GetTotalIos());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackerTrack)->Args({0, 0})->Args({1, 0})->Args({1, 1})->ArgNames({"histogram", "intervals"});

}  // namespace

BENCHMARK_MAIN();
