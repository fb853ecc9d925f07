// How long a command's context lives once its owner let go of it while the drive may still write into it: until its
// queue or its controller is gone (a context let go of before the drive completed it lives until that completion:
// the late-completion runner tests). The DMA buffers count what is alive; in the sanitized build a context freed
// too early is also a use after free.
#include <cstdint>

#include "nvme/nvme_generic_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

class CommandContextTest : public SimDeviceTest {
 protected:
  void SetUp() override {
    SimDeviceTest::SetUp();
    ASSERT_NE(Attach()->GetState(), ControllerState::kDetached);
    qid_ = CreateQueuePair();
    ASSERT_NE(qid_, 0);
    before_ = DmaContext::GetTotalAllocated();
  }

  static kyt::sim::FaultRule Lost(bool admin, int16_t opcode) {
    kyt::sim::FaultRule rule;
    rule.admin = admin;
    rule.opcode = opcode;
    rule.action = kyt::sim::FaultRule::Action::kDrop;
    return rule;
  }

  uint64_t Held() const { return DmaContext::GetTotalAllocated() - before_; }

  uint16_t qid_ = 0;
  uint64_t before_ = 0;
};

// An I/O the host ended by its time-out may still be executing: it stays until its queue is deleted.
TEST_F(CommandContextTest, AnIoTheHostEndedStaysUntilItsQueueIsDeleted) {
  kyt_env_test_set_clock_scale(1);
  sim_->InjectFault(Lost(false, 0x02));
  auto read = MakeIo(qid_, 0, 8);
  ASSERT_EQ(Submit(kRead, *read), kIoOpsSubmitted);
  Advance(kTimeout + 10);
  ASSERT_TRUE(Complete(*read));
  ASSERT_TRUE(spdk_nvme_cpl_is_host_timeout(&read->cpl));
  read.reset();
  EXPECT_EQ(Held(), 4096u);
  auto deletion = Ctx().MakeQueuePairDeletionController(qid_);
  ASSERT_TRUE(PollUntil([&] { deletion->Run(); }, [&] { return deletion->IsCompleted(); }));
  ASSERT_FALSE(deletion->HasError()) << deletion->GetErrorMessage();
  EXPECT_EQ(Held(), 0u);
}

// The driver's detach frees the admin queue without completing what is on it: an admin command let go of while the
// drive has it goes with the controller.
TEST_F(CommandContextTest, AnAdminCommandLetGoOfAtTheDriveGoesWithTheController) {
  sim_->InjectFault(Lost(true, 0x06));
  spdk_nvme_cmd cmd{};
  cmd.opc = 0x06;
  cmd.cdw10 = 1;
  auto identify = MakeCommandContext<NvmeGenericCtx>();
  identify->cmd = &cmd;
  identify->buffer = std::make_unique<DmaContext>(4096);
  sim_->ClearCommandLog();
  ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(identify.get()), 0u);
  ASSERT_TRUE(PollUntil([] {}, [&] { return AdminLog(0x06).size() == 1; })) << "the drive has it";
  identify.reset();
  EXPECT_EQ(Held(), 4096u);
  controller_->ScanRemoval(true);
  ASSERT_EQ(controller_->GetState(), ControllerState::kDetached);
  EXPECT_EQ(Held(), 0u);
}

}  // namespace
}  // namespace kyt_dev_test
