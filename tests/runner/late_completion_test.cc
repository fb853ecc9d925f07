// A command that times out stays outstanding after its runner has ended and been freed. Its late completion must
// land in memory that is still alive (the runner's context is kept until the command completes), which
// AddressSanitizer checks in the sanitized build.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "nvme/nvme_controller_ctx.h"
#include "spdk/nvme.h"
#include "runner/admin_cmd_runner.h"
#include "runner/generic_cmd_runner.h"
#include "runner/orphaned_commands.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

class LateCompletionTest : public RunnerBench {
 protected:
  // Delays the next admin command with `opcode` well beyond the command time-out of the attachment.
  void DelayNextAdmin(uint8_t opcode) {
    kyt::sim::FaultRule rule;
    rule.admin = true;
    rule.opcode = opcode;
    rule.action = kyt::sim::FaultRule::Action::kDelay;
    rule.delay_us = 4000000;  // 4 s of the drive's clock
    sim_->InjectFault(rule);
  }

  // Waits until the drive has posted the late completion (more than `posted` completions in all), then reaps the
  // admin queue as the next admin command or the queue's teardown would, and frees what completed.
  bool ReapLateCompletion(uint64_t posted, double seconds = 5.0) {
    auto ctx = Controller()->GetControllerCtx();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (sim_->counters().completions <= posted) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 10; ++i) ctx->GetQueueManager().ProcessAdminCompletions();
    OrphanedCommands::Sweep();
    return true;
  }

  // A controller whose command timed out is not detached when its context goes (the device is left as it is);
  // the test detaches the driver's controller itself once the context is gone, so that its records are freed.
  void TearDown() override {
    spdk_nvme_ctrlr* left_attached = nullptr;
    if (manager_) {
      auto controller = Controller();
      if (controller->IsInitialized() && controller->IsTimedOut()) {
        left_attached = controller->GetControllerCtx()->GetHandle();
      }
      manager_->Teardown();
    }
    if (left_attached != nullptr) spdk_nvme_detach(left_attached);
    RunnerBench::TearDown();
  }
};

TEST_F(LateCompletionTest, GenericCommandCompletingAfterItsTimeOut) {
  Attach(200);  // 200 ms command time-out
  ASSERT_EQ(OrphanedCommands::Count(), 0u);
  DelayNextAdmin(0x06);
  uint64_t posted = 0;
  {
    auto data = std::make_unique<std::vector<uint8_t>>(4096, 0);
    auto runner = std::make_unique<GenericCmdRunner>(address_);
    runner->GetCommand().opc = 0x06;
    runner->GetCommand().cdw10 = 1;
    runner->SetBuffer(data->data(), 4096, false);
    ASSERT_TRUE(Step(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "Command Timed Out");
    EXPECT_TRUE(runner->HasControllerErrorFlag());
    EXPECT_TRUE(Controller()->IsTimedOut());
    EXPECT_EQ(OrphanedCommands::Count(), 1u) << "the outstanding command keeps its context";
    posted = sim_->counters().completions;
    runner.reset();  // the owner frees the runner and the caller's buffer at once
    data.reset();
  }
  ASSERT_TRUE(ReapLateCompletion(posted)) << "the drive posts the delayed completion";
  EXPECT_EQ(OrphanedCommands::Count(), 0u) << "the completed command's context is freed";
}

TEST_F(LateCompletionTest, FormatCompletingAfterItsTimeOut) {
  Attach(200);
  DelayNextAdmin(0x80);
  uint64_t posted = 0;
  {
    auto runner = std::make_unique<AdminCmdRunner>(address_, "FormatNvm");
    runner->GetInput().code = kAdminCmdFormatNvm;
    runner->GetInput().params.format.nsid = 1;
    ASSERT_TRUE(Step(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "Command Timed Out");
    EXPECT_EQ(OrphanedCommands::Count(), 1u);
    posted = sim_->counters().completions;
  }
  ASSERT_TRUE(ReapLateCompletion(posted));
  EXPECT_EQ(OrphanedCommands::Count(), 0u);
}

}  // namespace
}  // namespace kyt_test
