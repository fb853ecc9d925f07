// The worker's cost per I/O, layer by layer: 4 KiB random reads on a device that completes instantly.
//
//   IoPath/<layer>/qd:<n>   layers, each adding to the one before:
//     driver      the driver alone: queue pair, PRP, submission, completion reaping (spdk_nvme_ctrlr_cmd_io_raw)
//     device      + the device layer: IoManager submission and completion routines, NvmeQueueManager reaping
//     validation  + data validation (namespace 1's validator enabled; every block read is compared)
//     generator   + the access-pattern generator (BasicAccessPatternGenerator, random 4 KiB reads) choosing the I/Os
//                 (these device layers' loop does per pass what the workload does: it first chooses the next I/O of
//                 every completed context and prefetches its validator line, IoManager::Prefetch, then sends them)
//     tracker     + the workload itself: a WorkloadGenerationRunner (generator, completion policy, performance
//                 trackers) stepped by the worker's pass (NvmeDriver::RunPass), as the worker steps it
//     histogram   + the latency histogram of the runner's trackers (the workload's default 1 us .. 100 s, 4 digits)
//   IoPath/validation/blocks:<n>/<map>/qd:128   the validation layer on a namespace of n blocks:
//                 written      2^20 and 2^28 with every block written before (the map fully held: the cost of its
//                              cache misses); the other rows' rates are judged against the 2^20 one
//                 fresh        2^32 and 2^34 never written: reads of blocks the validator knows nothing of (a fresh
//                              drive's first read pass), which take no map
//                 first-write  2^32 never written, writes only: nearly each takes a page of map no I/O touched
//                              before (the cost of taking it; a bounded number of I/Os)
//                 fresh-mixed  2^34 never written, half reads and half writes (a fresh drive's first mixed pass;
//                              bounded): the writes take pages, the reads go to other blocks and take none
//                 map_bytes = bytes of map the validator holds at the end. A rate is 1 / ns_per_io.
//
// Counters: ns_per_io = CPU time of this thread per completed I/O, without the stand-in device's own work (below);
// device_ns_per_io = that device work (the thread's CPU time split by the time stamp counter's share of the device's
// Post calls), left out of ns_per_io;
// allocs_per_io = heap allocations per I/O during the measured loop (every malloc of this thread is counted).
//
// The device: a simulated drive (namespace 1: 2^20 blocks of 512 bytes) attaches and gets an I/O queue pair of its
// own; then its service stops and this thread plays the device: per pass it takes every newly submitted entry,
// writes what a drive that holds a validated write of every block would return (the first 8 bytes of each block:
// LBA << 8 | tag 0) and posts the completion. Reading a submission entry the driver has just written with
// non-temporal stores costs that device a trip to memory (hundreds of ns at QD 1, where nothing overlaps it): that
// is the device's cost, not the product's, and is reported as device_ns_per_io. The product's log lines go to a null
// stream; the results go to the real standard output.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <x86intrin.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_driver.h"
#include "nvme/nvme_io_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/task_scheduler.h"
#include "nvme_internal.h"
#include "runner/access_pattern_basic.h"
#include "runner/workload_generation_runner.h"

// ---- heap allocations of the measuring thread ----

namespace {
thread_local bool t_counting = false;
thread_local uint64_t t_allocs = 0;
inline void CountAlloc() {
  if (t_counting) ++t_allocs;
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t n) {
  CountAlloc();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  CountAlloc();
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  CountAlloc();
  return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
  CountAlloc();
  return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
  void* p = memalign(a, n);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace {

constexpr uint32_t kNsid = 1;
constexpr uint32_t kBlockSize = 512;
constexpr uint64_t kBlocks = uint64_t(1) << 20;
constexpr uint32_t kIoBytes = 4096;
constexpr uint32_t kIoBlocks = kIoBytes / kBlockSize;

uint64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The attached simulated drive with its queue pair, and this thread as the device behind it.
struct Rig {
  std::string address;
  std::unique_ptr<kyt::sim::SimController> sim;
  std::shared_ptr<NvmeControllerManager> manager;
  std::shared_ptr<NvmeController> controller;
  NvmeControllerCtx* ctx = nullptr;
  spdk_nvme_qpair* qpair = nullptr;
  uint16_t qid = 0;
  uint16_t sq_seen = 0;  // next submission slot the device has not taken yet
  uint16_t cq_tail = 0;  // the device's completion queue tail and phase
  uint8_t phase = 1;
  uint64_t posted = 0;
  uint64_t device_tsc = 0;  // time stamp counter ticks spent in Post

  // Completes every entry submitted since the last call; reads get the first word of each block filled.
  void Post() {
    const uint64_t start = __rdtsc();
    PostEntries();
    device_tsc += __rdtsc() - start;
  }

  void PostEntries() {
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(qpair);
    const uint16_t tail = pq->sq_tail;
    while (sq_seen != tail) {
      const spdk_nvme_cmd& cmd = pq->cmd[sq_seen];
      if (cmd.opc == SPDK_NVME_OPC_READ) {
        const uint64_t lba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
        auto* data = reinterpret_cast<uint8_t*>(uintptr_t(cmd.dptr.prp.prp1));
        for (uint32_t i = 0; i <= (cmd.cdw12 & 0xFFFF); ++i) {
          const uint64_t word = kyt::nvme::DataValidator::StampWord(lba + i, 0);
          std::memcpy(data + size_t(i) * kBlockSize, &word, sizeof(word));
        }
      }
      spdk_nvme_cpl* slot = &pq->cpl[cq_tail];
      spdk_nvme_cpl cpl{};
      cpl.cid = cmd.cid;
      cpl.sqid = qid;
      sq_seen = uint16_t(sq_seen + 1 == pq->num_entries ? 0 : sq_seen + 1);
      cpl.sqhd = sq_seen;
      cpl.status.p = phase;
      const uint16_t status = cpl.status_raw;
      cpl.status_raw = slot->status_raw;
      std::memcpy(slot, &cpl, sizeof(cpl));
      __atomic_store_n(&slot->status_raw, status, __ATOMIC_RELEASE);
      if (++cq_tail == pq->num_entries) {
        cq_tail = 0;
        phase ^= 1;
      }
      ++posted;
    }
  }
};

Rig* TheRig() {
  static Rig* rig = []() -> Rig* {
    // The environment pins this thread to its main core, which test processes of this machine share: keep the
    // cores this process was given (taskset) instead.
    cpu_set_t cores;
    pthread_getaffinity_np(pthread_self(), sizeof(cores), &cores);
    if (kyt_env_test_init("kyt_io_path_bench") != 0) return nullptr;
    pthread_setaffinity_np(pthread_self(), sizeof(cores), &cores);
    kyt_env_test_set_clock_scale(50);  // the attach waits are in the environment's clock
    auto* r = new Rig();  // kept until the process ends
    kyt::sim::SimConfig config;
    config.zero_latency = true;
    config.store_first_8_bytes = true;
    config.command_log_capacity = 0;
    config.namespaces[0].blocks = kBlocks;
    char address[32];
    std::snprintf(address, sizeof(address), "%04x:3e:00.0", 0x1000u + unsigned(getpid()) % 0xE000u);
    r->address = address;
    r->sim = std::make_unique<kyt::sim::SimController>(address, config);
    r->manager = std::make_shared<NvmeControllerManager>();
    r->controller = r->manager->GetController(address);
    r->controller->ScanAttachement(0);
    if (r->controller->GetState() == kyt::nvme::ControllerState::kDetached) return nullptr;
    r->ctx = r->controller->GetControllerCtx().get();
    auto creation = r->ctx->MakeQueuePairCreationController();
    while (!creation->IsCompleted()) creation->Run();
    if (creation->HasError()) return nullptr;
    r->qid = uint16_t(creation->GetQid());
    r->qpair = r->ctx->GetQueueManager().GetQpair(r->qid);
    kyt_env_test_set_clock_scale(1);
    r->sim->StopService();
    // Nothing is in flight: the device's completion tail is where the host will look next.
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(r->qpair);
    r->sq_seen = pq->sq_tail;
    r->cq_tail = pq->cq_head;
    r->phase = pq->flags.phase;
    return r;
  }();
  return rig;
}

enum Layer { kDriver, kDevice, kValidation, kGenerator, kTracker, kHistogram };
const char* const kLayerNames[] = {"driver", "device", "validation", "generator", "tracker", "histogram"};

// Runs passes until the loop ends, then sets the counters. `pass` does one pass and the device's posting.
template <class Pass>
void Measure(benchmark::State& state, Rig& rig, Pass&& pass) {
  const uint64_t posted = rig.posted;
  const uint64_t device = rig.device_tsc;
  const uint64_t cpu = ThreadCpuNs();
  const uint64_t loop_start = __rdtsc();
  t_allocs = 0;
  t_counting = true;
  for (auto _ : state) pass();
  t_counting = false;
  // The thread's CPU time is split by the device's share of the loop's time stamp counter ticks (a preemption then
  // weighs on both parts alike).
  const double share = double(rig.device_tsc - device) / double(std::max<uint64_t>(1, __rdtsc() - loop_start));
  const double cpu_ns = double(ThreadCpuNs() - cpu);
  const double ios = double(rig.posted - posted);
  state.counters["ns_per_io"] = ios > 0 ? cpu_ns * (1 - share) / ios : 0;
  state.counters["device_ns_per_io"] = ios > 0 ? cpu_ns * share / ios : 0;
  state.counters["allocs_per_io"] = ios > 0 ? double(t_allocs) / ios : 0;
}

// Random aligned 4 KiB positions for the layers below the generator.
struct Positions {
  uint64_t blocks = kBlocks;
  uint64_t x = 88172645463325252ull;
  uint64_t Next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x % (blocks / kIoBlocks) * kIoBlocks;
  }
};

struct DriverIo {
  Rig* rig;
  uint8_t* buffer;
  static std::vector<DriverIo*>* done;
  static void Complete(void* arg, const spdk_nvme_cpl*) { done->push_back(static_cast<DriverIo*>(arg)); }
};
std::vector<DriverIo*>* DriverIo::done = nullptr;

void RunDriver(benchmark::State& state, Rig& rig, uint32_t depth) {
  std::vector<DriverIo> ios(depth);
  std::vector<DriverIo*> done;
  done.reserve(depth);
  DriverIo::done = &done;
  std::vector<std::unique_ptr<DmaContext>> buffers;
  Positions positions;
  auto submit = [&](DriverIo& io) {
    spdk_nvme_cmd cmd{};
    cmd.opc = SPDK_NVME_OPC_READ;
    cmd.nsid = kNsid;
    const uint64_t lba = positions.Next();
    cmd.cdw10 = uint32_t(lba);
    cmd.cdw11 = uint32_t(lba >> 32);
    cmd.cdw12 = kIoBlocks - 1;
    if (spdk_nvme_ctrlr_cmd_io_raw(rig.ctx->GetQueueManager().GetController(), rig.qpair, &cmd, io.buffer, kIoBytes,
                                   &DriverIo::Complete, &io) != 0) {
      state.SkipWithError("the driver refused a read");
    }
  };
  for (DriverIo& io : ios) {
    buffers.push_back(std::make_unique<DmaContext>(kIoBytes));
    io.rig = &rig;
    io.buffer = static_cast<uint8_t*>(buffers.back()->GetBuffer());
    submit(io);
  }
  Measure(state, rig, [&] {
    rig.Post();
    spdk_nvme_qpair_process_completions(rig.qpair, 0);
    for (DriverIo* io : done) submit(*io);
    done.clear();
  });
  rig.Post();
  spdk_nvme_qpair_process_completions(rig.qpair, 0);
}

// The benchmark's pattern: 4 KiB random reads over the whole namespace.
BasicAccessPatternInput RandomReads(uint32_t loops) {
  BasicAccessPatternInput input;
  input.nsid = kNsid;
  input.workload = kAccessRandom;
  input.rangeType = kRangeStartSize;
  input.startLba = 0;
  input.size = kBlocks;
  input.readPercent = 100;
  input.xferSize = kIoBytes;
  input.loops = loops;
  return input;
}

// The device layers: NvmeIoCtx through IoManager, with or without validation and the generator. Like the workload,
// the loop reads the clock once per pass and the contexts stamp that reading.
std::vector<NvmeIoCtx*>* g_device_done = nullptr;
void DeviceComplete(NvmeIoCtx* ctx, const spdk_nvme_cpl*) { g_device_done->push_back(ctx); }

// `blocks`: the validator's namespace size (the device layers' I/Os spread over it); `written`: every block holds a
// validated write (tag 0) before the measured loop; `read_percent`: the share of 4 KiB slots that are read, the
// others written (a slot is always read or always written, so the device's answer, tag 0, is never judged against
// a write of the run).
void RunDevice(benchmark::State& state, Rig& rig, Layer layer, uint32_t depth, uint64_t blocks = kBlocks,
               bool written = true, uint32_t read_percent = 100) {
  auto validators = rig.manager->GetDataValidatorManager();
  if (layer >= kValidation) {
    if (validators->Enable(kNsid, blocks, kBlockSize) != kyt::nvme::kDataValidatorOk) {
      state.SkipWithError("the validator was not enabled");
      return;
    }
    if (written && validators->GetDataValidator(kNsid)->UpdateMap(0, blocks) != kyt::nvme::kDataValidatorOk) {
      state.SkipWithError("the validator's map could not be filled");
      return;
    }
  }
  std::unique_ptr<BasicAccessPatternGenerator> generator;
  BasicAccessPatternOutput generator_output;
  if (layer >= kGenerator) {
    generator = std::make_unique<BasicAccessPatternGenerator>(rig.ctx->GetNamespaceManager().GetNamespace(kNsid),
                                                              RandomReads(UINT32_MAX), generator_output);
  }
  std::vector<kyt::nvme::CommandContextPtr<NvmeIoCtx>> ios(depth);
  std::vector<NvmeIoCtx*> done, busy;
  done.reserve(depth);
  busy.reserve(depth);
  g_device_done = &done;
  Positions positions;
  positions.blocks = blocks;
  uint64_t pass_ticks = spdk_get_ticks();
  kyt::nvme::IoManager& io_manager = rig.ctx->GetIoManager();
  // As in the workload, the completed contexts' next I/Os are chosen first (and what their submission reads is
  // prefetched), then sent. A refused I/O (its range is busy) keeps its position and is tried again in the next
  // pass, as the workload does.
  auto choose = [&](NvmeIoCtx* ctx) {
    if (generator) {
      IoDirection direction;
      generator->Next(ctx->nsid, ctx->start_lba, ctx->num_blocks, direction, ctx->xfer_size, pass_ticks);
    } else {
      ctx->start_lba = positions.Next();
    }
    io_manager.Prefetch(ctx);
  };
  auto submit = [&](NvmeIoCtx* ctx) {
    const bool write = ctx->start_lba / kIoBlocks % 100 >= read_percent;
    const kyt::nvme::IoOpsStatus status = write ? io_manager.SendWriteAsync(ctx) : io_manager.SendReadAsync(ctx);
    if (status == kyt::nvme::kIoOpsRangeBusy) {
      busy.push_back(ctx);
    } else if (status != kyt::nvme::kIoOpsSubmitted) {
      state.SkipWithError(ctx->error.c_str());
    }
  };
  for (auto& ctx : ios) {
    ctx = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
    ctx->nsid = kNsid;
    ctx->qid = rig.qid;
    ctx->num_blocks = kIoBlocks;
    ctx->xfer_size = kIoBytes;
    ctx->callback = DeviceComplete;
    ctx->pass_ticks = &pass_ticks;
    ctx->data = std::make_unique<DmaContext>(kIoBytes);
    choose(ctx.get());
    submit(ctx.get());
  }
  std::vector<NvmeIoCtx*> retry;
  retry.reserve(depth);
  Measure(state, rig, [&] {
    rig.Post();
    pass_ticks = spdk_get_ticks();
    rig.ctx->GetQueueManager().ProcessIoCompletions(rig.qid);
    for (NvmeIoCtx* ctx : done) {
      if (ctx->data_mismatch) state.SkipWithError("data mismatch");
      choose(ctx);
    }
    retry.swap(busy);
    for (NvmeIoCtx* ctx : retry) submit(ctx);
    retry.clear();
    for (NvmeIoCtx* ctx : done) submit(ctx);
    done.clear();
  });
  while (io_manager.GetOutstanding() != 0) {
    rig.Post();
    rig.ctx->GetQueueManager().ProcessIoCompletions(rig.qid);
  }
  done.clear();
  if (layer >= kValidation) {
    state.counters["map_bytes"] = double(validators->GetDataValidator(kNsid)->GetHeldBytes());
  }
  validators->Disable(kNsid);
}

// The workload runner on the bench's queue pair, stepped by the worker's pass. Its pattern is long enough for the
// measured passes; after them the rest of the pattern runs out unmeasured and the runner finishes.
void RunWorkload(benchmark::State& state, Rig& rig, Layer layer, uint32_t depth) {
  auto validators = rig.manager->GetDataValidatorManager();
  // Every block holds a validated write (tag 0), as the device's reads say.
  validators->Enable(kNsid, kBlocks, kBlockSize);
  validators->GetDataValidator(kNsid)->UpdateMap(0, kBlocks);
  WorkloadGenerationRunner runner(rig.address, nullptr);
  WorkloadGenerationInput& in = *runner.input;
  in.qid = rig.qid;
  in.queueDepth = depth;
  in.histogramEnabled = layer >= kHistogram;
  in.histogramStartUs = 1;
  in.histogramEndUs = 100000000;
  in.histogramPrecisions = 4;
  in.accessPattern.type = kAccessPatternBasic;
  in.accessPattern.basic = RandomReads(uint32_t((uint64_t(state.max_iterations) * depth * kIoBlocks) / kBlocks + 2));
  TaskScheduler scheduler(rig.manager);
  NvmeDriver::TaskRing ring(NvmeDriver::kRingSize);
  scheduler.Add(&runner);
  while (runner.GetState() != WorkloadGenerationRunner::kProcessIo && !runner.IsComplete()) {
    rig.Post();
    NvmeDriver::RunPass(scheduler, ring);
  }
  if (runner.IsComplete()) {
    state.SkipWithError(runner.GetErrorMessage().c_str());
    return;
  }
  Measure(state, rig, [&] {
    rig.Post();
    NvmeDriver::RunPass(scheduler, ring);
  });
  while (!runner.IsComplete()) {
    rig.Post();
    NvmeDriver::RunPass(scheduler, ring);
  }
  if (!runner.IsDone()) state.SkipWithError(runner.GetErrorMessage().c_str());
  validators->Disable(kNsid);
}

void IoPath(benchmark::State& state, Layer layer) {
  Rig* rig = TheRig();
  if (rig == nullptr) {
    state.SkipWithError("the simulated drive did not attach");
    return;
  }
  const uint32_t depth = uint32_t(state.range(0));
  if (layer == kDriver) {
    RunDriver(state, *rig, depth);
  } else if (layer <= kGenerator) {
    RunDevice(state, *rig, layer, depth);
  } else {
    RunWorkload(state, *rig, layer, depth);
  }
}

// One row of the validation layer at QD 128: a namespace of 2^shift blocks, its map, its share of reads, and a
// bound on its passes for rows whose I/Os take map (0: none).
struct BlocksRow {
  int shift;
  const char* map;
  bool written;
  uint32_t read_percent;
  int64_t passes;
};
constexpr BlocksRow kBlocksRows[] = {
    {20, "written", true, 100, 0},
    {28, "written", true, 100, 0},
    {32, "fresh", false, 100, 0},
    // 512 passes of 128 writes hold at most 256 MiB; so do 1024 passes of 64 reads and 64 writes.
    {32, "first-write", false, 0, 512},
    {34, "fresh", false, 100, 0},
    {34, "fresh-mixed", false, 50, 1024},
};

void IoPathBlocks(benchmark::State& state, const BlocksRow& row) {
  Rig* rig = TheRig();
  if (rig == nullptr) {
    state.SkipWithError("the simulated drive did not attach");
    return;
  }
  RunDevice(state, *rig, kValidation, 128, uint64_t(1) << row.shift, row.written, row.read_percent);
}

void Register() {
  for (int layer = kDriver; layer <= kHistogram; ++layer) {
    const std::string name = std::string("IoPath/") + kLayerNames[layer];
    benchmark::RegisterBenchmark(name.c_str(), [layer](benchmark::State& s) { IoPath(s, Layer(layer)); })
        ->ArgName("qd")
        ->Arg(1)
        ->Arg(32)
        ->Arg(128);
  }
  for (const BlocksRow& row : kBlocksRows) {
    const std::string name =
        "IoPath/validation/blocks:" + std::to_string(uint64_t(1) << row.shift) + "/" + row.map + "/qd:128";
    auto* bench = benchmark::RegisterBenchmark(name.c_str(), [&row](benchmark::State& s) { IoPathBlocks(s, row); });
    if (row.passes != 0) bench->Iterations(row.passes);
  }
}

// The console output; remembers whether any run failed (the program then exits with 1).
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) failed_ |= run.error_occurred;
    ConsoleReporter::ReportRuns(runs);
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

int main(int argc, char** argv) {
  static NullBuffer null_buffer;
  std::ostream results(std::cout.rdbuf());
  std::cout.rdbuf(&null_buffer);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  Reporter reporter;
  reporter.SetOutputStream(&results);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.failed() ? 1 : 0;
}
