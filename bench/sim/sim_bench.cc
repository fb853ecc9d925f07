// Commands per second that one simulated controller in zero-latency mode serves on its single service thread, with
// one host thread keeping an I/O queue pair full (the host side is deliberately lean so the controller is measured).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <memory>

#include "kyt_sim/sim_controller.h"
#include "kyt_sim/test_host.h"

namespace kyt::sim {
namespace {

struct Rig {
  std::unique_ptr<SimController> ctrl;
  std::unique_ptr<TestHost> host;
  TestHost::Queue* q = nullptr;
  TestHost::Buffer data;
  uint64_t prp2 = 0;
};

Rig& TheRig() {
  static Rig* rig = [] {
    auto* r = new Rig();
    SimConfig c;
    c.zero_latency = true;
    c.store_first_8_bytes = true;
    c.command_log_capacity = 0;
    c.ready_delay_us = 0;
    NamespaceConfig ns;
    ns.blocks = uint64_t(1) << 30;  // 4 TiB of 4 KiB blocks, sparse
    ns.lba_format = 2;
    // The main job's drive: 2^20 blocks of 512 bytes (a 4 KiB command moves 8 blocks), a flat chunk table.
    NamespaceConfig small;
    small.nsid = 2;
    small.blocks = uint64_t(1) << 20;
    c.namespaces = {ns, small};
    r->ctrl = std::make_unique<SimController>("0000:7e:00.0", c, TestHost::Translator());
    r->host = std::make_unique<TestHost>(*r->ctrl);
    if (!r->host->Enable() || !r->host->CreateIoQueuePair(1, 1024, &r->q).ok()) std::abort();
    r->q->auto_head_doorbell = false;
    // The environment pinned this thread to its main core, which every test process of this machine shares: host
    // from any other core, like the controller's thread.
    cpu_set_t set;
    CPU_ZERO(&set);
    for (long i = 2; i < sysconf(_SC_NPROCESSORS_ONLN) && i < CPU_SETSIZE; ++i) CPU_SET(i, &set);
    if (CPU_COUNT(&set) > 0) pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
    r->data = r->host->Alloc(1024 * 4096);
    return r;
  }();
  return *rig;
}

// Keeps `depth` commands in flight as a driver's worker does: each pass reaps the completions that have arrived,
// puts as many new commands in their place and rings each doorbell once; an iteration ends after `depth` completions.
void Run(benchmark::State& state, uint8_t opcode, bool with_data, uint32_t nsid = 1) {
  Rig& rig = TheRig();
  TestHost& host = *rig.host;
  TestHost::Queue& q = *rig.q;
  const uint32_t depth = static_cast<uint32_t>(state.range(0));
  Command cmd{};
  cmd.cdw0 = opcode;
  cmd.nsid = nsid;
  const uint32_t per_command = nsid == 1 ? 1 : 8;  // 4 KiB: one 4 KiB block, or eight of 512 bytes
  cmd.cdw12 = per_command - 1;
  uint64_t position = 0, issued = 0, reaped = 0;
  auto push = [&](uint32_t n) {
    for (uint32_t i = 0; i < n; ++i, ++issued) {
      if (with_data) {
        cmd.prp1 = rig.data.iova + (issued % depth) * 4096;  // one buffer per command in flight
        const uint64_t lba = position * per_command;
        cmd.cdw10 = static_cast<uint32_t>(lba);
        cmd.cdw11 = static_cast<uint32_t>(lba >> 32);
        // Namespace 1: a 4 GiB working set, written once, then reused; namespace 2: all of it.
        position = (position + 7919) & ((uint64_t(1) << 20) / per_command - 1);
      }
      host.Push(q, cmd);
    }
    host.Ring(q);
  };
  // Reaps what has arrived: the count.
  auto reap = [&] {
    uint32_t n = 0;
    Completion c;
    while (host.Peek(q)) {
      std::memcpy(&c, q.cq.ptr + size_t(q.cq_head) * 16, sizeof(c));
      if (c.status >> 1) state.SkipWithError("command failed");
      if (++q.cq_head == q.size) {
        q.cq_head = 0;
        q.phase = !q.phase;
      }
      ++n;
    }
    if (n) host.RingHead(q);
    reaped += n;
    return n;
  };
  push(depth);
  for (auto _ : state) {
    for (const uint64_t end = reaped + depth; reaped < end;) {
      if (uint32_t n = reap()) push(n);
    }
  }
  const uint64_t counted = reaped;
  while (reaped < issued) reap();
  state.SetItemsProcessed(int64_t(counted));
  state.counters["commands_per_second"] = benchmark::Counter(double(counted), benchmark::Counter::kIsRate);
}

void BM_Flush(benchmark::State& state) { Run(state, io_opc::kFlush, false); }
void BM_Read4K(benchmark::State& state) { Run(state, io_opc::kRead, true); }
void BM_Write4K(benchmark::State& state) { Run(state, io_opc::kWrite, true); }
void BM_Read4KOf512(benchmark::State& state) { Run(state, io_opc::kRead, true, 2); }
void BM_Write4KOf512(benchmark::State& state) { Run(state, io_opc::kWrite, true, 2); }

BENCHMARK(BM_Flush)->Arg(1)->Arg(32)->Arg(256)->Arg(1023)->UseRealTime();
BENCHMARK(BM_Read4K)->Arg(1)->Arg(32)->Arg(256)->UseRealTime();
BENCHMARK(BM_Write4K)->Arg(1)->Arg(32)->Arg(256)->UseRealTime();
// Written first, so that the reads find stored blocks.
BENCHMARK(BM_Write4KOf512)->Arg(128)->UseRealTime();
BENCHMARK(BM_Read4KOf512)->Arg(128)->UseRealTime();

// The console output, plus the highest command rate seen: the ceiling of the zero-latency mode.
class CeilingReporter : public benchmark::ConsoleReporter {
 public:
  CeilingReporter() : benchmark::ConsoleReporter(OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("commands_per_second");
      if (it != run.counters.end() && !run.error_occurred && double(it->second) > best_) {
        best_ = it->second;
        name_ = run.benchmark_name();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double best() const { return best_; }
  const std::string& name() const { return name_; }

 private:
  double best_ = 0;
  std::string name_;
};

}  // namespace
}  // namespace kyt::sim

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kyt::sim::CeilingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("simulated controller, zero-latency mode: ceiling %.0f commands per second on one service thread (%s)\n",
              reporter.best(), reporter.name().c_str());
  benchmark::Shutdown();
  return 0;
}
