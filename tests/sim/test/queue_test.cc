// Queue mechanics: phase tags, SQHD/SQID/CID, full completion queues, invalid and shadow doorbells, arbitration.
#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class QueueTest : public SimTest {};

// Phase tags invert on every wrap of the completion queue; SQHD is the head once each command was fetched, though
// the doorbell announced more.
TEST_F(QueueTest, PhaseInvertsOnEveryWrapAndHeadTracksFetches) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(5, 4, &q));
  for (int i = 0; i < 30; ++i) {  // two commands a doorbell in 4-entry queues: both rings wrap many times
    const uint16_t cids[2] = {host_->Push(*q, Cmd(io_opc::kFlush, 1)), host_->Push(*q, Cmd(io_opc::kFlush, 1))};
    host_->Ring(*q);
    for (int k = 0; k < 2; ++k) {
      Completion c;
      ASSERT_TRUE(host_->Reap(*q, &c)) << i;
      EXPECT_EQ(c.cid, cids[k]);
      EXPECT_EQ(c.sqid, 5);
      EXPECT_EQ(c.sqhd, (q->sq_tail + 3 + k) % 4);
      EXPECT_EQ(c.phase(), (2 * i + k) / 4 % 2 == 0);
    }
  }
}

// A full completion queue holds completions back until the host gives room through its head doorbell; with every
// place to hold one taken, nothing more is fetched meanwhile. Zero-latency mode posts its completions in batches, in
// the same order and holding back the same way.
TEST_F(QueueTest, FullCompletionQueueHoldsCompletionsBack) {
  for (bool zero_latency : {false, true}) {
    SCOPED_TRACE(zero_latency);
    SimConfig config = FastConfig();
    config.zero_latency = zero_latency;
    config.max_held_commands = 16;  // the least
    Start(config);
    TestHost::Queue* q;
    ASSERT_OK(host_->CreateIoQueuePair(1, 32, &q));  // 31 usable entries each way
    q->auto_head_doorbell = false;
    auto held = [&] {
      for (const auto& s : ctrl_->Queues()) {
        if (s.qid == 1 && !s.submission) return s.held_back;
      }
      return 0u;
    };
    std::vector<uint16_t> cids;
    for (uint64_t fetched : {33u, 49u}) {  // the queue creations, then 31 posted, then 16 held
      for (int i = 0; i < 31; ++i) cids.push_back(host_->Push(*q, Cmd(io_opc::kFlush, 1)));
      host_->Ring(*q);
      for (int i = 0; i < 2000 && ctrl_->counters().commands < fetched; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(held(), 16u);
    EXPECT_EQ(ctrl_->counters().commands, 49u) << "no room to hold more: the rest stays in the queue";
    Completion c;
    for (int i = 0; i < 31; ++i) {
      ASSERT_TRUE(host_->Reap(*q, &c));
      EXPECT_EQ(c.cid, cids[i]);
    }
    EXPECT_FALSE(host_->Peek(*q));  // no room was given back yet
    q->auto_head_doorbell = true;
    host_->RingHead(*q);
    for (int i = 31; i < 62; ++i) {
      ASSERT_TRUE(host_->Reap(*q, &c));
      EXPECT_EQ(c.cid, cids[i]);
    }
    EXPECT_EQ(ctrl_->counters().lost_completions, 0u);
  }
}

TEST_F(QueueTest, InvalidDoorbellValuesAreIgnoredAndReported) {
  Start();
  TestHost::Queue& a = host_->admin();
  Command aec = Cmd(admin_opc::kSetFeatures);
  aec.cdw10 = feature::kAsyncEventConfig;
  aec.cdw11 = 0xFF;
  ASSERT_OK(host_->AdminCommand(aec));
  const uint16_t aer = host_->Push(a, Cmd(admin_opc::kAsyncEventRequest));
  host_->Ring(a);
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 8, &q));
  // A tail beyond the queue (the first value past its last slot).
  host_->Write32(reg::kDoorbellBase + 2 * 1 * 4, 8);
  Completion ev;
  ASSERT_TRUE(host_->Reap(a, &ev));
  EXPECT_EQ(ev.cid, aer);
  EXPECT_EQ(ev.cdw0 & 7, aen::kTypeError);
  EXPECT_EQ(ev.cdw0 >> 8 & 0xFF, aen::kErrorInvalidDoorbellValue);
  EXPECT_EQ(ev.cdw0 >> 16 & 0xFF, log_page::kErrorInformation);
  EXPECT_EQ(ctrl_->counters().invalid_doorbells, 1u);
  // The queue still works from where it was once the host writes a sane value.
  q->sq_tail = 0;
  Completion c;
  ASSERT_TRUE(host_->Submit(*q, Cmd(io_opc::kFlush, 1), &c));
  EXPECT_EQ(c.sc(), 0);
  // A CQ head beyond what was posted.
  host_->Write32(reg::kDoorbellBase + (2 * 1 + 1) * 4, 5);
  for (int i = 0; i < 2000 && ctrl_->counters().invalid_doorbells < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ctrl_->counters().invalid_doorbells, 2u);
}

TEST_F(QueueTest, ShadowDoorbellsReplaceRegisterWrites) {
  SimConfig config = FastConfig();
  config.doorbell_buffer = true;
  Start(config);
  TestHost::Buffer shadow = host_->Alloc(4096), eventidx = host_->Alloc(4096);
  Command dbbuf = Cmd(admin_opc::kDoorbellBufferConfig);
  dbbuf.prp1 = shadow.iova + 8;
  dbbuf.prp2 = eventidx.iova;
  EXPECT_STATUS(host_->AdminCommand(dbbuf), sct::kGeneric, sc::kInvalidField);
  dbbuf.prp1 = shadow.iova;
  ASSERT_OK(host_->AdminCommand(dbbuf));
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 8, &q));
  q->auto_head_doorbell = false;
  auto* sh = reinterpret_cast<volatile uint32_t*>(shadow.ptr);
  auto* ev = reinterpret_cast<volatile uint32_t*>(eventidx.ptr);
  for (int round = 0; round < 3; ++round) {
    const uint16_t a = host_->Push(*q, Cmd(io_opc::kFlush, 1));
    const uint16_t b = host_->Push(*q, Cmd(io_opc::kFlush, 1));
    sh[2] = q->sq_tail;  // SQ 1 tail, no register write
    Completion c;
    ASSERT_TRUE(host_->Reap(*q, &c));
    EXPECT_EQ(c.cid, a);
    ASSERT_TRUE(host_->Reap(*q, &c));
    EXPECT_EQ(c.cid, b);
    sh[3] = q->cq_head;  // CQ 1 head
    EXPECT_EQ(ev[2], static_cast<uint16_t>(q->sq_tail - 1));
  }
  // Six completions in an 8-entry queue: with the head given back through the shadow, two more fit without
  // a register write.
  for (int i = 0; i < 2; ++i) host_->Push(*q, Cmd(io_opc::kFlush, 1));
  sh[2] = q->sq_tail;
  Completion c;
  ASSERT_TRUE(host_->Reap(*q, &c));
  ASSERT_TRUE(host_->Reap(*q, &c));
}

// Queues are served in turn, one arbitration burst from each (one command by default).
TEST_F(QueueTest, QueuesAreServedRoundRobin) {
  Start();
  TestHost::Queue *q1, *q2;
  ASSERT_OK(host_->CreateIoQueuePair(1, 128, &q1));
  ASSERT_OK(host_->CreateIoQueuePair(2, 128, &q2));
  ctrl_->ClearCommandLog();
  // Both doorbells become visible at once: the controller does no DMA while bus mastering is off.
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory);
  for (TestHost::Queue* q : {q1, q2}) {
    for (int i = 0; i < 100; ++i) host_->Push(*q, Cmd(io_opc::kFlush, 1));
    host_->Ring(*q);
  }
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster);
  Completion c;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(host_->Reap(*q1, &c) && host_->Reap(*q2, &c));
  const auto log = ctrl_->CommandLogSnapshot();
  ASSERT_EQ(log.size(), 200u);
  int first[3] = {0, 0, 0};
  for (size_t i = 0; i < 128; ++i) ++first[log[i].sqid];
  EXPECT_EQ(first[1], 64);
  EXPECT_EQ(first[2], 64);
}

}  // namespace
}  // namespace kyt::sim::testing
