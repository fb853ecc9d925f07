// I/O queue pairs through the controller's free identifiers, data through them, and the blocking namespace
// management wrappers.
#include <cstring>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

bool SqLive(SimController& sim, uint16_t qid) {
  for (const SimController::QueueState& q : sim.Queues()) {
    if (q.qid == qid && q.submission) return true;
  }
  return false;
}

class CtrlrQpairTest : public CtrlrTest {
 protected:
  spdk_nvme_qpair* Alloc(spdk_nvme_ctrlr* ctrlr, spdk_nvme_qprio prio = SPDK_NVME_QPRIO_URGENT) {
    spdk_nvme_io_qpair_opts opts;
    spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
    opts.qprio = prio;
    opts.io_queue_size = 64;
    return spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, &opts, sizeof(opts));
  }
};

TEST_F(CtrlrQpairTest, RefusalsLowestFreeIdentifierAndNoneLeft) {
  SimConfig config = FastSimConfig();
  config.io_queues = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(nullptr, Alloc(ctrlr, SPDK_NVME_QPRIO_HIGH));
  EXPECT_TRUE(log_->Contains("invalid queue priority for default round robin arbitration method"));
  EXPECT_EQ(nullptr, Alloc(ctrlr, static_cast<spdk_nvme_qprio>(4)));
  EXPECT_FALSE(log_->Contains("No free I/O queue IDs"));
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_CREATE_IO_SQ, 1, 0x01));
  EXPECT_EQ(nullptr, Alloc(ctrlr));
  EXPECT_EQ(1u, AdminLogged(sim, SPDK_NVME_OPC_DELETE_IO_CQ).size()) << "a refused SQ deletes its CQ again";
  // Caller ring buffers smaller than the queue.
  spdk_nvme_io_qpair_opts opts;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
  opts.io_queue_size = 64;
  uint64_t ring[8];
  opts.sq.vaddr = ring;
  opts.sq.buffer_size = 64 * 64 - 1;
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, &opts, sizeof(opts)));
  EXPECT_TRUE(log_->Contains("sq buffer size fff is too small for sq size 1000"));
  opts.sq.vaddr = nullptr;
  opts.cq.vaddr = ring;
  opts.cq.buffer_size = 64 * 16 - 1;
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, &opts, sizeof(opts)));
  EXPECT_TRUE(log_->Contains("cq buffer size 3ff is too small for cq size 400"));
  EXPECT_EQ(3u, spdk_bit_array_count_set(ctrlr->free_io_qids)) << "nothing was taken by the refusals";

  spdk_nvme_qpair* q[3];
  for (uint16_t i = 0; i < 3; i++) {
    q[i] = Alloc(ctrlr);
    ASSERT_NE(nullptr, q[i]);
    EXPECT_EQ(i + 1, q[i]->id);
  }
  EXPECT_EQ(nullptr, Alloc(ctrlr));
  EXPECT_TRUE(log_->Contains("No free I/O queue IDs"));
  EXPECT_TRUE(SqLive(sim, 2));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q[1]));
  EXPECT_FALSE(SqLive(sim, 2));
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, 2));
  q[1] = Alloc(ctrlr);
  ASSERT_NE(nullptr, q[1]);
  EXPECT_EQ(2, q[1]->id);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(nullptr));
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(ctrlr->adminq));
  for (spdk_nvme_qpair* p : q) EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(p));
  EXPECT_EQ(3u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

struct Done {
  bool done = false;
  spdk_nvme_cpl cpl{};
  spdk_nvme_qpair* free_qpair = nullptr;  // freed from inside the callback when set
  int free_rc = 1;
  bool deferred = false;
  static void Cb(void* arg, const spdk_nvme_cpl* cpl) {
    auto* d = static_cast<Done*>(arg);
    d->cpl = *cpl;
    d->done = true;
    if (d->free_qpair == nullptr) return;
    d->free_rc = spdk_nvme_ctrlr_free_io_qpair(d->free_qpair);
    d->deferred = d->free_qpair->delete_after_completion_context;  // still usable: the free waits for the poll
  }
  bool Run(spdk_nvme_ctrlr* ctrlr, spdk_nvme_qpair* q, uint8_t opc, uint64_t lba, void* buf, uint32_t blocks) {
    spdk_nvme_cmd cmd{};
    cmd.opc = opc;
    cmd.nsid = 1;
    cmd.cdw10 = (uint32_t)lba;
    cmd.cdw11 = (uint32_t)(lba >> 32);
    cmd.cdw12 = blocks - 1;
    if (spdk_nvme_ctrlr_cmd_io_raw(ctrlr, q, &cmd, buf, blocks * 512, &Done::Cb, this) != 0) return false;
    for (int i = 0; i < 2000000 && !done; i++) spdk_nvme_qpair_process_completions(q, 0);
    return done;
  }
};

TEST_F(CtrlrQpairTest, DataRoundTripsAndAFreeFromInsideItsOwnCompletionIsDeferred) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  const uint16_t qid = qpair->id;
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, 1);
  ASSERT_EQ(512u, spdk_nvme_ns_get_sector_size(ns));
  const uint32_t blocks = 28;  // 14 KiB from 512 bytes into a page: a PRP list
  auto* buf = static_cast<uint8_t*>(spdk_zmalloc(8 * 4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  ASSERT_NE(nullptr, buf);
  uint8_t* out = buf + 512;
  uint8_t* in = buf + 4 * 4096;
  for (uint32_t i = 0; i < blocks * 512; i++) out[i] = (uint8_t)(i * 31 + 7);
  Done w, r, e;
  ASSERT_TRUE(w.Run(ctrlr, qpair, SPDK_NVME_OPC_WRITE, 100, out, blocks));
  ASSERT_TRUE(r.Run(ctrlr, qpair, SPDK_NVME_OPC_READ, 100, in, blocks));
  EXPECT_FALSE(spdk_nvme_cpl_is_error(&w.cpl) || spdk_nvme_cpl_is_error(&r.cpl));
  EXPECT_EQ(0, memcmp(in, out, blocks * 512));
  // Beyond the namespace: the device's own error comes back unchanged.
  ASSERT_TRUE(e.Run(ctrlr, qpair, SPDK_NVME_OPC_READ, spdk_nvme_ns_get_num_sectors(ns), in, 1));
  EXPECT_EQ(SPDK_NVME_SC_LBA_OUT_OF_RANGE, e.cpl.status.sc);

  Done f;
  f.free_qpair = qpair;
  ASSERT_TRUE(f.Run(ctrlr, qpair, SPDK_NVME_OPC_READ, 0, in, 1));
  EXPECT_EQ(0, f.free_rc);
  EXPECT_TRUE(f.deferred);
  // Freed when the poll returned: the identifier is free and the device's queues are gone.
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
  EXPECT_FALSE(SqLive(sim, qid));
  spdk_free(buf);
}

TEST_F(CtrlrQpairTest, FreeWhileResettingOrAfterAFailedDelete) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  // A failed delete keeps the identifier taken until a delete succeeds.
  spdk_nvme_qpair* qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_DELETE_IO_SQ, 1, 0x01));  // invalid queue identifier
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(qpair));
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, qpair->id));
  spdk_nvme_qpair* other = Alloc(ctrlr);
  ASSERT_NE(nullptr, other);
  EXPECT_NE(qpair->id, other->id);
  const uint16_t qid = qpair->id;
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(other));
  // While resetting only the host side is freed, with its identifier (the disabled controller dropped its queues).
  qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  sim.ClearCommandLog();
  ctrlr->is_resetting = true;
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
  ctrlr->is_resetting = false;
  EXPECT_TRUE(AdminLogged(sim, SPDK_NVME_OPC_DELETE_IO_SQ).empty());
  EXPECT_TRUE(AdminLogged(sim, SPDK_NVME_OPC_DELETE_IO_CQ).empty());
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, 1));
}

// A creation whose command goes unanswered may have made the completion queue all the same: its memory and identifier
// are given back only once a Delete I/O CQ succeeds; otherwise they stay taken (and go with the controller).
TEST_F(CtrlrQpairTest, UnansweredCreationKeepsItsIdentifierUntilTheCompletionQueueIsGone) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  ctrlr->opts.admin_timeout_ms = 2000;
  for (bool delete_lost : {false, true}) {
    sim.InjectFault(AdminFault(SPDK_NVME_OPC_CREATE_IO_CQ, 0, 0, FaultRule::Action::kDrop));
    if (delete_lost) sim.InjectFault(AdminFault(SPDK_NVME_OPC_DELETE_IO_CQ, 0, 0, FaultRule::Action::kDrop));
    EXPECT_EQ(nullptr, Alloc(ctrlr));
    EXPECT_EQ(spdk_bit_array_get(ctrlr->free_io_qids, 1), !delete_lost);
    if (!delete_lost) {
      for (const SimController::QueueState& q : sim.Queues()) EXPECT_NE(q.qid, 1) << "the roll-back deleted it";
    }
  }
  EXPECT_NE(nullptr, ctrlr->stranded_qpairs);
  spdk_nvme_qpair* next = Alloc(ctrlr);
  ASSERT_NE(nullptr, next);
  EXPECT_EQ(2, next->id);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(next));
}

using NamespaceMgmtTest = CtrlrTest;

TEST_F(NamespaceMgmtTest, CreateAttachDetachDeleteUpdateTheActiveList) {
  // Identification descriptors are asked for from version 1.3 on.
  for (uint32_t version : {0x00010300u, 0x00010200u}) {
    SCOPED_TRACE(version);
    log_->Clear();
    SimConfig config = FastSimConfig();
    config.version = version;
    config.max_namespaces = 4;
    config.namespaces = {Ns(1, 4096)};
    SimController& sim = AddSim(config);
    spdk_nvme_ctrlr* ctrlr = Attach();
    ASSERT_NE(nullptr, ctrlr);
    auto* nsdata = static_cast<spdk_nvme_ns_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ns_data), 4096, nullptr));
    auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
    ASSERT_TRUE(nsdata && list);
    nsdata->nsze = nsdata->ncap = 256;  // 1 MiB, within the controller's free capacity
    nsdata->flbas.bits.format = 2;      // 4096-byte blocks
    list->ctrlr_count = 1;
    list->ctrlr_list[0] = ctrlr->cntlid;

    uint32_t nsid = spdk_nvme_ctrlr_create_ns(ctrlr, nsdata);
    ASSERT_NE(0u, nsid);
    EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid));  // created, not attached
    ASSERT_EQ(0, spdk_nvme_ctrlr_attach_ns(ctrlr, nsid, list));
    EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid));
    spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
    ASSERT_NE(nullptr, ns);
    EXPECT_TRUE(spdk_nvme_ns_is_active(ns));
    EXPECT_EQ(256u * 4096, spdk_nvme_ns_get_size(ns));
    EXPECT_EQ(version >= 0x00010300u, spdk_nvme_ns_get_uuid(ns) != nullptr);
    EXPECT_EQ(version >= 0x00010300u, !AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY, 3).empty());
    EXPECT_EQ(nsid, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));
    ASSERT_EQ(0, spdk_nvme_ctrlr_detach_ns(ctrlr, nsid, list));
    EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid));
    EXPECT_FALSE(spdk_nvme_ns_is_active(ns));
    EXPECT_EQ(0u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));
    ASSERT_EQ(0, spdk_nvme_ctrlr_delete_ns(ctrlr, nsid));
    SimController::NamespaceInfo info;
    EXPECT_FALSE(sim.GetNamespace(nsid, &info));

    // Refusals of the device.
    sim.InjectFault(AdminFault(SPDK_NVME_OPC_NS_MANAGEMENT, 1, 0x15));  // insufficient capacity
    EXPECT_EQ(0u, spdk_nvme_ctrlr_create_ns(ctrlr, nsdata));
    EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_attach_ns(ctrlr, 3, list));  // no such namespace
    EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_detach_ns(ctrlr, 3, list));
    EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_delete_ns(ctrlr, 3));
    // Security commands are not offered by this controller.
    EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_security_receive(ctrlr, 1, 0, 0, nsdata, 512));
    EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_security_send(ctrlr, 1, 0, 0, nsdata, 512));
    for (const char* fn : {"create_ns", "attach_ns", "detach_ns", "delete_ns", "security_receive", "security_send"}) {
      EXPECT_TRUE(log_->Contains(std::string("spdk_nvme_ctrlr_") + fn + " failed!")) << fn;
    }
    spdk_dma_free(nsdata);
    spdk_dma_free(list);
  }
}

}  // namespace
}  // namespace kyt::nvme_test
