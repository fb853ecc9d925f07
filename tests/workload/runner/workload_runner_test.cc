// The workload runner on the simulated drive: what a run leaves behind (queue pairs, DMA buffers) whether it ends
// well, fails or rides through power cycles, and which completions end it.
#include <gtest/gtest.h>

#include <thread>

#include "nvme/dma_context.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/generic_cmd_runner.h"
#include "runner/workload_generation_runner.h"
#include "spdk/env.h"
#include "workload_bench.h"

namespace kyt_test {
namespace {

class WorkloadRunnerTest : public WorkloadBench {
 protected:
  // A sequential pass over `blocks` blocks of namespace 1 in 4 KiB I/Os.
  std::unique_ptr<WorkloadGenerationRunner> MakeRunner(uint64_t blocks, uint32_t read_percent, uint32_t qd = 8) {
    auto runner = std::make_unique<WorkloadGenerationRunner>(address_, hooks_);
    BasicAccessPatternInput& basic = runner->input->accessPattern.basic;
    runner->input->accessPattern.type = kAccessPatternBasic;
    basic.size = blocks;
    basic.readPercent = read_percent;
    basic.xferSize = 4096;
    basic.loops = 1;
    runner->input->queueDepth = qd;
    return runner;
  }

  // A mixed run of `duration_s` seconds over the attached device with power cycles of `hold_ms` off and on, its
  // power hooks wired; the device's detection and removal waits never run out.
  std::unique_ptr<WorkloadGenerationRunner> MakePowerCyclingRunner(uint32_t duration_s, uint32_t hold_ms) {
    Attach();
    WirePowerHooks();
    auto runner = MakeRunner(1u << 16, 50, 4);
    runner->input->accessPattern.basic.duration = duration_s;
    runner->input->accessPattern.basic.loops = 1000;
    runner->input->powerControlEnabled = true;
    runner->input->offHoldTimeMs = runner->input->onHoldTimeMs = hold_ms;
    runner->input->detectionTimeoutMs = runner->input->removalTimeoutMs = 60000;  // no load makes them pass
    return runner;
  }

  static uint64_t Ios(const std::unique_ptr<PerformanceTracker>& t) { return t ? t->GetTotalIos() : 0; }

  bool QueueExists(uint16_t qid) { return Controller()->GetControllerCtx()->GetQueueManager().IsValidQueueId(qid); }
};

// A run deletes the queue pair it made and gives its buffers back; one it was given stays for the script.
TEST_F(WorkloadRunnerTest, OwnQueuePairIsDeletedAndAGivenOneKept) {
  Attach();
  EnableValidation();
  const uint64_t before = DmaContext::GetTotalAllocated();
  auto own = MakeRunner(2048, 50);
  ASSERT_TRUE(Run(*own) && own->IsDone()) << own->GetErrorMessage();
  EXPECT_EQ(own->GetLiveContexts(), 0u);
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before);
  ASSERT_NE(own->GetQid(), 0);
  EXPECT_FALSE(QueueExists(own->GetQid()));

  auto creation = Controller()->GetControllerCtx()->MakeQueuePairCreationController();
  while (!creation->IsCompleted()) creation->Run();
  const auto qid = static_cast<uint16_t>(creation->GetQid());
  auto given = MakeRunner(256, 100);
  given->input->qid = qid;
  ASSERT_TRUE(Run(*given) && given->IsDone()) << given->GetErrorMessage();
  EXPECT_EQ(given->GetQid(), qid);
  EXPECT_TRUE(QueueExists(qid));
}

// A fatal status ends the run; the contexts still in flight are kept elsewhere until they complete, and the run
// gives its own queue pair back.
TEST_F(WorkloadRunnerTest, FatalStatusEndsTheRunAndGivesEverythingBack) {
  Attach();
  const uint64_t before = DmaContext::GetTotalAllocated();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x02;
  rule.status = kyt::sim::Status::Of(2, 0x86);
  sim_->InjectFault(rule);
  auto runner = MakeRunner(4096, 100);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage().rfind("Access Denied (Details: Cmd=Read Nsid=1 StartLba=", 0), 0u);
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
  EXPECT_FALSE(QueueExists(runner->GetQid()));
  runner.reset();
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before);
}

// A run that has failed submits nothing more: the pass that reaps the failed write and the 31 good ones after it
// leaves nothing in flight.
TEST_F(WorkloadRunnerTest, AFailedRunSubmitsNothingMore) {
  Attach();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x01;
  rule.status = kyt::sim::Status::Of(2, 0x86);
  sim_->InjectFault(rule);
  auto runner = MakeRunner(4096, 0, 32);
  runner->SetTaskScheduler(scheduler_);
  runner->SetNvmeControllerManager(manager_);
  const uint64_t target = sim_->counters().completions + 32;
  while (runner->GetState() != WorkloadGenerationRunner::kProcessIo) runner->Run();  // the queue is filled
  runner->Run();  // the driver rings the doorbell as it polls
  while (sim_->counters().completions < target) std::this_thread::yield();
  runner->Run();
  ASSERT_EQ(runner->GetState(), WorkloadGenerationRunner::kPrepareOutput);
  EXPECT_EQ(runner->GetOutstanding(), 0u);
  ASSERT_TRUE(Run(*runner));
  EXPECT_TRUE(runner->IsAborted());
}

// An I/O that passes its deadline ends the run, also when the time-out's status is on the ignore list: the device
// may still hold its context.
TEST_F(WorkloadRunnerTest, AnIoTimeOutEndsTheRunWhateverTheIgnoreList) {
  Attach();
  kyt_env_test_set_clock_scale(1);
  kyt::sim::FaultRule lost;
  lost.opcode = 0x02;
  lost.action = kyt::sim::FaultRule::Action::kDrop;
  sim_->InjectFault(lost);
  auto runner = MakeRunner(4096, 100);
  runner->input->ignoreError.emplace_back(3, 0x71);
  runner->SetTaskScheduler(scheduler_);
  runner->SetNvmeControllerManager(manager_);
  while (sim_->counters().injected == 0 && !runner->IsComplete()) runner->Run();
  kyt_env_test_advance_clock(6 * spdk_get_ticks_hz());  // past the 5 s command time-out
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "IO Command Timeout");
  EXPECT_EQ(runner->GetErrorDetail().cause.rfind("the I/O passed the command time-out (Details: Cmd=Read", 0), 0u);
}

// A reset takes the run's queue pair away: the run ends with an Error, even when the aborted commands' status is
// on the ignore list.
TEST_F(WorkloadRunnerTest, ARunWhoseQueuePairVanishedEndsWithAnError) {
  Attach();
  auto runner = MakeRunner(1u << 16, 50);
  runner->input->accessPattern.basic.loops = 1000;
  runner->input->ignoreError.emplace_back(0, 0x07);
  runner->SetTaskScheduler(scheduler_);
  runner->SetNvmeControllerManager(manager_);
  while (runner->GetState() != WorkloadGenerationRunner::kProcessIo) runner->Run();
  RunFunction(kFunctionResetController);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "I/O queue pair " + std::to_string(runner->GetQid()) + " no longer exists");
}

// Another command's time-out lets the run's own I/O go on to its end; the run's closing deletion, which it can no
// longer send, ends it with the deletion's time-out text and its statistics. Its queue pair stays registered (its
// identifier not handed out again) until the reset drops it.
TEST_F(WorkloadRunnerTest, AnotherCommandsTimeOutLetsTheIoEndAndLeavesTheQueuePairForTheReset) {
  Attach();  // a 5 s command time-out
  kyt_env_test_set_clock_scale(1);
  auto runner = MakeRunner(4096, 50);  // 512 I/Os
  Start(*runner);
  while (runner->GetState() != WorkloadGenerationRunner::kProcessIo) scheduler_->StepAll();
  sim_->InjectFault(kyt::sim::FaultRule::LostAdmin(0x0A));
  GenericCmdRunner get_features(address_);
  get_features.GetCommand().opc = 0x0A;
  get_features.GetCommand().cdw10 = 1;
  get_features.SetBuffer(nullptr, 0, false);
  Start(get_features);
  while (sim_->counters().injected == 0) scheduler_->StepAll();
  // The admin command passes its deadline in two steps, so that no I/O of the run is ever as old as that.
  kyt_env_test_advance_clock(4 * spdk_get_ticks_hz());
  const uint64_t completions = sim_->counters().completions;
  while (sim_->counters().completions < completions + 32 && !runner->IsComplete()) scheduler_->StepAll();
  kyt_env_test_advance_clock(3 * spdk_get_ticks_hz() / 2);
  while (!get_features.IsComplete()) scheduler_->StepAll();
  ASSERT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kTimedOut);
  ASSERT_TRUE(Finish(*runner));
  ASSERT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "Delete IO Queue Command Timeout");
  EXPECT_NE(runner->GetErrorDetail().cause.find("queue pair " + std::to_string(runner->GetQid())), std::string::npos);
  EXPECT_EQ(Ios(runner->output->readPerf) + Ios(runner->output->writePerf), 512u) << "every I/O of the run";
  EXPECT_TRUE(runner->output->errorTracker->errors.empty());
  EXPECT_TRUE(QueueExists(runner->GetQid())) << "left on the drive for the reset";

  auto refused = MakeRunner(256, 100);
  ASSERT_TRUE(Run(*refused));
  EXPECT_EQ(refused->GetErrorMessage(), "Create IO Queue Command Timeout");
  RunFunction(kFunctionResetController);
  EXPECT_FALSE(QueueExists(runner->GetQid()));
  auto after = MakeRunner(256, 100);
  ASSERT_TRUE(Run(*after) && after->IsDone()) << after->GetErrorMessage();
}

// A run whose own queue command the drive does not answer ends with that step's time-out text: its Create I/O CQ
// ("Create IO Queue Command Timeout"), its closing Delete I/O SQ ("Delete IO Queue Command Timeout").
TEST_F(WorkloadRunnerTest, ItsOwnQueueCommandTimingOutEndsTheRunWithThatStepsText) {
  Attach();
  kyt_env_test_set_clock_scale(1);
  const std::pair<int16_t, const char*> cases[] = {{0x05, "Create IO Queue Command Timeout"},
                                                   {0x00, "Delete IO Queue Command Timeout"}};
  for (const auto& [opcode, text] : cases) {
    sim_->InjectFault(kyt::sim::FaultRule::LostAdmin(opcode));
    auto runner = MakeRunner(256, 50);
    Start(*runner);
    const uint64_t injected = sim_->counters().injected + 1;
    while (sim_->counters().injected < injected && !runner->IsComplete()) scheduler_->StepAll();
    kyt_env_test_advance_clock(6 * spdk_get_ticks_hz());  // past the 5 s command time-out
    ASSERT_TRUE(Finish(*runner));
    EXPECT_EQ(runner->GetErrorMessage(), text);
    EXPECT_NE(runner->GetErrorDetail().cause.find("not answered within the command time-out"), std::string::npos);
    RunFunction(kFunctionResetController);
  }
}

// A failed read transfers nothing: its stale buffer neither fails the run nor marks the context's next I/O.
TEST_F(WorkloadRunnerTest, FailedReadsAreNotDataMismatches) {
  Attach();
  EnableValidation();
  auto writer = MakeRunner(512, 0);
  ASSERT_TRUE(Run(*writer) && writer->IsDone()) << writer->GetErrorMessage();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x02;
  rule.count = -1;
  rule.status = kyt::sim::Status::Of(0, 0x04);
  sim_->InjectFault(rule);
  auto mixed = MakeRunner(512, 50, 1);
  mixed->input->ignoreError.emplace_back(0, 0x04);
  ASSERT_TRUE(Run(*mixed));
  ASSERT_TRUE(mixed->IsDone()) << mixed->GetErrorMessage();
  ASSERT_GT(Ios(mixed->output->writePerf), 0u) << "writes reuse the contexts of failed reads";
  EXPECT_EQ(mixed->output->errorTracker->errors.at(StatusKey(0, 0x04)).size(), Ios(mixed->output->readPerf));
}

TEST_F(WorkloadRunnerTest, PowerCyclesDuringTheRunLoseNothing) {
  auto runner = MakePowerCyclingRunner(2, 100);
  const uint64_t before = DmaContext::GetTotalAllocated();
  ASSERT_TRUE(Run(*runner, 60));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_GE(sim_->counters().power_cycles, 1u);
  EXPECT_NE(Controller()->GetState(), kyt::nvme::ControllerState::kDetached);
  EXPECT_TRUE(runner->output->errorTracker->errors.empty()) << "I/Os cut short by the power loss are not recorded";
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before);
}

// No power cycle starts once the run's duration has passed: one cycle that outlasts the duration is the run's only
// one, and the run ends after it.
TEST_F(WorkloadRunnerTest, NoPowerCycleStartsOnceTheDurationHasPassed) {
  auto runner = MakePowerCyclingRunner(1, 1000);
  ASSERT_TRUE(Run(*runner, 60));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_EQ(hooks_->power_off().starts, 1);
  EXPECT_EQ(hooks_->power_on().starts, 1);
}

// A run that fails while its power cycle is under way leaves the cycle to go on to its end; the cycle is freed then
// (it holds the hooks while it lives).
TEST_F(WorkloadRunnerTest, APowerCycleThatOutlivesItsRunIsFreedAtItsEnd) {
  auto runner = MakePowerCyclingRunner(60, 100);
  kyt::sim::FaultRule rule;
  rule.status = kyt::sim::Status::Of(2, 0x86);  // the first I/O, whatever its opcode
  sim_->InjectFault(rule);
  const long held = hooks_.use_count();
  runner->SetTaskScheduler(scheduler_);
  runner->SetNvmeControllerManager(manager_);
  // The runner alone is stepped: its power cycle, once started, waits in its first state until the run is over.
  while (!runner->IsComplete()) runner->Run();
  ASSERT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage().rfind("Access Denied", 0), 0u) << runner->GetErrorMessage();
  ASSERT_EQ(scheduler_->Size(), 1u) << "the cycle is under way";
  EXPECT_EQ(hooks_.use_count(), held + 1);
  while (scheduler_->Size() != 0) scheduler_->StepAll();
  EXPECT_EQ(hooks_.use_count(), held);
}

}  // namespace
}  // namespace kyt_test
