// I/O queue pairs through the controller's free identifiers, and the blocking namespace management wrappers.
#include <cstring>
#include <string>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using kyt::sim::FaultRule;
using kyt::sim::SimConfig;
using kyt::sim::SimController;
using kyt::sim::Status;

FaultRule AdminStatus(uint8_t opcode, uint8_t sct, uint8_t sc) {
  FaultRule rule;
  rule.admin = true;
  rule.opcode = opcode;
  rule.count = 1;
  rule.status = Status::Of(sct, sc);
  return rule;
}

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

TEST_F(CtrlrQpairTest, LowestFreeIdentifierAndItsReturn) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* q1 = Alloc(ctrlr);
  spdk_nvme_qpair* q2 = Alloc(ctrlr);
  spdk_nvme_qpair* q3 = Alloc(ctrlr);
  ASSERT_TRUE(q1 && q2 && q3);
  EXPECT_EQ(1, q1->id);
  EXPECT_EQ(2, q2->id);
  EXPECT_EQ(3, q3->id);
  EXPECT_TRUE(SqLive(sim, 2));
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 2));

  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q2));
  EXPECT_FALSE(SqLive(sim, 2));
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, 2));
  spdk_nvme_qpair* again = Alloc(ctrlr);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(2, again->id);

  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(nullptr));
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(ctrlr->adminq));
  for (spdk_nvme_qpair* q : {q1, again, q3}) EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(q));
  EXPECT_EQ(64u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

TEST_F(CtrlrQpairTest, PriorityRule) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(nullptr, Alloc(ctrlr, SPDK_NVME_QPRIO_HIGH));
  EXPECT_TRUE(log_->Contains("invalid queue priority for default round robin arbitration method"));
  log_->Clear();
  EXPECT_EQ(nullptr, Alloc(ctrlr, static_cast<spdk_nvme_qprio>(4)));
  EXPECT_FALSE(log_->Contains("No free I/O queue IDs"));
  // Nothing was taken by the refusals.
  EXPECT_EQ(64u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

TEST_F(CtrlrQpairTest, NoFreeIdentifiers) {
  SimConfig config = FastSimConfig();
  config.io_queues = 2;
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* a = Alloc(ctrlr);
  spdk_nvme_qpair* b = Alloc(ctrlr);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(nullptr, Alloc(ctrlr));
  EXPECT_TRUE(log_->Contains("No free I/O queue IDs"));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(a));
  spdk_nvme_qpair* c = Alloc(ctrlr);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(1, c->id);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(b));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(c));
}

TEST_F(CtrlrQpairTest, RingBuffersSmallerThanTheQueueAreRefused) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
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
}

struct FreeInCallback {
  spdk_nvme_qpair* qpair;
  int rc = 1;
  bool called = false;
};

TEST_F(CtrlrQpairTest, FreeFromInsideItsOwnCompletionIsDeferred) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  const uint16_t qid = qpair->id;

  FreeInCallback ctx;
  ctx.qpair = qpair;
  spdk_nvme_cmd cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.opc = SPDK_NVME_OPC_FLUSH;
  cmd.nsid = 1;
  ASSERT_EQ(0, spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(
                   ctrlr, qpair, &cmd,
                   [](void* arg, const spdk_nvme_cpl* cpl) {
                     auto* c = static_cast<FreeInCallback*>(arg);
                     c->called = true;
                     c->rc = spdk_nvme_ctrlr_free_io_qpair(c->qpair);
                     // Still usable here: the free waits for the poll to return.
                     EXPECT_TRUE(c->qpair->delete_after_completion_context);
                   },
                   &ctx));
  for (int i = 0; i < 100000 && !ctx.called; i++) {
    spdk_nvme_qpair_process_completions(qpair, 0);
  }
  ASSERT_TRUE(ctx.called);
  EXPECT_EQ(0, ctx.rc);
  // Freed when the poll returned: the identifier is free and the device's queues are gone.
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
  EXPECT_FALSE(SqLive(sim, qid));
}

TEST_F(CtrlrQpairTest, FreeWhileResettingSendsNoDeleteCommands) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  const uint16_t qid = qpair->id;
  sim.ClearCommandLog();
  ctrlr->is_resetting = true;
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
  ctrlr->is_resetting = false;
  EXPECT_EQ(0, LoggedCommands(sim, SPDK_NVME_OPC_DELETE_IO_SQ, true));
  EXPECT_EQ(0, LoggedCommands(sim, SPDK_NVME_OPC_DELETE_IO_CQ, true));
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
}

TEST_F(CtrlrQpairTest, FailedDeleteKeepsTheIdentifierTaken) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_qpair* qpair = Alloc(ctrlr);
  ASSERT_NE(nullptr, qpair);
  const uint16_t qid = qpair->id;
  sim.InjectFault(AdminStatus(SPDK_NVME_OPC_DELETE_IO_SQ, 1, 0x01));  // invalid queue identifier
  EXPECT_EQ(-1, spdk_nvme_ctrlr_free_io_qpair(qpair));
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
  spdk_nvme_qpair* other = Alloc(ctrlr);
  ASSERT_NE(nullptr, other);
  EXPECT_NE(qid, other->id);
  // A second attempt succeeds and returns the identifier.
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
  EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, qid));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(other));
}

class NamespaceMgmtTest : public CtrlrTest {};

TEST_F(NamespaceMgmtTest, CreateAttachDetachDeleteUpdateTheActiveList) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 4;
  config.namespaces = {Ns(1, 4096)};
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);

  auto* nsdata = static_cast<spdk_nvme_ns_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ns_data), 4096, nullptr));
  auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
  ASSERT_TRUE(nsdata && list);
  nsdata->nsze = 256;  // 1 MiB, within the controller's free capacity
  nsdata->ncap = 256;
  nsdata->flbas.bits.format = 2;  // 4096-byte blocks
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
  EXPECT_EQ(4096u, spdk_nvme_ns_get_sector_size(ns));
  EXPECT_EQ(256u, spdk_nvme_ns_get_num_sectors(ns));
  EXPECT_EQ(1u, spdk_nvme_ctrlr_get_first_active_ns(ctrlr));
  EXPECT_EQ(nsid, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));

  ASSERT_EQ(0, spdk_nvme_ctrlr_detach_ns(ctrlr, nsid, list));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid));
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));

  ASSERT_EQ(0, spdk_nvme_ctrlr_delete_ns(ctrlr, nsid));
  SimController::NamespaceInfo info;
  EXPECT_FALSE(sim.GetNamespace(nsid, &info));

  // Refusals of the device.
  sim.InjectFault(AdminStatus(SPDK_NVME_OPC_NS_MANAGEMENT, 1, 0x15));  // insufficient capacity
  EXPECT_EQ(0u, spdk_nvme_ctrlr_create_ns(ctrlr, nsdata));
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_create_ns failed!"));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_attach_ns(ctrlr, 3, list));  // no such namespace
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_attach_ns failed!"));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_detach_ns(ctrlr, 3, list));
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_detach_ns failed!"));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_delete_ns(ctrlr, 3));
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_delete_ns failed!"));

  // Security commands are not offered by this controller.
  uint8_t* buf = static_cast<uint8_t*>(spdk_dma_zmalloc(512, 4096, nullptr));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_security_receive(ctrlr, 1, 0, 0, buf, 512));
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_security_receive failed!"));
  EXPECT_EQ(-ENXIO, spdk_nvme_ctrlr_security_send(ctrlr, 1, 0, 0, buf, 512));
  EXPECT_TRUE(log_->Contains("spdk_nvme_ctrlr_security_send failed!"));
  spdk_dma_free(buf);
  spdk_dma_free(nsdata);
  spdk_dma_free(list);
}

}  // namespace
}  // namespace kyt::nvme_test
