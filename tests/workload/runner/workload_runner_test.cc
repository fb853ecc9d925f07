// The workload runner on the simulated drive: queue pairs, I/O counts, the completion policy (recorded, fatal and
// ignored statuses, data mismatch), power cycles during a run, and that every DMA buffer is given back.
#include <gtest/gtest.h>

#include "nvme/dma_context.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/circular_queue.h"
#include "runner/error_map.h"
#include "runner/orphaned_commands.h"
#include "runner/workload_generation_runner.h"
#include "workload_bench.h"

namespace kyt_test {
namespace {

class WorkloadRunnerTest : public WorkloadBench {
 protected:
  // A sequential pass over `blocks` blocks of namespace 1 in 4 KiB I/Os.
  std::unique_ptr<WorkloadGenerationRunner> MakeRunner(uint64_t blocks, uint32_t read_percent, uint32_t qd = 8) {
    auto runner = std::make_unique<WorkloadGenerationRunner>(address_, hooks_);
    AccessPatternInput& pattern = runner->input->accessPattern;
    pattern.type = kAccessPatternBasic;
    pattern.basic.nsid = 1;
    pattern.basic.workload = kAccessSequential;
    pattern.basic.rangeType = kRangeStartSize;
    pattern.basic.startLba = 0;
    pattern.basic.size = blocks;
    pattern.basic.readPercent = read_percent;
    pattern.basic.xferSize = 4096;
    pattern.basic.loops = 1;
    runner->input->queueDepth = qd;
    return runner;
  }

  uint64_t Ios(const std::unique_ptr<PerformanceTracker>& t) { return t ? t->GetTotalIos() : 0; }
};

TEST(CircularQueueTest, HoldsOneLessThanItsSlotsInOrder) {
  CircularQueue<int> q(4);
  EXPECT_TRUE(q.IsEmpty());
  for (int i = 1; i <= 3; ++i) q.Push(i);
  EXPECT_TRUE(q.IsFull());
  EXPECT_EQ(q.Size(), 3u);
  int v = 0;
  q.Get(v);
  EXPECT_EQ(v, 1);
  q.Pop();
  q.Push(4);  // wraps around
  for (int expected = 2; expected <= 4; ++expected) {
    q.Get(v);
    EXPECT_EQ(v, expected);
    q.Pop();
  }
  EXPECT_TRUE(q.IsEmpty());
  EXPECT_DEATH(q.Pop("completed_->Pop()"), "completed_->Pop\\(\\)");
}

TEST(WorkloadFatalMessageTest, NamesTheCommandAndStatus) {
  EXPECT_EQ(WorkloadGenerationRunner::FatalMessage("Unrecovered Read Error", 1, 1, 2048, 8, 2, 129),
            "Unrecovered Read Error (Details: Cmd=Read Nsid=1 StartLba=2048 NumBlks=8 SCT/SC=2/129)");
  EXPECT_EQ(WorkloadGenerationRunner::FatalMessage("Write Fault", 2, 3, 0, 1, 2, 128),
            "Write Fault (Details: Cmd=Write Nsid=3 StartLba=0 NumBlks=1 SCT/SC=2/128)");
  EXPECT_EQ(WorkloadGenerationRunner::FatalMessage("X", 3, 1, 5, 2, 0, 6),
            "X (Details: Cmd=Trim Nsid=1 StartLba=5 NumBlks=2 SCT/SC=0/6)");
  EXPECT_EQ(WorkloadGenerationRunner::FatalMessage("X", 7, 1, 5, 2, 0, 6),
            "X (Details: Cmd=Unknown Nsid=1 StartLba=5 NumBlks=2 SCT/SC=0/6)");
}

TEST_F(WorkloadRunnerTest, DeviceNotAttachedEndsAtOnceWithoutOutput) {
  auto runner = MakeRunner(64, 100);
  ASSERT_TRUE(Run(*runner));
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "device not initialzied");
  EXPECT_FALSE(runner->output->accessPatternOutput);
  EXPECT_FALSE(runner->output->readPerf);
  EXPECT_FALSE(runner->output->errorTracker);
}

TEST_F(WorkloadRunnerTest, SequentialPassCountsEveryIoAndDeletesItsQueuePair) {
  Attach();
  EnableValidation();
  const uint64_t before = DmaContext::GetTotalAllocated();
  auto runner = MakeRunner(2048, 50);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  WorkloadGenerationOutput& out = *runner->output;
  EXPECT_EQ(Ios(out.readPerf) + Ios(out.writePerf), 2048u / 8) << "one pass of 8-block I/Os";
  EXPECT_GT(Ios(out.readPerf), 0u);
  EXPECT_GT(Ios(out.writePerf), 0u);
  EXPECT_EQ(Ios(out.trimPerf), 0u);
  EXPECT_EQ(out.readPerf->GetTotalBytes(), Ios(out.readPerf) * 4096);
  ASSERT_TRUE(out.accessPatternOutput);
  EXPECT_EQ(out.accessPatternOutput->queueDepth, 8u);
  EXPECT_GT(out.accessPatternOutput->duration, 0.0);
  EXPECT_TRUE(out.errorTracker->errors.empty());
  EXPECT_EQ(runner->GetOutstanding(), 0u);
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before) << "every context buffer is given back";
  const uint16_t qid = runner->GetQid();
  ASSERT_NE(qid, 0);
  EXPECT_FALSE(Controller()->GetControllerCtx()->GetQueueManager().IsValidQueueId(qid)) << "its own pair is deleted";
}

TEST_F(WorkloadRunnerTest, QueueDepthZeroRunsAtTheControllerMaximum) {
  Attach();
  auto runner = MakeRunner(64, 100, 0);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_EQ(runner->output->accessPatternOutput->queueDepth, Controller()->GetMaxQueueDepth());
  EXPECT_EQ(Ios(runner->output->readPerf), 8u);
}

TEST_F(WorkloadRunnerTest, GivenQueuePairIsUsedAndKeptAndAnUnknownOneRefused) {
  Attach();
  auto creation = Controller()->GetControllerCtx()->MakeQueuePairCreationController();
  while (!creation->IsCompleted()) creation->Run();
  ASSERT_FALSE(creation->HasError()) << creation->GetErrorMessage();
  const uint16_t qid = static_cast<uint16_t>(creation->GetQid());

  auto runner = MakeRunner(256, 100);
  runner->input->qid = qid;
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_EQ(runner->GetQid(), qid);
  EXPECT_EQ(Ios(runner->output->readPerf), 32u);
  EXPECT_TRUE(Controller()->GetControllerCtx()->GetQueueManager().IsValidQueueId(qid)) << "a given pair is kept";

  auto invalid = MakeRunner(256, 100);
  invalid->input->qid = 40;
  ASSERT_TRUE(Run(*invalid));
  EXPECT_TRUE(invalid->IsAborted());
  EXPECT_EQ(invalid->GetErrorMessage(), "Invalid qid");
  EXPECT_TRUE(invalid->IsArgumentRefused());
  EXPECT_TRUE(invalid->output->readPerf) << "a run that fails after set-up still has its output";
}

TEST_F(WorkloadRunnerTest, FatalStatusEndsTheRunAndIsRecorded) {
  Attach();
  const uint64_t before = DmaContext::GetTotalAllocated();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x02;  // read
  rule.count = 1;
  rule.status.sct = 2;
  rule.status.sc = 0x86;  // Access Denied
  sim_->InjectFault(rule);
  auto runner = MakeRunner(4096, 100);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsAborted());
  const std::string message = runner->GetErrorMessage();
  EXPECT_EQ(message.rfind("Access Denied (Details: Cmd=Read Nsid=1 StartLba=", 0), 0u) << message;
  EXPECT_NE(message.find("NumBlks=8 SCT/SC=2/134)"), std::string::npos) << message;
  auto& errors = runner->output->errorTracker->errors;
  ASSERT_EQ(errors.size(), 1u);
  const auto& list = errors.at(StatusKey(2, 0x86));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.front().cmd, 1u);
  EXPECT_EQ(list.front().numBlocks, 8u);
  EXPECT_LT(Ios(runner->output->readPerf), 4096u / 8);
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
  // Contexts still in flight at the end are held elsewhere until they complete; none names the runner any more.
  const uint16_t qid = runner->GetQid();
  ASSERT_NE(qid, 0);
  EXPECT_FALSE(Controller()->GetControllerCtx()->GetQueueManager().IsValidQueueId(qid))
      << "a failed run gives its own queue pair back";
  runner.reset();
  OrphanedCommands::Sweep();
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before) << "the contexts left in flight are freed once aborted";
}

TEST_F(WorkloadRunnerTest, IgnoredAndUnknownStatusesAreRecordedButNotFatal) {
  Attach();
  kyt::sim::FaultRule ignored;
  ignored.opcode = 0x01;  // write
  ignored.count = 2;
  ignored.status.sct = 2;
  ignored.status.sc = 0x80;  // Write Fault, listed as ignored
  sim_->InjectFault(ignored);
  kyt::sim::FaultRule unknown;
  unknown.opcode = 0x01;
  unknown.count = 1;
  unknown.status.sct = 0;
  unknown.status.sc = 0x23;  // not in the table
  sim_->InjectFault(unknown);
  auto runner = MakeRunner(512, 0);
  runner->input->ignoreError.emplace_back(2, 0x80);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  auto& errors = runner->output->errorTracker->errors;
  EXPECT_EQ(errors.at(StatusKey(2, 0x80)).size(), 2u);
  EXPECT_EQ(errors.at(StatusKey(0, 0x23)).size(), 1u);
  EXPECT_EQ(Ios(runner->output->writePerf), 512u / 8) << "failed but not fatal completions still count";
  EXPECT_NE(FindFatalStatus(2, 0x80), nullptr) << "the ignore list was this run's own";
}

TEST_F(WorkloadRunnerTest, CorruptedBlockEndsTheRunWithDataMismatch) {
  Attach();
  EnableValidation();
  auto writer = MakeRunner(256, 0);
  ASSERT_TRUE(Run(*writer));
  ASSERT_TRUE(writer->IsDone()) << writer->GetErrorMessage();
  ASSERT_TRUE(sim_->CorruptBlock(1, 100));
  auto reader = MakeRunner(256, 100, 1);
  ASSERT_TRUE(Run(*reader));
  EXPECT_TRUE(reader->IsAborted());
  EXPECT_EQ(reader->GetErrorMessage(), "data mismatch");
  EXPECT_EQ(Ios(reader->output->readPerf), 100u / 8) << "the reads before the corrupted block count";
}

// A failed read transfers nothing: its stale buffer neither fails the run nor marks the context's next I/O.
TEST_F(WorkloadRunnerTest, FailedReadsAreNotDataMismatches) {
  Attach();
  EnableValidation();
  auto writer = MakeRunner(512, 0);
  ASSERT_TRUE(Run(*writer));
  ASSERT_TRUE(writer->IsDone()) << writer->GetErrorMessage();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x02;
  rule.count = -1;  // every read
  rule.status.sct = 0;
  rule.status.sc = 0x04;
  sim_->InjectFault(rule);
  auto mixed = MakeRunner(512, 50, 1);
  mixed->input->ignoreError.emplace_back(0, 0x04);
  ASSERT_TRUE(Run(*mixed));
  ASSERT_TRUE(mixed->IsDone()) << mixed->GetErrorMessage();
  const uint64_t reads = Ios(mixed->output->readPerf);
  ASSERT_GT(reads, 0u);
  ASSERT_GT(Ios(mixed->output->writePerf), 0u) << "writes reuse the contexts of failed reads";
  EXPECT_EQ(mixed->output->errorTracker->errors.at(StatusKey(0, 0x04)).size(), reads);
}

TEST_F(WorkloadRunnerTest, PowerCyclesRunDuringTheWorkloadAndTheDriveComesBack) {
  Attach();
  WirePowerHooks();
  auto runner = MakeRunner(1u << 16, 50, 4);
  runner->input->accessPattern.basic.duration = 2;
  runner->input->accessPattern.basic.loops = 1000;
  runner->input->powerControlEnabled = true;
  runner->input->onHoldTimeMs = 100;
  runner->input->offHoldTimeMs = 100;
  runner->input->detectionTimeoutMs = 4000;
  runner->input->removalTimeoutMs = 4000;
  const uint64_t before = DmaContext::GetTotalAllocated();
  ASSERT_TRUE(Run(*runner, 60));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_GE(hooks_->power_off().starts, 1);
  EXPECT_GE(sim_->counters().power_cycles, 1u);
  EXPECT_TRUE(Controller()->IsInitialized());
  EXPECT_TRUE(runner->output->errorTracker->errors.empty()) << "I/Os cut short by the power loss are not recorded";
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before);
}

TEST_F(WorkloadRunnerTest, FailedPowerCycleFailsTheWorkload) {
  Attach();
  hooks_->power_off().action = [] {};
  hooks_->power_off().error = "no relay";
  auto runner = MakeRunner(1u << 16, 100, 4);
  runner->input->powerControlEnabled = true;
  ASSERT_TRUE(Run(*runner));
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "no relay");
  EXPECT_TRUE(runner->output->readPerf);
}

}  // namespace
}  // namespace kyt_test

namespace kyt_test {
namespace {

// A power-off notice left by a failed cycle (the drive never went away) does not make a later run wait for ever.
TEST_F(WorkloadRunnerTest, StalePowerOffNoticeIsRefusedInsteadOfAwaited) {
  Attach();
  Controller()->NotifyPowerOff();
  auto runner = MakeRunner(64, 100);
  ASSERT_TRUE(Run(*runner, 5));
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "power off notified");
  EXPECT_EQ(runner->GetLiveContexts(), 0u);
}

}  // namespace
}  // namespace kyt_test
