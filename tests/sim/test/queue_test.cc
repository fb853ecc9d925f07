// Queue mechanics: phase tags, SQHD/SQID/CID, full completion queues, batched and invalid doorbells.
#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class QueueTest : public SimTest {};

TEST_F(QueueTest, PhaseInvertsOnEveryWrapAndHeadTracksFetches) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(5, 4, &q));
  // 4-entry queues: at most 3 outstanding; 30 commands wrap both rings several times.
  bool expected_phase = true;
  uint32_t cq_slot = 0;
  for (int i = 0; i < 30; ++i) {
    const uint16_t cid = host_->Push(*q, Cmd(io_opc::kFlush, 1));
    host_->Ring(*q);
    Completion c;
    ASSERT_TRUE(host_->Reap(*q, &c));
    EXPECT_EQ(c.cid, cid);
    EXPECT_EQ(c.sqid, 5);
    EXPECT_EQ(c.sqhd, q->sq_tail);  // fetched up to the tail
    EXPECT_EQ(c.phase(), expected_phase) << i;
    if (++cq_slot == 4) {
      cq_slot = 0;
      expected_phase = !expected_phase;
    }
  }
}

TEST_F(QueueTest, BatchedDoorbellFetchesEverythingUpToTheTail) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 32, &q));
  std::vector<uint16_t> cids;
  for (int i = 0; i < 20; ++i) cids.push_back(host_->Push(*q, Cmd(io_opc::kFlush, 1)));
  host_->Ring(*q);
  for (int i = 0; i < 20; ++i) {
    Completion c;
    ASSERT_TRUE(host_->Reap(*q, &c));
    EXPECT_EQ(c.cid, cids[i]);  // one queue is served in order
  }
  for (const auto& s : ctrl_->Queues()) {
    if (s.qid != 1) continue;
    if (s.submission) {
      EXPECT_EQ(s.doorbell_updates, 1u);
      EXPECT_EQ(s.entries, 20u);
      EXPECT_EQ(s.head, 20);
    } else {
      EXPECT_EQ(s.entries, 20u);
      EXPECT_EQ(s.tail, 20);
    }
  }
}

TEST_F(QueueTest, FullCompletionQueueHoldsCompletionsBack) {
  // Zero-latency mode posts I/O completions in batches: the same order and the same holding back, up to the last
  // free place to hold a completion.
  for (bool zero_latency : {false, true}) {
    SCOPED_TRACE(zero_latency);
    SimConfig config = FastConfig();
    config.zero_latency = zero_latency;
    config.max_held_commands = 16;
    Start(config);
    TestHost::Queue* q;
    // CQ of 4 entries (3 usable), SQ of 64: create them by hand.
    auto create = [&](uint8_t opc, uint32_t size, uint32_t cdw11, uint64_t prp) {
      Command c = Cmd(opc);
      c.prp1 = prp;
      c.cdw10 = 1 | (size - 1) << 16;
      c.cdw11 = cdw11;
      return host_->AdminCommand(c);
    };
    ASSERT_OK(host_->CreateIoQueuePair(2, 16, &q));  // to get a Queue object; replace queue 2's CQ below
    TestHost::Queue small = *q;
    small.qid = 1;
    small.size = 4;
    small.cq = host_->Alloc(4096);
    small.sq = host_->Alloc(64 * 64);
    ASSERT_OK(create(admin_opc::kCreateIoCq, 4, 1, small.cq.iova));
    ASSERT_OK(create(admin_opc::kCreateIoSq, 64, 1 | 1u << 16, small.sq.iova));
    // The host's SQ ring has 64 entries while the CQ has 4: track them separately.
    TestHost::Queue sq = small;
    sq.size = 64;
    small.auto_head_doorbell = false;
    std::vector<uint16_t> cids;
    for (int i = 0; i < 40; ++i) cids.push_back(host_->Push(sq, Cmd(io_opc::kFlush, 1)));
    host_->Ring(sq);
    Completion c;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(host_->Reap(small, &c));
      EXPECT_EQ(c.cid, cids[i]);
    }
    uint32_t held = 0;
    for (int i = 0; i < 2000 && held < 16; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (const auto& s : ctrl_->Queues())
        if (s.qid == 1 && !s.submission) held = s.held_back;
    }
    EXPECT_EQ(held, 16u);  // every place to hold a completion taken: no more commands are fetched meanwhile
    EXPECT_FALSE(host_->Peek(small));  // no room was given back yet
    small.auto_head_doorbell = true;
    host_->RingHead(small);
    for (int i = 3; i < 40; ++i) {
      ASSERT_TRUE(host_->Reap(small, &c));
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
  // A tail beyond the queue.
  host_->Write32(reg::kDoorbellBase + 2 * 1 * 4, 9);
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
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(1, 0, &id));
  EXPECT_EQ(id.ptr[257] & 1, 1);  // OACS bit 8
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
  for (int i = 0; i < 1000 && ev[3] != static_cast<uint16_t>(q->cq_head - 1); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ev[3], static_cast<uint16_t>(q->cq_head - 1));
  // Six completions in an 8-entry queue: with the head given back through the shadow, two more fit without
  // a register write.
  for (int i = 0; i < 2; ++i) host_->Push(*q, Cmd(io_opc::kFlush, 1));
  sh[2] = q->sq_tail;
  Completion c;
  ASSERT_TRUE(host_->Reap(*q, &c));
  ASSERT_TRUE(host_->Reap(*q, &c));
  // The admin queue keeps its register doorbells.
  ASSERT_OK(host_->Identify(1, 0, &id));
}

TEST_F(QueueTest, WeightedRoundRobinFavoursHigherPriorities) {
  SimConfig config = FastConfig();
  config.ams = 1;
  Start(config, false);
  ASSERT_TRUE(host_->Enable(32, 0, 1));
  Command arb = Cmd(admin_opc::kSetFeatures);
  arb.cdw10 = feature::kArbitration;
  arb.cdw11 = 0 | 0u << 8 | 1u << 16 | 7u << 24;  // burst 1; weights low 1, medium 2, high 8
  ASSERT_OK(host_->AdminCommand(arb));
  TestHost::Queue *low, *high, *urgent;
  ASSERT_OK(host_->CreateIoQueuePair(1, 128, &low, 3));
  ASSERT_OK(host_->CreateIoQueuePair(2, 128, &high, 1));
  ASSERT_OK(host_->CreateIoQueuePair(3, 128, &urgent, 0));
  ctrl_->ClearCommandLog();
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory);
  for (int i = 0; i < 90; ++i) host_->Push(*low, Cmd(io_opc::kFlush, 1));
  for (int i = 0; i < 90; ++i) host_->Push(*high, Cmd(io_opc::kFlush, 1));
  for (int i = 0; i < 10; ++i) host_->Push(*urgent, Cmd(io_opc::kFlush, 1));
  host_->Ring(*low);
  host_->Ring(*high);
  host_->Ring(*urgent);
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster);
  Completion c;
  for (int i = 0; i < 90; ++i) ASSERT_TRUE(host_->Reap(*low, &c));
  auto log = ctrl_->CommandLogSnapshot();
  ASSERT_EQ(log.size(), 190u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(log[i].sqid, 3) << i;  // urgent first
  int high_seen = 0, low_seen = 0;
  for (int i = 10; i < 10 + 90; ++i) (log[i].sqid == 2 ? high_seen : low_seen)++;
  EXPECT_EQ(high_seen, 80);  // eight high for each low while both have work
  EXPECT_EQ(low_seen, 10);
}

TEST_F(QueueTest, QueuesAreServedRoundRobin) {
  Start();
  TestHost::Queue *q1, *q2;
  ASSERT_OK(host_->CreateIoQueuePair(1, 128, &q1));
  ASSERT_OK(host_->CreateIoQueuePair(2, 128, &q2));
  // Both doorbells become visible at once: the controller does no DMA while bus mastering is off.
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory);
  for (int i = 0; i < 100; ++i) host_->Push(*q1, Cmd(io_opc::kFlush, 1));
  host_->Push(*q2, Cmd(io_opc::kFlush, 1));
  host_->Ring(*q1);
  host_->Ring(*q2);
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster);
  Completion c;
  ASSERT_TRUE(host_->Reap(*q2, &c));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(host_->Reap(*q1, &c));
  // Queue 2's command was not starved behind queue 1's hundred (at most one burst of 64 ahead of it).
  auto log = ctrl_->CommandLogSnapshot();
  size_t pos = 0;
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].sqid == 2) pos = i;
  EXPECT_LE(pos, 4u + 64u);  // after the four queue creations and at most one burst
}

}  // namespace
}  // namespace kyt::sim::testing
