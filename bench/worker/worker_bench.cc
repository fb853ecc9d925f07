// Benchmarks of the NVMe worker loop.
//   BM_StepAll/<n>: one pass over n running tasks whose step does nothing (the loop's own cost per task).
//   BM_HandOver:    AddTask on this thread, the worker takes and finishes the task, this thread sees it released
//                   (the round trip that every NVMe script call pays, without the 1 ms polling of WaitForDone).
// The product's log lines go to a null stream; the results go to the real standard output.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <vector>

#include <benchmark/benchmark.h>

#include "nvme/nvme_driver.h"
#include "nvme/task_scheduler.h"
#include "utility/task_base.h"

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Never finishes: measures the pass itself.
class IdleTask : public TaskBase {
 public:
  IdleTask() : TaskBase(1, "Idle", "0000:00:00.0") {}

 protected:
  void FetchStates() override {}
};

// Finishes on its first step.
class OneStepTask : public TaskBase {
 public:
  OneStepTask() : TaskBase(1, "OneStep", "0000:00:00.0") {}

 protected:
  void FetchStates() override { ChangeState(kStateDone); }
};

void BM_StepAll(benchmark::State& state) {
  TaskScheduler scheduler(nullptr);
  std::vector<std::unique_ptr<IdleTask>> tasks(static_cast<size_t>(state.range(0)));
  for (auto& task : tasks) {
    task = std::make_unique<IdleTask>();
    scheduler.Add(task.get());
  }
  for (auto _ : state) scheduler.StepAll();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StepAll)->Arg(1)->Arg(16)->Arg(256);

NvmeDriver* Driver() {
  static NvmeDriver* driver = [] {
    auto* d = new NvmeDriver();  // lives until the process ends, worker included
    if (!d->StartScheduler(0, 1, static_cast<uint32_t>(getpid()), "0000:7f:1f.7")) {
      delete d;
      return static_cast<NvmeDriver*>(nullptr);
    }
    return d;
  }();
  return driver;
}

void BM_HandOver(benchmark::State& state) {
  NvmeDriver* driver = Driver();
  if (driver == nullptr) {
    state.SkipWithError("the environment does not start here");
    return;
  }
  for (auto _ : state) {
    OneStepTask task;
    driver->AddTask(&task);
    while (!(task.IsComplete() && task.IsReleased())) {
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandOver)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  static NullBuffer null_buffer;
  std::ostream results(std::cout.rdbuf());
  std::cout.rdbuf(&null_buffer);
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&results);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
