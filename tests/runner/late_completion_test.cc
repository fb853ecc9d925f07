// A command that passes its deadline ends its runner at once, with the host time-out status, while the device may
// still be executing it: its context (with the DMA buffer) stays with its queue until the queue goes, so that a late
// completion or data transfer lands in memory that is still alive (AddressSanitizer checks in the sanitized build).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "nvme/nvme_controller_ctx.h"
#include "runner/generic_cmd_runner.h"
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

}  // namespace
}  // namespace kyt_test
