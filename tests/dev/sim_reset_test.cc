// Controller reset and shutdown machines on the simulated drive.
#include <gtest/gtest.h>

#include "nvme/nvme_reset_controller.h"
#include "nvme/nvme_shutdown_controller.h"
#include "nvme_internal.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

class ResetTest : public SimDeviceTest {
 protected:
  // Runs the machine to its end; false when it ended in error (or did not end).
  template <class Machine>
  bool RunMachine(Machine& machine) {
    try {
      return PollUntil([] {}, [&] { return machine.IsDone(); });
    } catch (const std::runtime_error&) {
      return false;
    }
  }
};

// A reset waits while RDY stays set (a second start meanwhile does nothing); it drops the live queue pairs, and new
// ones work.
TEST_F(ResetTest, ResetWaitsWhileReadyStaysSetAndDropsTheQueuePairs) {
  Attach();
  const uint16_t q1 = CreateQueuePair();
  ASSERT_NE(q1, 0);
  auto& reset = Ctx().GetResetController();
  const uint64_t resets_before = sim_->counters().resets;
  sim_->SetReadyStuck(true);
  reset.Start();
  for (int i = 0; i < 200; ++i) EXPECT_FALSE(reset.IsDone());
  EXPECT_EQ(reset.GetState(), NvmeResetController::kWaitForDisabled);
  reset.Start();  // running: nothing happens
  EXPECT_EQ(reset.GetState(), NvmeResetController::kWaitForDisabled);
  sim_->SetReadyStuck(false);
  ASSERT_TRUE(RunMachine(reset)) << reset.GetErrorMessage();
  EXPECT_EQ(sim_->counters().resets, resets_before + 1);
  EXPECT_FALSE(Ctx().GetHandle()->is_resetting);
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(q1));
  EXPECT_NE(CreateQueuePair(), 0);
  EXPECT_TRUE(Ctx().GetNamespaceManager().GetNamespace(1)->IsActive());
}

// While a reset runs, commands are refused with a text that says so. A drive that stays ready after CC.EN = 0 fails
// the reset at the admin time-out (not before); a drive that still reports a fatal status after the reset fails it
// at once. A failed reset leaves a controller that refuses commands, and says why.
TEST_F(ResetTest, AResetIsBoundedAndAFailedOneFailsTheController) {
  Attach();
  kyt_env_test_set_clock_scale(1);
  auto& reset = Ctx().GetResetController();
  sim_->SetReadyStuck(true);
  reset.Start();
  for (int i = 0; i < 100; ++i) reset.IsDone();
  EXPECT_STREQ(controller_->Admit(Action::kCommand).text,
               "Controller reset in progress: wait for the reset to end, then call again");
  Advance(kTimeout - 1);
  for (int i = 0; i < 100; ++i) reset.IsDone();
  EXPECT_FALSE(reset.HasError()) << "a second short of the admin time-out";
  Advance(2);
  EXPECT_FALSE(RunMachine(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller reset timed out: CSTS.RDY stayed 1");
  EXPECT_EQ(controller_->GetState(), ControllerState::kFailed);
  EXPECT_STREQ(controller_->Admit(Action::kCommand).text,
               "Controller has failed: reset the controller, or scan for removal and attachment");
  sim_->SetReadyStuck(false);
  reset.ClearError();

  sim_->SetFatal(true, false);
  reset.Start();
  EXPECT_FALSE(RunMachine(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
  EXPECT_EQ(reset.GetErrorCause(), "the controller reports a fatal status (CSTS.CFS) after the reset");
  EXPECT_EQ(controller_->GetState(), ControllerState::kFailed);
}

TEST_F(ResetTest, FailingRegisterReadEndsResetAndShutdownInError) {
  Attach();
  auto& reset = Ctx().GetResetController();
  auto& shutdown = Ctx().GetShutdownController();
  sim_->Remove(false);  // registers read all ones
  try {
    reset.Start();
    FAIL() << "the failed step must be reported";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unexpected error encountered while resetting NVM controller.");
  }
  EXPECT_EQ(reset.GetErrorMessage(), "Failed to read from CC register");
  EXPECT_EQ(reset.GetErrorCause().rfind("the device left the bus since it was attached", 0), 0u);
  EXPECT_STREQ(controller_->Admit(Action::kInFlight).text,
               "Device is not responding (removed or powered off): scan for removal and attachment");
  EXPECT_FALSE(reset.IsDone());  // error stays; no throw again
  reset.Start();
  EXPECT_TRUE(reset.HasError());
  reset.ClearError();
  EXPECT_EQ(reset.GetState(), NvmeResetController::kStateIdle);
  EXPECT_EQ(reset.GetErrorMessage(), "");
  EXPECT_FALSE(Ctx().GetHandle()->is_resetting);

  EXPECT_THROW(shutdown.Start(), std::runtime_error);
  EXPECT_EQ(shutdown.GetErrorMessage(), "Failed to read from CC register");
  shutdown.ClearError();
  EXPECT_EQ(shutdown.GetErrorMessage(), "");
  EXPECT_TRUE(shutdown.HasError());  // the shutdown machine stays in its error state
  EXPECT_FALSE(Ctx().GetHandle()->is_shutdown);
}

// A reset ends what the admin queue held (an Abort included, whose slot is given back), so that nothing of it fires a
// time-out later; with the admin completions lost it fails once the clock passes the admin time-out (not before) and
// leaves the controller failed, and a later reset brings it back.
TEST_F(ResetTest, ResetEndsTheAdminCommandsItFindsAndEveryWaitIsBounded) {
  Attach();
  kyt_env_test_set_clock_scale(1);  // from here on a deadline passes only when the test moves the clock
  kyt::sim::FaultRule lost;
  lost.admin = true;
  lost.action = kyt::sim::FaultRule::Action::kDrop;
  lost.opcode = 0x0A;  // two Get Features and the Abort of the first, which times out
  lost.count = 2;
  sim_->InjectFault(lost);
  lost.opcode = 0x08;
  lost.count = 1;
  sim_->InjectFault(lost);
  spdk_nvme_cmd cmd{};
  cmd.opc = 0x0A;
  cmd.cdw10 = 0x07;
  kyt::nvme::CommandContextPtr<NvmeGenericCtx> generic[2];
  spdk_nvme_ctrlr* ctrlr = Ctx().GetHandle();
  sim_->ClearCommandLog();
  for (auto& g : generic) {
    g = kyt::nvme::MakeCommandContext<NvmeGenericCtx>();
    g->cmd = &cmd;
    ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(g.get()), 0u);
    if (&g == &generic[0]) Advance(kTimeout + 10);
    ASSERT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); },
                          [&] { return ctrlr->outstanding_aborts == 1; }));
  }
  ASSERT_TRUE(PollUntil([] {}, [&] { return AdminLog(0x0A).size() == 2; })) << "the drive has the second one";
  EXPECT_FALSE(generic[1]->status.done);
  auto& reset = Ctx().GetResetController();
  reset.Start();
  ASSERT_TRUE(RunMachine(reset)) << reset.GetErrorMessage();
  EXPECT_TRUE(generic[1]->status.done);
  EXPECT_EQ(generic[1]->status.cpl.status.sc, 0x07);
  EXPECT_EQ(generic[1]->status.cpl.status.dnr, 1);
  EXPECT_EQ(ctrlr->outstanding_aborts, 0u);
  Advance(2 * kTimeout);
  for (int i = 0; i < 100; ++i) Ctx().GetQueueManager().ProcessAdminCompletions();
  EXPECT_STREQ(controller_->Admit(Action::kInFlight).text, "") << "no time-out fired for what the reset ended";

  kyt::sim::FaultRule all;
  all.admin = true;
  all.count = -1;
  all.action = kyt::sim::FaultRule::Action::kDrop;
  sim_->InjectFault(all);
  sim_->ClearCommandLog();
  reset.Start();
  auto steps = [&](int n) {
    for (int i = 0; i < n && !reset.HasError(); ++i) {
      try {
        reset.IsDone();
      } catch (const std::runtime_error&) {
      }
    }
  };
  ASSERT_TRUE(PollUntil([&] { steps(1); }, [&] { return !AdminLog().empty() || reset.HasError(); }));
  steps(1000);
  Advance(kTimeout - 10);
  steps(1000);
  EXPECT_FALSE(reset.HasError()) << "one step short of the admin time-out";
  Advance(20);
  EXPECT_FALSE(RunMachine(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
  EXPECT_STREQ(controller_->Admit(Action::kInFlight).text,
               "Controller has failed: reset the controller, or scan for removal and attachment");
  sim_->ClearFaults();
  reset.ClearError();
  reset.Start();
  ASSERT_TRUE(RunMachine(reset)) << reset.GetErrorMessage();
  EXPECT_STREQ(controller_->Admit(Action::kInFlight).text, "");
  EXPECT_NE(CreateQueuePair(), 0);
}

// A reset that fails says why beside its text: a command of the initialisation the drive did not answer (Identify,
// Set Features) names its step and the time-out; a device that vanished mid-way says so.
TEST_F(ResetTest, AFailedInitialisationSaysWhatItMet) {
  Attach();
  kyt_env_test_set_clock_scale(1);
  auto& reset = Ctx().GetResetController();
  sim_->ClearCommandLog();
  const std::pair<uint8_t, const char*> unanswered[] = {{0x06, "wait for identify controller"},
                                                        {0x09, "wait for set number of queues"}};
  for (const auto& [opcode, step] : unanswered) {
    sim_->InjectFault(kyt::sim::FaultRule::LostAdmin(opcode));
    reset.Start();
    ASSERT_TRUE(PollUntil([&] { reset.IsDone(); }, [&] { return !AdminLog(opcode).empty(); }));
    Advance(kTimeout + 1);
    EXPECT_FALSE(RunMachine(reset));
    EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
    EXPECT_EQ(reset.GetErrorCause(), std::string("the initialisation's step \"") + step +
                                         "\" got no answer within the command time-out (3000000 ms)");
    EXPECT_EQ(controller_->GetState(), ControllerState::kFailed);
    reset.ClearError();
    sim_->ClearCommandLog();
  }
  reset.Start();
  ASSERT_TRUE(
      PollUntil([&] { reset.IsDone(); }, [&] { return reset.GetState() == NvmeResetController::kWaitForInit; }));
  sim_->Remove(false);  // registers read all ones from here on
  EXPECT_FALSE(RunMachine(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
  EXPECT_EQ(reset.GetErrorCause().rfind("the device stopped answering during the reset", 0), 0u);
  EXPECT_EQ(reset.GetErrorAction(), "scan for removal and attachment (scanRemoval, then scanAttachment)");
  EXPECT_EQ(controller_->GetState(), ControllerState::kRemoved);
}

// The reset waits for CSTS.RDY = 1 as long as the drive's CAP.TO (in 500 ms units), but never longer than the command
// time-out: a drive ready within CAP.TO completes the reset, one that never is fails it at the smaller bound.
class ReadyWaitTest : public ResetTest {
 protected:
  // Attaches a drive with `cap_to` and the command time-out, and steps a reset until it waits for CSTS.RDY = 1.
  NvmeResetController& ResetWaitingForReady(uint8_t cap_to, double timeout_s) {
    config_.timeout = cap_to;
    Attach(static_cast<uint32_t>(timeout_s * 1000));
    kyt_env_test_set_clock_scale(1);
    auto& reset = Ctx().GetResetController();
    reset.Start();
    EXPECT_TRUE(PollUntil([&] { reset.IsDone(); },
                          [&] { return Ctx().GetHandle()->state == NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1; }));
    return reset;
  }
  // Steps the reset; true when it failed at its ready wait.
  bool FailsNow(NvmeResetController& reset) {
    for (int i = 0; i < 100 && !reset.HasError(); ++i) {
      try {
        reset.IsDone();
      } catch (const std::runtime_error&) {
      }
    }
    return reset.HasError();
  }
};

TEST_F(ReadyWaitTest, ADriveReadyWithinCapToCompletesTheReset) {
  auto& reset = ResetWaitingForReady(20, kTimeout);  // CAP.TO 10 s
  sim_->SetReadyStuck(true, 9000000);  // ready 9 s from now
  Advance(8.5);
  EXPECT_FALSE(FailsNow(reset));
  Advance(1);
  ASSERT_TRUE(PollUntil([] {}, [&] { return (sim_->ReadRegister32(0x1C) & 1) != 0; }));
  EXPECT_TRUE(RunMachine(reset)) << reset.GetErrorMessage();
}

TEST_F(ReadyWaitTest, ANeverReadyDriveFailsTheResetAtCapTo) {
  auto& reset = ResetWaitingForReady(20, kTimeout);  // CAP.TO 10 s, a command time-out far longer
  sim_->ForceReady(false);
  Advance(9);
  EXPECT_FALSE(FailsNow(reset)) << "a second short of CAP.TO";
  Advance(2);
  EXPECT_TRUE(FailsNow(reset));
  EXPECT_EQ(reset.GetErrorCause(),
            "CSTS.RDY did not become 1 within 10000 ms after CC.EN was set (the drive's CAP.TO, at most the command "
            "time-out)");
}

TEST_F(ReadyWaitTest, ANeverReadyDriveFailsTheResetAtTheCommandTimeOut) {
  auto& reset = ResetWaitingForReady(255, 5);  // CAP.TO 127.5 s, a command time-out of 5 s
  sim_->ForceReady(false);
  Advance(4);
  EXPECT_FALSE(FailsNow(reset)) << "a second short of the command time-out";
  Advance(2);
  EXPECT_TRUE(FailsNow(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
}

TEST_F(ResetTest, ShutdownNotifiesWaitsAndFreesThePairs) {
  Attach();
  const uint16_t q1 = CreateQueuePair();
  ASSERT_NE(q1, 0);
  auto& shutdown = Ctx().GetShutdownController();
  shutdown.Start();
  EXPECT_EQ(shutdown.GetState(), NvmeShutdownController::kDropQueues);
  ASSERT_TRUE(RunMachine(shutdown)) << shutdown.GetErrorMessage();
  EXPECT_TRUE(Ctx().GetHandle()->is_shutdown);
  EXPECT_EQ((sim_->ReadRegister32(0x1C) >> 2) & 0x3, 2u);  // SHST: complete
  EXPECT_EQ((sim_->ReadRegister32(0x14) >> 14) & 0x3, 1u);  // SHN: normal
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(q1));
  // Done stays done and keeps the driver's flag set.
  EXPECT_TRUE(shutdown.IsDone());
  EXPECT_TRUE(Ctx().GetHandle()->is_shutdown);
}

}  // namespace
}  // namespace kyt_dev_test
