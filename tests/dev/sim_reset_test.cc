// Controller reset and shutdown machines on the simulated drive.
#include <gtest/gtest.h>

#include <cstring>

#include "nvme/nvme_reset_controller.h"
#include "nvme/nvme_shutdown_controller.h"
#include "nvme_internal.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ResetTest : public SimDeviceTest {
 protected:
  static std::vector<std::string> Freed(const std::vector<std::string>& lines) {
    return LinesWithPrefix(lines, "NVME: Freeing queue ");
  }
  // Runs the machine to its end; false when it ended in error (or did not end).
  template <class Machine>
  bool RunMachine(Machine& machine) {
    try {
      return PollUntil([] {}, [&] { return machine.IsDone(); });
    } catch (const std::runtime_error&) {
      return false;
    }
  }
  // Admin commands outstanding other than event requests.
  int OutstandingAdmin() {
    int n = 0;
    nvme_tracker* tr;
    TAILQ_FOREACH(tr, &nvme_pcie_qpair(Ctx().GetHandle()->adminq)->outstanding_tr, tq_list) {
      n += tr->req != nullptr && tr->req->cmd.opc != 0x0C;
    }
    return n;
  }

  // A one-block write and read back on `qid`; true when both complete without error and the data round-trips.
  bool RoundTrip(uint16_t qid, uint64_t lba) {
    auto write = MakeIo(qid, lba, 1), read = MakeIo(qid, lba, 1);
    std::memset(write->data->GetBuffer(), 0x3C, 512);
    return Run(kWrite, *write) && Run(kRead, *read) && (write->cpl.status_raw & 0x1FE) == 0 &&
           (read->cpl.status_raw & 0x1FE) == 0 && std::memcmp(write->data->GetBuffer(), read->data->GetBuffer(), 512) == 0;
  }
};

TEST_F(ResetTest, ResetWithLiveQueuePairsThenNewQueuePairsWork) {
  Attach();
  const uint16_t q1 = CreateQueuePair();
  const uint16_t q2 = CreateQueuePair();
  ASSERT_NE(q1, 0);
  ASSERT_NE(q2, 0);
  ASSERT_TRUE(RoundTrip(q1, 7));
  auto& reset = Ctx().GetResetController();
  const uint64_t resets_before = sim_->counters().resets;

  CaptureStdout();
  reset.Start();
  EXPECT_FALSE(reset.HasError());
  const bool done = RunMachine(reset);
  const auto lines = SplitLines(GetCapturedStdout());
  ASSERT_TRUE(done) << reset.GetErrorMessage();
  EXPECT_EQ(reset.GetState(), 5u);
  EXPECT_EQ(LinesWithPrefix(lines, "NVME: Starting Controller Reset").size(), 1u);
  EXPECT_TRUE(Contains(lines, "NVME: CSTS is 0"));
  EXPECT_TRUE(Contains(lines, "NVME: Cleaning up all queues"));
  EXPECT_TRUE(Contains(lines, "NVME: Starting controller initialization"));
  EXPECT_TRUE(Contains(lines, "NVME: Controller initialization is done"));
  // Each live pair is freed once.
  EXPECT_EQ(Freed(lines).size(), 2u);
  EXPECT_EQ(LinesWithPrefix(lines, "NVME: Freeing queue " + std::to_string(q1)).size(), 1u);
  EXPECT_EQ(sim_->counters().resets, resets_before + 1);
  EXPECT_FALSE(Ctx().GetHandle()->is_resetting);

  // The old identifiers are gone; new pairs work.
  auto& queues = Ctx().GetQueueManager();
  EXPECT_FALSE(queues.IsValidQueueId(q1));
  EXPECT_EQ(queues.ProcessIoCompletions(q2), -1);
  const uint16_t q3 = CreateQueuePair();
  ASSERT_NE(q3, 0);
  EXPECT_TRUE(RoundTrip(q3, 8));
  EXPECT_TRUE(Ctx().GetNamespaceManager().GetNamespace(1)->IsActive());

  // Start after completion runs it again; the detach at the end frees the new pair once.
  reset.Start();
  ASSERT_TRUE(RunMachine(reset));
  const uint16_t q4 = CreateQueuePair();
  ASSERT_NE(q4, 0);
  EXPECT_EQ(Freed(LinesOf([&] { controller_->ScanRemoval(true); })).size(), 1u);
}

TEST_F(ResetTest, ResetWaitsWhileReadyStaysSet) {
  Attach();
  auto& reset = Ctx().GetResetController();
  sim_->SetReadyStuck(true);
  reset.Start();
  for (int i = 0; i < 200; ++i) EXPECT_FALSE(reset.IsDone());
  EXPECT_EQ(reset.GetState(), 1u);
  reset.Start();  // running: nothing happens
  EXPECT_EQ(reset.GetState(), 1u);
  sim_->SetReadyStuck(false);
  ASSERT_TRUE(RunMachine(reset));
  EXPECT_NE(CreateQueuePair(), 0);
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
  EXPECT_TRUE(reset.HasError());
  EXPECT_EQ(reset.GetState(), 6u);
  EXPECT_EQ(reset.GetErrorMessage(),
            "Failed to restore the PCI configuration: the device is not responding (removed or powered off); scan "
            "for removal and attachment");
  EXPECT_EQ(Ctx().GetFailure(), "Device is not responding (removed or powered off): scan for removal and attachment");
  EXPECT_FALSE(reset.IsDone());  // error stays; no throw again
  reset.Start();
  EXPECT_EQ(reset.GetState(), 6u);
  reset.ClearError();
  EXPECT_FALSE(reset.HasError());
  EXPECT_EQ(reset.GetState(), 0u);
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
// time-out later; with the admin completions lost it fails within the admin time-out and leaves the controller
// failed, and a later reset brings it back.
TEST_F(ResetTest, ResetEndsTheAdminCommandsItFindsAndEveryWaitIsBounded) {
  Attach(1000);
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
  std::shared_ptr<NvmeGenericCtx> generic[2];
  spdk_nvme_ctrlr* ctrlr = Ctx().GetHandle();
  sim_->ClearCommandLog();
  for (auto& g : generic) {
    g = std::make_shared<NvmeGenericCtx>();
    g->cmd = &cmd;
    ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(g), 0u);
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
  EXPECT_EQ(OutstandingAdmin(), 0) << "nothing but event requests is left";
  const uint64_t later = spdk_get_ticks() + 2 * spdk_get_ticks_hz();
  PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); }, [&] { return spdk_get_ticks() > later; });
  EXPECT_EQ(Ctx().GetFailure(), "") << "no time-out fired for what the reset ended";

  sim_->InjectFault([] {
    kyt::sim::FaultRule all;
    all.admin = true;
    all.count = -1;
    all.action = kyt::sim::FaultRule::Action::kDrop;
    return all;
  }());
  const uint64_t start = spdk_get_ticks();
  reset.Start();
  EXPECT_FALSE(RunMachine(reset));
  EXPECT_EQ(reset.GetErrorMessage(), "Controller init failed");
  EXPECT_LT(spdk_get_ticks() - start, 6 * spdk_get_ticks_hz()) << "within the admin time-out and a margin";
  EXPECT_EQ(Ctx().GetFailure(), "Controller has failed: reset the controller, or scan for removal and attachment");
  sim_->ClearFaults();
  reset.ClearError();
  reset.Start();
  ASSERT_TRUE(RunMachine(reset)) << reset.GetErrorMessage();
  EXPECT_EQ(Ctx().GetFailure(), "");
  EXPECT_NE(CreateQueuePair(), 0);
}

TEST_F(ResetTest, ShutdownNotifiesTwiceWaitsAndFreesEachPairOnce) {
  Attach();
  const uint16_t q1 = CreateQueuePair();
  const uint16_t q2 = CreateQueuePair();
  ASSERT_NE(q1, 0);
  ASSERT_NE(q2, 0);
  auto& shutdown = Ctx().GetShutdownController();
  CaptureStdout();
  shutdown.Start();
  EXPECT_EQ(shutdown.GetState(), 1u);
  const bool done = RunMachine(shutdown);
  const auto lines = SplitLines(GetCapturedStdout());
  ASSERT_TRUE(done) << shutdown.GetErrorMessage();
  EXPECT_EQ(Freed(lines).size(), 2u);
  EXPECT_EQ(LinesWithPrefix(lines, "NVME: Freeing queue " + std::to_string(q1)).size(), 1u);
  EXPECT_TRUE(Ctx().GetHandle()->is_shutdown);
  EXPECT_EQ((sim_->ReadRegister32(0x1C) >> 2) & 0x3, 2u);  // SHST: complete
  EXPECT_EQ((sim_->ReadRegister32(0x14) >> 14) & 0x3, 1u);  // SHN: normal
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(q1));
  EXPECT_FALSE(Ctx().GetShutdownController().HasError());

  // Done stays done and keeps the driver's flag set; the final detach frees nothing twice.
  EXPECT_TRUE(shutdown.IsDone());
  EXPECT_TRUE(Freed(LinesOf([&] { controller_->ScanRemoval(true); })).empty());
}

}  // namespace
}  // namespace kyt_dev_test
