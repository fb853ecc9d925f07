// The one admission check on the simulated drive: after a command time-out every later command is refused before it
// reaches the drive, while a command already in flight ends on its own completion.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "nvme/nvme_controller_ctx.h"
#include "runner/generic_cmd_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"
#include "spdk/env.h"

namespace kyt_test {
namespace {

class AdmissionTest : public RunnerBench {
 protected:
  static constexpr uint32_t kTimeoutMs = 60000;  // a minute of the test clock: only the test moves it past

  void Advance(double seconds) {
    kyt_env_test_advance_clock(static_cast<uint64_t>(seconds * static_cast<double>(spdk_get_ticks_hz())));
  }

  // A Get Features (Arbitration) that the drive executes but never completes, stepped until the drive dropped it.
  std::unique_ptr<GenericCmdRunner> LostAdminCommand() {
    LoseNextAdmin(0x0A);
    auto runner = std::make_unique<GenericCmdRunner>(address_);
    runner->GetCommand().opc = 0x0A;
    runner->GetCommand().cdw10 = 1;
    runner->SetBuffer(nullptr, 0, false);
    runner->SetNvmeControllerManager(manager_);
    const uint64_t injected = sim_->counters().injected + 1;
    while (sim_->counters().injected < injected && !runner->IsComplete()) runner->Run();
    return runner;
  }

  // Steps `runner` until the drive has fetched a command of `opcode` on queue `sqid`.
  void StepUntilFetched(TaskBase& runner, uint16_t sqid, uint8_t opcode) {
    runner.SetNvmeControllerManager(manager_);
    for (int i = 0; i < 1000000 && !runner.IsComplete(); ++i) {
      runner.Run();
      for (const auto& entry : sim_->CommandLogSnapshot()) {
        if (entry.sqid == sqid && entry.command.opcode() == opcode) return;
      }
    }
    FAIL() << "the drive never fetched opcode " << static_cast<int>(opcode);
  }
};

// After a command time-out (until a reset) Format NVM, queue-pair creation and deletion, reads and raw commands are
// refused before anything reaches the drive; the reset brings them back.
TEST_F(AdmissionTest, AfterATimeOutNothingReachesTheDriveUntilAReset) {
  kyt_env_test_set_clock_scale(1);
  Attach(kTimeoutMs);
  const uint16_t qid = CreateQueuePair();
  auto lost = LostAdminCommand();
  Advance(kTimeoutMs / 1000 + 1);
  ASSERT_TRUE(Step(*lost));
  ASSERT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kTimedOut);
  sim_->ClearCommandLog();

  AdminCmdRunner format(address_, "FormatNvm");
  format.GetInput().code = kAdminCmdFormatNvm;
  format.GetInput().params.format.nsid = 1;
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  AdminCmdRunner remove(address_, "DeleteQueuePair");
  remove.GetInput().code = kAdminCmdDeleteQueuePair;
  remove.GetInput().params.format.qid = qid;
  NvmCmdRunner read(address_, "Read");
  read.SetCommandCode(kNvmCmdRead);
  read.SetLbaRange(0, 8);
  read.SetNamespaceId(1);
  GenericCmdRunner identify(address_);
  identify.GetCommand().opc = 0x06;
  identify.GetCommand().cdw10 = 1;
  std::vector<uint8_t> data(4096);
  identify.SetBuffer(data.data(), data.size(), false);
  for (TaskBase* task : std::initializer_list<TaskBase*>{&format, &create, &remove, &read, &identify}) {
    ASSERT_TRUE(Step(*task));
    EXPECT_EQ(task->GetErrorMessage(), "Command Timed Out") << task->GetName();
  }
  for (const auto& entry : sim_->CommandLogSnapshot()) {
    // Only the Abort the time-out sent may reach the drive after it.
    EXPECT_TRUE(entry.sqid == 0 && entry.command.opcode() == 0x08)
        << "a refused command reached the drive: opcode " << static_cast<int>(entry.command.opcode());
  }

  RunFunction(kFunctionResetController);
  EXPECT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kLive);
  EXPECT_NE(CreateQueuePair(), 0);
}

// A read in flight when an unrelated admin command times out ends on its own completion, with its data; the
// commands submitted after the time-out are refused.
TEST_F(AdmissionTest, AnotherCommandsTimeOutDoesNotEndACallInFlight) {
  kyt_env_test_set_clock_scale(1);
  Attach(kTimeoutMs);
  const uint16_t qid = CreateQueuePair();
  auto lost = LostAdminCommand();
  Advance(30);
  kyt::sim::FaultRule late;
  late.qid = qid;
  late.opcode = 0x02;
  late.action = kyt::sim::FaultRule::Action::kDelay;
  late.delay_us = 40000000;  // answered 10 s after the admin command's deadline, 20 s before its own
  sim_->InjectFault(late);
  NvmCmdRunner read(address_, "Read");
  read.SetCommandCode(kNvmCmdRead);
  read.SetLbaRange(0, 8);
  read.SetNamespaceId(1);
  StepUntilFetched(read, qid, 0x02);
  Advance(31);
  ASSERT_TRUE(Step(*lost));
  ASSERT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kTimedOut);
  for (int i = 0; i < 1000; ++i) read.Run();
  EXPECT_FALSE(read.IsComplete()) << read.GetErrorMessage();
  Advance(10);
  ASSERT_TRUE(Step(read));
  EXPECT_TRUE(read.IsDone()) << read.GetErrorMessage();
  EXPECT_EQ(read.GetCompletion().status_raw & 0x1FE, 0);
}

// A queue-pair creation while a reset runs is refused at once, with a text that says what to do, and sends nothing;
// once the reset has ended a creation works.
TEST_F(AdmissionTest, AQueuePairCreationDuringAResetIsRefused) {
  Attach();
  sim_->SetReadyStuck(true);  // the reset waits for the controller to leave ready
  GenericFunctionRunner reset(address_, "ResetController");
  reset.SetFunctionCode(kFunctionResetController);
  reset.SetNvmeControllerManager(manager_);
  while (Controller()->GetState() != kyt::nvme::ControllerState::kResetting && !reset.IsComplete()) reset.Run();
  ASSERT_FALSE(reset.IsComplete()) << reset.GetErrorMessage();
  sim_->ClearCommandLog();
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  ASSERT_TRUE(Step(create));
  EXPECT_EQ(create.GetErrorMessage(), "Controller reset in progress: wait for the reset to end, then call again");
  EXPECT_TRUE(sim_->CommandLogSnapshot().empty());
  sim_->SetReadyStuck(false);
  ASSERT_TRUE(Step(reset));
  EXPECT_TRUE(reset.IsDone()) << reset.GetErrorMessage();
  EXPECT_NE(CreateQueuePair(), 0);
}

// A queue-pair creation or deletion whose command the drive does not answer ends at the command's deadline with the
// time-out's text; which command it was, and what to do, is told beside it. The deletion keeps the pair for the reset.
TEST_F(AdmissionTest, QueuePairCommandsThatTimeOutSayCommandTimedOut) {
  kyt_env_test_set_clock_scale(1);
  Attach(kTimeoutMs);
  struct Case {
    uint32_t code;
    int16_t opcode;
    const char* cause;
  } cases[] = {{kAdminCmdCreateQueuePair, 0x05, "Failed to create completion queue: its command was not answered"},
               {kAdminCmdDeleteQueuePair, 0x00, "Failed to delete submission queue: its command was not answered"}};
  for (const Case& c : cases) {
    const uint16_t qid = CreateQueuePair();
    sim_->ClearCommandLog();
    LoseNextAdmin(c.opcode);
    AdminCmdRunner runner(address_, "QueuePair");
    runner.GetInput().code = c.code;
    runner.GetInput().params.format.qid = qid;
    StepUntilFetched(runner, 0, static_cast<uint8_t>(c.opcode));
    Advance(kTimeoutMs / 1000 + 1);
    ASSERT_TRUE(Step(runner));
    EXPECT_EQ(runner.GetErrorMessage(), "Command Timed Out");
    EXPECT_EQ(runner.GetErrorDetail().cause.rfind(c.cause, 0), 0u) << runner.GetErrorDetail().cause;
    EXPECT_EQ(Controller()->GetControllerCtx()->GetQueueManager().GetOwnedKeptCount(), 0u)
        << "the final task let go of the context its unanswered command keeps";
    RunFunction(kFunctionResetController);
  }
}

// A drive that went away (registers read all ones) under a queue-pair creation: the call says so and what to do.
TEST_F(AdmissionTest, ARemovedDriveAtQueueCreationSaysSo) {
  Attach();
  sim_->Remove(false);
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  ASSERT_TRUE(Step(create));
  EXPECT_EQ(create.GetErrorMessage(),
            "Device is not responding (removed or powered off): scan for removal and attachment");
}

// A drive that answers Identify Controller with zeros only is not attached, and the scan says why.
TEST_F(AdmissionTest, AnAllZeroIdentifyControllerIsRefused) {
  kyt::sim::FaultRule empty;
  empty.admin = true;
  empty.opcode = 0x06;
  empty.status = kyt::sim::Status::Of(0, 0);  // success without a byte of data
  sim_->InjectFault(empty);
  GenericFunctionRunner scan(address_, "Scan");
  scan.SetFunctionCode(kFunctionScanAttachment);
  ASSERT_TRUE(Step(scan));
  EXPECT_EQ(scan.GetErrorMessage(),
            "failed to initialize the controller. the device answered Identify Controller with all zeros");
  EXPECT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kDetached);
  Attach();  // a drive that answers is attached
}

// A controller that fails ends a raw command's wait at once, with the failure's text and the controller-error flag.
TEST_F(AdmissionTest, AFailedControllerEndsACallInFlight) {
  Attach(kTimeoutMs);
  auto lost = LostAdminCommand();
  sim_->SetFatal(true);
  ASSERT_TRUE(Step(*lost));
  EXPECT_EQ(lost->GetErrorMessage(), "Controller has failed: reset the controller, or scan for removal and attachment");
  EXPECT_TRUE(lost->HasControllerErrorFlag());
}

// A reset that a removal scan cuts short ends with "device not initialized" and says what happened beside it.
TEST_F(AdmissionTest, AResetCutShortByARemovalScanSaysSo) {
  Attach();
  sim_->SetReadyStuck(true);  // the reset waits for CSTS.RDY = 0
  GenericFunctionRunner reset(address_, "ResetController");
  reset.SetFunctionCode(kFunctionResetController);
  reset.SetNvmeControllerManager(manager_);
  while (reset.GetState() != GenericFunctionRunner::kWaitDone) reset.Run();
  EXPECT_EQ(Controller()->GetState(), kyt::nvme::ControllerState::kResetting);
  Controller()->ScanRemoval(true);
  ASSERT_TRUE(Step(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "device not initialized");
  EXPECT_EQ(reset.GetErrorDetail().cause.rfind("the controller was detached", 0), 0u);
  EXPECT_EQ(reset.GetErrorDetail().action, "scan for attachment (scanAttachment), then create queue pairs anew");
  sim_->SetReadyStuck(false);
}

}  // namespace
}  // namespace kyt_test
