// I/O queue pairs through the controller's free identifiers, data through them, and the blocking namespace
// management wrappers.
#include <atomic>
#include <thread>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

bool QueueLive(SimController& sim, uint16_t qid) {
  for (const SimController::QueueState& q : sim.Queues()) {
    if (q.qid == qid) return true;
  }
  return false;
}

class CtrlrQpairTest : public CtrlrTest {
 protected:
  spdk_nvme_qpair* Alloc(spdk_nvme_ctrlr* ctrlr) {
    spdk_nvme_io_qpair_opts opts;
    spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
    opts.io_queue_size = 64;
    return spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, &opts, sizeof(opts));
  }
};

// A creation the controller refuses takes no identifier (its CQ is deleted again). Identifiers are handed out lowest
// first until none is left, and a freed one (its queues deleted at the device) is handed out again. A failed delete
// keeps the identifier taken until a delete succeeds; while resetting only the host side is freed, with its
// identifier (the disabled controller dropped its queues).
TEST_F(CtrlrQpairTest, IdentifiersThroughRefusedCreationFailedDeleteAndReset) {
  SimConfig config = FastSimConfig();
  config.io_queues = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_CREATE_IO_SQ, 1, 0x01));
  EXPECT_EQ(nullptr, Alloc(ctrlr));
  EXPECT_EQ(1u, AdminLogged(sim, SPDK_NVME_OPC_DELETE_IO_CQ).size());
  EXPECT_EQ(3u, spdk_bit_array_count_set(ctrlr->free_io_qids));
  spdk_nvme_qpair* q[3];
  for (uint16_t i = 0; i < 3; i++) {
    q[i] = Alloc(ctrlr);
    ASSERT_TRUE(q[i] && q[i]->id == i + 1);
  }
  EXPECT_EQ(nullptr, Alloc(ctrlr)) << "none left";
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q[1]));
  EXPECT_FALSE(QueueLive(sim, 2));
  q[1] = Alloc(ctrlr);
  ASSERT_TRUE(q[1] && q[1]->id == 2);
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(ctrlr->adminq));
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_DELETE_IO_SQ, 1, 0x01));  // invalid queue identifier
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(q[0]));
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 1));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q[0]));
  sim.ClearCommandLog();
  ctrlr->is_resetting = true;
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q[1]));
  ctrlr->is_resetting = false;
  EXPECT_TRUE(sim.CommandLogSnapshot().empty()) << "no deletion sent";
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q[2]));
  EXPECT_EQ(3u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

// A queue pair freed from inside its own completion is freed when the poll returns (identifier free, the device's
// queues gone).
TEST_F(CtrlrQpairTest, FreeFromInsideItsOwnCompletionIsDeferred) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  struct Done {
    spdk_nvme_qpair* qpair;
    bool done = false, deferred = false;
  } done{Alloc(ctrlr)};
  ASSERT_NE(nullptr, done.qpair);
  auto cb = [](void* arg, const spdk_nvme_cpl*) {
    auto* d = static_cast<Done*>(arg);
    d->done = true;
    d->deferred = spdk_nvme_ctrlr_free_io_qpair(d->qpair) == 0 && d->qpair->delete_after_completion_context;
  };
  void* buf = spdk_zmalloc(4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ, cmd.nsid = 1;
  ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_io_raw(ctrlr, done.qpair, &cmd, buf, 512, cb, &done));
  kyt::sim::PollOnTestClock([&] { spdk_nvme_qpair_process_completions(done.qpair, 0); }, [&] { return done.done; }, 30);
  EXPECT_TRUE(done.deferred);
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, 1));
  EXPECT_FALSE(QueueLive(sim, 1));
  spdk_free(buf);
}

// A creation whose command goes unanswered may have made the completion queue all the same: its memory and identifier
// are given back only once a Delete I/O CQ succeeds; otherwise they stay taken (and go with the controller).
TEST_F(CtrlrQpairTest, UnansweredCreationKeepsItsIdentifierUntilTheCompletionQueueIsGone) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  ctrlr->opts.admin_timeout_ms = 30000;
  // Every command the controller leaves unanswered ends its wait at once: the clock passes the admin time-out as soon
  // as the controller has taken it. What it answers meanwhile has the whole time-out.
  std::atomic<bool> done{false};
  std::thread clock([&] {
    for (uint64_t dropped = 0; !done; std::this_thread::yield()) {
      if (sim.counters().injected > dropped) {
        dropped++;
        kyt_env_test_advance_clock(nvme_ms_to_ticks(30001));
      }
    }
  });
  for (bool delete_lost : {false, true}) {
    sim.InjectFault(AdminFault(SPDK_NVME_OPC_CREATE_IO_CQ, 0, 0, FaultRule::Action::kDrop));
    if (delete_lost) sim.InjectFault(AdminFault(SPDK_NVME_OPC_DELETE_IO_CQ, 0, 0, FaultRule::Action::kDrop));
    EXPECT_EQ(nullptr, Alloc(ctrlr));
    EXPECT_EQ(!delete_lost, spdk_bit_array_get(ctrlr->free_io_qids, 1));
    EXPECT_FALSE(QueueLive(sim, 1)) << "the roll-back deleted the completion queue";
  }
  done = true;
  clock.join();
  spdk_nvme_qpair* next = Alloc(ctrlr);
  ASSERT_TRUE(next && next->id == 2);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(next));
}

// A read of one block through `q`, polled until it completes or the controller has made a whole pass since the
// doorbell without it (it serves a command it was told of within one pass): whether it completed without error.
bool ReadReachesDrive(SimController& sim, spdk_nvme_ctrlr* ctrlr, spdk_nvme_qpair* q, void* buf) {
  int status = -1;
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ, cmd.nsid = 1;
  auto cb = [](void* arg, const spdk_nvme_cpl* cpl) { *static_cast<int*>(arg) = spdk_nvme_cpl_is_error(cpl); };
  if (spdk_nvme_ctrlr_cmd_io_raw(ctrlr, q, &cmd, buf, 512, cb, &status) != 0) return false;
  spdk_nvme_qpair_process_completions(q, 0);  // rings a delayed doorbell
  for (const uint64_t end = sim.ServicePasses() + 2; status < 0 && sim.ServicePasses() < end;) {
    spdk_nvme_qpair_process_completions(q, 0);
  }
  spdk_nvme_qpair_process_completions(q, 0);
  return status == 0;
}

// With a doorbell buffer, queue pairs created again and again under the same identifiers, of other sizes, rung at
// once or at the next poll, after one command or several, get every command to the drive: a new queue's shadow
// entries and event indexes start from 0 whatever an earlier queue of the identifier left in them.
TEST_F(CtrlrQpairTest, QueuePairsCreatedAgainUnderUsedIdsReachTheDriveThroughTheDoorbellBuffer) {
  SimConfig config = FastSimConfig();
  config.doorbell_buffer = true;
  config.io_queues = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_TRUE(ctrlr != nullptr && ctrlr->shadow_doorbell != nullptr);
  void* buf = spdk_zmalloc(4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
  struct Round {
    uint32_t entries, reads;
    bool delayed;
  } rounds[] = {{1024, 1, false}, {1024, 1, true}, {2, 3, false}, {64, 1, true}, {16, 5, false}, {1024, 1, false}};
  uint64_t reads = 0;
  for (const Round& round : rounds) {
    SCOPED_TRACE(testing::Message() << round.entries << " entries, " << round.reads << " reads");
    spdk_nvme_io_qpair_opts opts;
    spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
    opts.io_queue_size = round.entries;
    opts.delay_pcie_doorbell = round.delayed;
    spdk_nvme_qpair* q[3];
    for (uint16_t i = 0; i < 3; i++) {
      q[i] = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, &opts, sizeof(opts));
      ASSERT_TRUE(q[i] && q[i]->id == i + 1);
    }
    for (uint32_t n = 0; n < round.reads; n++, reads += 3) {
      for (spdk_nvme_qpair* p : q) EXPECT_TRUE(ReadReachesDrive(sim, ctrlr, p, buf)) << "qid " << p->id;
    }
    for (spdk_nvme_qpair* p : q) EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(p));
  }
  uint64_t fetched = 0;
  for (const kyt::sim::LoggedCommand& c : sim.CommandLogSnapshot()) fetched += c.sqid != 0;
  EXPECT_EQ(reads, fetched) << "the drive fetched what was sent, nothing else";
  EXPECT_EQ(0u, sim.counters().invalid_doorbells);
  spdk_free(buf);
}

// Create, attach, detach and delete keep the active list and the namespace records up to date (an attached namespace
// is identified with its descriptors); the device's refusals come back as errors.
TEST_F(CtrlrTest, NamespaceManagementUpdatesTheActiveList) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 4;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  auto* nsdata = static_cast<spdk_nvme_ns_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ns_data), 4096, nullptr));
  auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
  nsdata->nsze = nsdata->ncap = 256;  // 1 MiB of 4096-byte blocks, within the controller's free capacity
  nsdata->flbas.bits.format = 2;
  list->ctrlr_count = 1;
  list->ctrlr_list[0] = ctrlr->cntlid;
  uint32_t nsid = spdk_nvme_ctrlr_create_ns(ctrlr, nsdata);
  ASSERT_NE(0u, nsid);
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid));  // created, not attached
  ASSERT_EQ(0, spdk_nvme_ctrlr_attach_ns(ctrlr, nsid, list));
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
  EXPECT_TRUE(spdk_nvme_ns_is_active(ns) && spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1) == nsid);
  EXPECT_EQ(256u * 4096, spdk_nvme_ns_get_size(ns));
  EXPECT_NE(nullptr, spdk_nvme_ns_get_uuid(ns)) << "its identification descriptors were read";
  ASSERT_EQ(0, spdk_nvme_ctrlr_detach_ns(ctrlr, nsid, list));
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns) || spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));
  ASSERT_EQ(0, spdk_nvme_ctrlr_delete_ns(ctrlr, nsid));
  SimController::NamespaceInfo info;
  EXPECT_FALSE(sim.GetNamespace(nsid, &info));
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_NS_MANAGEMENT, 1, 0x15));  // insufficient capacity
  EXPECT_EQ(0u, spdk_nvme_ctrlr_create_ns(ctrlr, nsdata));
  for (auto call : {spdk_nvme_ctrlr_attach_ns, spdk_nvme_ctrlr_detach_ns}) EXPECT_EQ(-ENXIO, call(ctrlr, 3, list));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_delete_ns(ctrlr, 3));  // no such namespace
  spdk_dma_free(nsdata);
  spdk_dma_free(list);
}

}  // namespace
}  // namespace kyt::nvme_test
