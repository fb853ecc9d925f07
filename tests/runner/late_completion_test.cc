// A runner that ends while the device may still execute its command: a command that passes its deadline ends its
// runner at once, with the host time-out status, and a runner may be freed before its command completed. Either way
// its context (with the DMA buffer) stays alive until the device is done with it, so that a late completion or data
// transfer lands in memory that is still alive (AddressSanitizer checks in the sanitized build).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/generic_cmd_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"
#include "spdk/nvme.h"

namespace kyt_test {
namespace {

class LateCompletionTest : public RunnerBench {};

TEST_F(LateCompletionTest, TimedOutCommandKeepsItsContextWithItsQueueUntilTheQueueGoes) {
  Attach(60000);  // a minute: the test moves the clock past it
  LoseNextAdmin(0x06);  // executed (its data written), never completed
  auto& queues = Controller()->GetControllerCtx()->GetQueueManager();
  {
    auto data = std::make_unique<std::vector<uint8_t>>(4096, 0);
    auto runner = std::make_unique<GenericCmdRunner>(address_);
    runner->GetCommand().opc = 0x06;
    runner->GetCommand().cdw10 = 1;
    runner->SetBuffer(data->data(), 4096, false);
    runner->SetNvmeControllerManager(manager_);
    while (runner->GetState() != GenericCmdRunner::kWaitForCompletion && !runner->IsComplete()) runner->Run();
    kyt_env_test_advance_clock(61 * spdk_get_ticks_hz());
    ASSERT_TRUE(Step(*runner));
    EXPECT_TRUE(runner->IsDone());
    EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&runner->GetCompletion()));
    EXPECT_EQ(std::vector<uint8_t>(4096, 0), *data) << "nothing is copied out of a command that timed out";
    EXPECT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kTimedOut);
    EXPECT_EQ(queues.GetKeptCount(), 1u);
  }
  // The controller's disable (here its detachment) ends what the device held: the context goes with it.
  Controller()->ScanRemoval(true);
  EXPECT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kDetached);
}

// The runner is freed as soon as its read is submitted (before the queue's doorbell even rang): the drive then writes
// the blocks into the read's buffer and completes it.
TEST_F(LateCompletionTest, RunnerFreedWhileItsReadIsAtTheDriveLeavesTheContextUntilTheDriveIsDone) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  const uint64_t before = DmaContext::GetTotalAllocated();
  auto runner = std::make_unique<NvmCmdRunner>(address_, "Read");
  runner->SetCommandCode(kNvmCmdRead);
  runner->SetQueueId(qid);
  runner->SetLbaRange(0, 8);
  runner->SetNvmeControllerManager(manager_);
  while (runner->GetState() != 3 && !runner->IsComplete()) runner->Run();
  ASSERT_EQ(runner->GetState(), 3u) << runner->GetErrorMessage();
  runner.reset();
  EXPECT_EQ(DmaContext::GetTotalAllocated() - before, 8u * 512) << "the buffer the drive is to write is alive";
  NvmeControllerCtx& ctx = *Controller()->GetControllerCtx();
  while (ctx.GetIoManager().GetOutstanding() != 0) ctx.GetQueueManager().ProcessIoCompletions(qid);
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before) << "and freed once the drive completed the read";
}

}  // namespace
}  // namespace kyt_test
