// Admin commands the driver's queue management and its time-outs depend on, driven through the admin queue.
#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

class AdminTest : public SimTest {
 protected:
  Status Queue(uint8_t opcode, uint16_t qid, uint32_t size = 0, uint32_t cdw11 = 0, uint64_t prp1 = 0) {
    Command cmd = Cmd(opcode);
    cmd.prp1 = prp1;
    cmd.cdw10 = qid | (size - 1) << 16;
    cmd.cdw11 = cdw11;
    return host_->AdminCommand(cmd);
  }
};

TEST_F(AdminTest, CreateAndDeleteQueuesWithEachStatusCode) {
  SimConfig c = FastConfig();
  c.mqes = 63;
  Start(c);
  const uint8_t cq = admin_opc::kCreateIoCq, sq = admin_opc::kCreateIoSq, cs = sct::kCommandSpecific;
  const uint64_t mem = host_->Alloc(64 * 1024).iova;
  EXPECT_STATUS(Queue(cq, 65, 8, 1, mem), cs, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(Queue(cq, 1, 65, 1, mem), cs, cssc::kInvalidQueueSize);
  EXPECT_STATUS(Queue(cq, 1, 8, 1, mem + 256), sct::kGeneric, sc::kInvalidPrpOffset);
  ASSERT_OK(Queue(cq, 1, 64, 1, mem));
  EXPECT_STATUS(Queue(cq, 1, 8, 1, mem + 4096), cs, cssc::kInvalidQueueIdentifier);  // exists
  EXPECT_STATUS(Queue(sq, 1, 8, 1 | 2u << 16, mem + 8192), cs, cssc::kCompletionQueueInvalid);
  ASSERT_OK(Queue(sq, 1, 8, 1 | 1u << 16, mem + 8192));
  EXPECT_STATUS(Queue(sq, 1, 8, 1 | 1u << 16, mem + 12288), cs, cssc::kInvalidQueueIdentifier);
  // A completion queue goes only after its submission queues; each queue goes once.
  EXPECT_STATUS(Queue(admin_opc::kDeleteIoCq, 1), cs, cssc::kInvalidQueueDeletion);
  EXPECT_OK(Queue(admin_opc::kDeleteIoSq, 1));
  EXPECT_STATUS(Queue(admin_opc::kDeleteIoSq, 1), cs, cssc::kInvalidQueueIdentifier);
  EXPECT_OK(Queue(admin_opc::kDeleteIoCq, 1));
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
  Await([&] { return ctrl_->counters().commands == 3; });  // fetched (after the two queue creations)
  EXPECT_FALSE(host_->Peek(*q));
  ASSERT_OK(Queue(admin_opc::kDeleteIoSq, 1));
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
  Command set = Cmd(admin_opc::kSetFeatures);
  set.cdw10 = feature::kKeepAliveTimer;
  set.cdw11 = 100000;  // 100 s
  ASSERT_OK(host_->AdminCommand(set));
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
