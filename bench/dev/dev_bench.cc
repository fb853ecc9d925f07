// Per-I/O costs of the device layer: histogram counting, validator range bookkeeping, and validated writes through
// IoManager against the zero-latency simulated drive (the simulator is not the bottleneck there).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "nvme/dma_context.h"
#include "nvme/histogram.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_io_ctx.h"

namespace {

void BM_HistogramInsert(benchmark::State& state) {
  Histogram histogram(1, 100000000, 4);
  double value = 1.0;
  for (auto _ : state) {
    histogram.InsertValue(value);
    value = value * 1.37 + 3.0;
    if (value > 1e7) value = 1.0;
  }
  benchmark::DoNotOptimize(histogram.GetTotal());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistogramInsert);

void BM_ValidatorRangeCycle(benchmark::State& state) {
  const uint32_t blocks = static_cast<uint32_t>(state.range(0));
  kyt::nvme::DataValidator validator;
  validator.Resize(1u << 22, 512);
  uint64_t lba = 0;
  for (auto _ : state) {
    if (!validator.IsPending(lba, blocks)) {
      validator.AddPending(lba, blocks);
      validator.UpdateMap(lba, blocks);
      validator.RemovePending(lba, blocks);
    }
    lba = (lba + 4099) & ((1u << 21) - 1);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValidatorRangeCycle)->Arg(8)->Arg(256);

// Enabling and disabling a validator of 2^n blocks (512 bytes each): what the worker spends answering the call.
void BM_ValidatorEnable(benchmark::State& state) {
  const uint64_t blocks = uint64_t(1) << state.range(0);
  kyt::nvme::DataValidator validator;
  for (auto _ : state) {
    if (validator.Resize(blocks, 512) != kyt::nvme::kDataValidatorOk) {
      state.SkipWithError("the validator was not enabled");
      return;
    }
    validator.Clear();
  }
}
BENCHMARK(BM_ValidatorEnable)->ArgName("log2_blocks")->Arg(20)->Arg(28)->Arg(32)->Arg(34)->Arg(35)->Unit(benchmark::kMicrosecond);

// Validated 4 KiB writes, `depth` in flight, on one queue pair of the simulated drive.
void BM_ValidatedWrites(benchmark::State& state) {
  const uint32_t depth = static_cast<uint32_t>(state.range(0));
  if (kyt_env_test_init("kyt_dev_bench") != 0) {
    state.SkipWithError("environment did not start");
    return;
  }
  kyt_env_test_set_clock_scale(50);
  kyt::sim::SimConfig config;
  config.zero_latency = state.range(1) != 0;
  config.store_first_8_bytes = true;
  config.command_log_capacity = 0;
  config.namespaces[0].blocks = 1u << 20;
  static int bus = 0x20;
  char address[32];
  std::snprintf(address, sizeof(address), "%04x:%02x:00.0", 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u,
                bus++);
  auto sim = std::make_unique<kyt::sim::SimController>(address, config);
  auto manager = std::make_shared<NvmeControllerManager>();
  auto controller = manager->GetController(address);
  controller->ScanAttachement(0);
  if (controller->GetState() == kyt::nvme::ControllerState::kDetached) {
    state.SkipWithError("simulated drive did not attach");
    return;
  }
  NvmeControllerCtx& ctx = *controller->GetControllerCtx();
  auto creation = ctx.MakeQueuePairCreationController();
  while (!creation->IsCompleted()) creation->Run();
  const uint16_t qid = static_cast<uint16_t>(creation->GetQid());
  manager->GetDataValidatorManager()->Enable(1, 1u << 20, 512);

  std::vector<kyt::nvme::CommandContextPtr<NvmeIoCtx>> ios(depth);
  for (uint32_t i = 0; i < depth; ++i) {
    ios[i] = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
    ios[i]->nsid = 1;
    ios[i]->qid = qid;
    ios[i]->num_blocks = 8;
    ios[i]->data = std::make_unique<DmaContext>(4096);
  }
  uint64_t next_lba = 0;
  auto submit = [&](NvmeIoCtx& io) {
    io.completed = false;
    io.start_lba = next_lba;
    next_lba = (next_lba + 8) & ((1u << 20) - 1);
    return ctx.GetIoManager().SendWriteAsync(&io);
  };
  for (auto& io : ios) submit(*io);
  uint64_t done = 0;
  for (auto _ : state) {
    ctx.GetQueueManager().ProcessIoCompletions(qid);
    for (auto& io : ios) {
      if (io->completed) {
        ++done;
        submit(*io);
      }
    }
  }
  while (ctx.GetIoManager().GetOutstanding() != 0) ctx.GetQueueManager().ProcessIoCompletions(qid);
  state.SetItemsProcessed(static_cast<int64_t>(done));
  manager->Teardown();
}
// Arguments: I/Os in flight, simulator zero-latency mode.
BENCHMARK(BM_ValidatedWrites)->Args({1, 0})->Args({32, 0})->Args({32, 1})->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
