// Admin commands the driver's queue management and its time-outs depend on, driven through the admin queue.
#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

class AdminTest : public SimTest {
 protected:
  Status Features(uint8_t opcode, uint8_t fid, uint32_t cdw11, uint32_t* cdw0 = nullptr) {
    Command c = Cmd(opcode);
    c.cdw10 = fid;
    c.cdw11 = cdw11;
    Completion done{};
    Status st = host_->AdminCommand(c, &done);
    if (cdw0) *cdw0 = done.cdw0;
    return st;
  }
  Status Create(uint8_t opcode, uint16_t qid, uint32_t size, uint32_t cdw11, uint64_t prp1) {
    Command cmd = Cmd(opcode);
    cmd.prp1 = prp1;
    cmd.cdw10 = qid | (size - 1) << 16;
    cmd.cdw11 = cdw11;
    return host_->AdminCommand(cmd);
  }
  Status Delete(uint8_t opcode, uint16_t qid) {
    Command cmd = Cmd(opcode);
    cmd.cdw10 = qid;
    return host_->AdminCommand(cmd);
  }
};

TEST_F(AdminTest, CreateAndDeleteQueuesWithEachStatusCode) {
  SimConfig c = FastConfig();
  c.mqes = 63;
  Start(c);
  const uint8_t cq = admin_opc::kCreateIoCq, sq = admin_opc::kCreateIoSq;
  const uint64_t mem = host_->Alloc(64 * 1024).iova;
  EXPECT_STATUS(Create(cq, 0, 8, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(Create(cq, 65, 8, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(Create(cq, 1, 1, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  EXPECT_STATUS(Create(cq, 1, 65, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  EXPECT_STATUS(Create(cq, 1, 8, 1, mem + 256), sct::kGeneric, sc::kInvalidPrpOffset);
  ASSERT_OK(Create(cq, 1, 64, 1, mem));
  EXPECT_STATUS(Create(cq, 1, 8, 1, mem + 4096), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);  // exists

  EXPECT_STATUS(Create(sq, 1, 8, 1 | 2u << 16, mem + 8192), sct::kCommandSpecific, cssc::kCompletionQueueInvalid);
  EXPECT_STATUS(Create(sq, 1, 65, 1 | 1u << 16, mem + 8192), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  ASSERT_OK(Create(sq, 1, 8, 1 | 1u << 16, mem + 8192));
  EXPECT_STATUS(Create(sq, 1, 8, 1 | 1u << 16, mem + 12288), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);

  // A completion queue goes only after its submission queues; each queue goes once.
  EXPECT_STATUS(Delete(admin_opc::kDeleteIoCq, 1), sct::kCommandSpecific, cssc::kInvalidQueueDeletion);
  EXPECT_STATUS(Delete(admin_opc::kDeleteIoSq, 0), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_OK(Delete(admin_opc::kDeleteIoSq, 1));
  EXPECT_STATUS(Delete(admin_opc::kDeleteIoSq, 1), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_OK(Delete(admin_opc::kDeleteIoCq, 1));
  EXPECT_STATUS(Delete(admin_opc::kDeleteIoCq, 1), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_EQ(ctrl_->Queues().size(), 2u);
  EXPECT_STATUS(host_->AdminCommand(Cmd(0xC1)), sct::kGeneric, sc::kInvalidOpcode);
}

// A submission queue that goes ends what the controller held of it with "aborted: SQ deletion".
TEST_F(AdminTest, DeletingASubmissionQueueAbortsItsCommands) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 16, &q));
  FaultRule hold;
  hold.action = FaultRule::Action::kDrop;
  hold.opcode = io_opc::kFlush;
  ctrl_->InjectFault(hold);
  const uint16_t held = host_->Push(*q, Cmd(io_opc::kFlush, 1));
  host_->Ring(*q);
  for (int i = 0; i < 1000 && ctrl_->counters().commands < 3; ++i)  // fetched (after the two queue creations)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(host_->Peek(*q));
  ASSERT_OK(Delete(admin_opc::kDeleteIoSq, 1));
  Completion c;
  ASSERT_TRUE(host_->Reap(*q, &c));
  EXPECT_EQ(c.cid, held);
  EXPECT_STATUS(TestHost::StatusOf(c), sct::kGeneric, sc::kAbortedSqDeletion);
  EXPECT_EQ(c.sqid, 1);
}

// Keep Alive is refused without KAS; with it, a timer that runs out (on the environment's clock) sets CFS, and each
// Keep Alive starts it again. The clock moves less than half the timer a step: the controller may take a Keep Alive
// with the time it read just before the step.
TEST_F(AdminTest, KeepAliveIsRefusedWithoutSupportAndExpiryIsFatal) {
  Start();  // KAS 0
  EXPECT_STATUS(host_->AdminCommand(Cmd(admin_opc::kKeepAlive)), sct::kGeneric, sc::kInvalidOpcode);
  SimConfig c = FastConfig();
  c.kas = 5;  // 500 ms granularity
  Start(c);
  kyt_env_test_set_clock_scale(1);
  const uint64_t hz = spdk_get_ticks_hz();
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kKeepAliveTimer, 100000));  // 100 s
  for (int i = 0; i < 3; ++i) {
    kyt_env_test_advance_clock(40 * hz);
    ASSERT_OK(host_->AdminCommand(Cmd(admin_opc::kKeepAlive)));
  }
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, 0u);
  kyt_env_test_advance_clock(110 * hz);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));
}

}  // namespace
}  // namespace kyt::sim::testing
