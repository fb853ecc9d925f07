// Queue mechanics: phase tags, SQHD/SQID/CID, full completion queues, invalid and shadow doorbells.
#include <atomic>
#include <utility>

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
    std::vector<uint16_t> cids;
    for (uint64_t fetched : {33u, 49u}) {  // the queue creations, then 31 posted, then 16 held
      for (int i = 0; i < 31; ++i) cids.push_back(host_->Push(*q, Cmd(io_opc::kFlush, 1)));
      host_->Ring(*q);
      Await([&] { return ctrl_->counters().commands >= fetched; });
    }
    EXPECT_EQ(ctrl_->counters().commands, 49u) << "no room to hold more: the rest stays in the queue";
    Completion c;
    for (int i = 0; i < 62; ++i) {
      if (i == 31) {
        EXPECT_FALSE(host_->Peek(*q));  // no room was given back yet
        q->auto_head_doorbell = true;
        host_->RingHead(*q);
      }
      ASSERT_TRUE(host_->Reap(*q, &c));
      EXPECT_EQ(c.cid, cids[i]);
    }
    EXPECT_EQ(ctrl_->counters().lost_completions, 0u);
  }
}

// A tail beyond the queue or a head beyond what was posted is ignored and counted; the queue works on from where it
// was.
TEST_F(QueueTest, InvalidDoorbellValuesAreIgnoredAndCounted) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 8, &q));
  host_->Write32(reg::kDoorbellBase + 2 * 1 * 4, 8);
  Await([&] { return ctrl_->counters().invalid_doorbells == 1; });
  q->sq_tail = 0;
  Completion c;
  ASSERT_TRUE(host_->Submit(*q, Cmd(io_opc::kFlush, 1), &c));
  EXPECT_EQ(c.sc(), 0);
  host_->Write32(reg::kDoorbellBase + (2 * 1 + 1) * 4, 5);
  Await([&] { return ctrl_->counters().invalid_doorbells == 2; });
  EXPECT_EQ(ctrl_->counters().invalid_doorbells, 2u);
}

// With a doorbell buffer a register write makes the controller read the queue's shadow entry until it stops
// changing; then the controller publishes the value as the event index and waits for the register again. A host that
// writes the register when its new value passes the event index is served; a shadow change alone, while the controller
// waits, is not seen. A created queue's entries are read at once (a value other than 0 is a doorbell write) and their
// event indexes left as they were.
TEST_F(QueueTest, ShadowDoorbellsFollowTheEventIndex) {
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
  // Entry 2 is SQ 1's tail, entry 3 CQ 1's head.
  auto update = [&](uint32_t entry, uint32_t value) {
    const uint16_t old = static_cast<uint16_t>(sh[entry]);
    sh[entry] = value;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (static_cast<uint16_t>(value - ev[entry]) <= static_cast<uint16_t>(value - old))
      host_->Write32(reg::kDoorbellBase + entry * 4, value);
  };
  // Passes of the controller that all began after now.
  auto passes = [&](uint64_t n) {
    for (const uint64_t target = ctrl_->ServicePasses() + n + 1; ctrl_->ServicePasses() < target;)
      std::this_thread::yield();
  };
  // Four rounds of two in an 8-entry queue: the last fits only with the head given back through the shadow.
  Completion c;
  for (int round = 0; round < 4; ++round) {
    const uint16_t cids[2] = {host_->Push(*q, Cmd(io_opc::kFlush, 1)), host_->Push(*q, Cmd(io_opc::kFlush, 1))};
    update(2, q->sq_tail);
    for (uint16_t cid : cids) {
      ASSERT_TRUE(host_->Reap(*q, &c)) << round;
      EXPECT_EQ(c.cid, cid);
    }
    update(3, q->cq_head);
  }
  passes(2);
  EXPECT_EQ(std::make_pair(ev[2], ev[3]), std::make_pair(q->sq_tail, q->cq_head));
  host_->Push(*q, Cmd(io_opc::kFlush, 1));
  sh[2] = q->sq_tail;
  passes(2);
  EXPECT_FALSE(host_->Peek(*q)) << "a shadow change alone while the controller waits";
  host_->Write32(reg::kDoorbellBase + 2 * 4, q->sq_tail);
  ASSERT_TRUE(host_->Reap(*q, &c));
  update(3, q->cq_head);

  ASSERT_OK(host_->DeleteIoQueuePair(q));
  sh[2] = 5;
  sh[3] = 0;
  ev[3] = 6;
  const uint64_t fetched = ctrl_->counters().commands;
  ASSERT_OK(host_->CreateIoQueuePair(1, 8, &q));
  passes(2);
  EXPECT_EQ(ctrl_->counters().commands - fetched, 2u + 5u) << "the creations, and five entries of the new queue";
  EXPECT_EQ(std::make_pair(ev[2], ev[3]), std::make_pair(5u, 6u));
}

}  // namespace
}  // namespace kyt::sim::testing
