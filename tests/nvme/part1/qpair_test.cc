// PCIe queue pairs: memory and trackers, PRP lists and SGLs byte for byte, doorbells, completion harvesting,
// parked requests and deletion.
#include <cstring>

#include "fake_device.h"

namespace kyt::test {
namespace {

class QpairTest : public DevTest {
 protected:
  int FreeTrackers(spdk_nvme_qpair* q)
  {
    int n = 0;
    nvme_tracker* t;
    TAILQ_FOREACH(t, &nvme_pcie_qpair(q)->free_tr, tq_list) n++;
    return n;
  }
  spdk_nvme_cmd Entry(spdk_nvme_qpair* q, uint16_t slot, nvme_tracker** tr = nullptr)
  {
    spdk_nvme_cmd c = FakeDevice::SqEntry(q, slot);
    if (tr) *tr = &nvme_pcie_qpair(q)->tr[c.cid];
    return c;
  }
};

TEST_F(QpairTest, TrackersAndQueueSizes)
{
  struct {
    uint32_t entries, cap, trackers;
  } cases[] = {{2, 1, 1}, {3, 1, 2}, {16, 4, 12}, {256, 64, 192}, {1024, 128, 896}};
  for (auto& c : cases) {
    spdk_nvme_qpair* q = MakeQueue(c.entries);
    ASSERT_NE(q, nullptr) << c.entries;
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
    EXPECT_EQ(pq->max_completions_cap, c.cap) << c.entries;
    EXPECT_EQ(pq->num_trackers, c.trackers) << c.entries;
    // Every tracker is one page, free, and identified by its index; the highest identifier is handed out first.
    EXPECT_EQ(TAILQ_FIRST(&pq->free_tr)->cid, c.trackers - 1);
    nvme_tracker* tr;
    TAILQ_FOREACH(tr, &pq->free_tr, tq_list) {
      EXPECT_EQ(tr, &pq->tr[tr->cid]);
      EXPECT_EQ(tr->prp_sgl_bus_addr, Phys(&tr->u));
    }
    EXPECT_EQ(FreeTrackers(q), (int)c.trackers);
    EXPECT_EQ((uintptr_t)pq->tr % 4096, 0u);
    EXPECT_EQ((uintptr_t)pq->cmd % 0x200000, 0u);
    EXPECT_EQ((uintptr_t)pq->cpl % 0x200000, 0u);
    Drop(q);
  }
  for (uint32_t bad : {0u, 1u, 65536u, 70000u}) EXPECT_EQ(MakeQueue(bad), nullptr) << bad;
}

TEST_F(QpairTest, PrpEntriesOfContiguousBuffers)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  // Across two pages: PRP1 and PRP2; the caller's command is copied whole.
  ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_ + 512, 4096, &log), 0);
  spdk_nvme_cmd c = Entry(q, 0);
  EXPECT_EQ(c.cid, 11) << "highest free tracker first";
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_PRP);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_READ);
  EXPECT_EQ(c.cdw12, 7u);
  EXPECT_EQ(c.cdw15, 0xCAFEF00Du);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 512));
  EXPECT_EQ(c.dptr.prp.prp2, Phys(buf_ + 4096));
  // Within one page: no PRP2.
  ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_ + 8, 512, &log), 0);
  c = Entry(q, 1);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 8));
  EXPECT_EQ(c.dptr.prp.prp2, 0u);
  // Three pages: a PRP list the device reads through its bus address.
  nvme_tracker* tr;
  ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 3 * 4096, &log), 0);
  c = Entry(q, 2, &tr);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_));
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  auto* list = static_cast<uint64_t*>(FakeDevice::Dma(c.dptr.prp.prp2, 16));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], Phys(buf_ + 4096));
  EXPECT_EQ(list[1], Phys(buf_ + 8192));
  // A metadata buffer goes to MPTR.
  spdk_nvme_cmd md{};
  md.opc = SPDK_NVME_OPC_WRITE;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw_with_md(ctrlr_, q, &md, buf_, 4096, buf_ + 8 * 4096, &CplLog::Cb, &log), 0);
  EXPECT_EQ(Entry(q, 3).mptr, Phys(buf_ + 8 * 4096));
  EXPECT_TRUE(log.cpls.empty());
}

TEST_F(QpairTest, Prp506PagesFitAnd507OrMisalignedFail)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog ok, bad;
  ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 506 * 4096, &ok), 0);
  nvme_tracker* tr;
  Entry(q, 0, &tr);
  EXPECT_EQ(tr->u.prp[504], Phys(buf_ + 505 * 4096));
  EXPECT_TRUE(ok.cpls.empty());

  // Too many pages, or a buffer not dword aligned: the callback has already run, nothing reached the queue.
  EXPECT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 507 * 4096, &bad), -EINVAL);
  EXPECT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_ + 2, 512, &bad), -EINVAL);
  ASSERT_EQ(bad.cpls.size(), 2u);
  for (auto& c : bad.cpls) {
    EXPECT_EQ(c.status.sct, SPDK_NVME_SCT_GENERIC);
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_INVALID_FIELD);
    EXPECT_EQ(c.status.dnr, 1);
  }
  EXPECT_EQ(nvme_pcie_qpair(q)->sq_tail, 1);
  EXPECT_EQ(FreeTrackers(q), 11) << "the failed requests' trackers are free again";
}

// A scatter list over fixed (address, length) elements.
struct Sgl {
  std::vector<std::pair<void*, uint32_t>> elems;
  size_t next = 0;
  uint32_t reset_offset = ~0u;
  static void Reset(void* arg, uint32_t offset)
  {
    static_cast<Sgl*>(arg)->next = 0;
    static_cast<Sgl*>(arg)->reset_offset = offset;
  }
  static int Next(void* arg, void** addr, uint32_t* len)
  {
    auto* s = static_cast<Sgl*>(arg);
    if (s->next >= s->elems.size()) return -1;
    *addr = s->elems[s->next].first;
    *len = s->elems[s->next++].second;
    return 0;
  }
  int Submit(spdk_nvme_qpair* q, uint32_t size, CplLog* log)
  {
    nvme_payload payload{};
    payload.reset_sgl_fn = &Sgl::Reset;
    payload.next_sge_fn = &Sgl::Next;
    payload.contig_or_cb_arg = this;
    nvme_request* req = nvme_allocate_request(q, &payload, size, &CplLog::Cb, log);
    if (!req) return -ENOMEM;
    req->cmd.opc = SPDK_NVME_OPC_WRITE;
    return nvme_qpair_submit_request(q, req);
  }
};

TEST_F(QpairTest, ScatteredPayloadWithoutSglSupportBuildsPrps)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  ctrlr_->flags &= ~(uint64_t)SPDK_NVME_CTRLR_SGL_SUPPORTED;
  Sgl sgl;
  sgl.elems = {{buf_ + 1024, 3072}, {buf_ + 8 * 4096, 4096}, {buf_ + 20 * 4096, 8192}};
  CplLog log;
  ASSERT_EQ(sgl.Submit(q, 3072 + 4096 + 8192, &log), 0);
  EXPECT_EQ(sgl.reset_offset, 0u);
  nvme_tracker* tr;
  spdk_nvme_cmd c = Entry(q, 0, &tr);
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_PRP);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 1024));
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  EXPECT_EQ(tr->u.prp[0], Phys(buf_ + 8 * 4096));
  EXPECT_EQ(tr->u.prp[1], Phys(buf_ + 20 * 4096));
  EXPECT_EQ(tr->u.prp[2], Phys(buf_ + 21 * 4096));

  // A later element that does not start on a page, or an element followed by another that does not end on one,
  // cannot be described by PRP entries: invalid field before submission.
  Sgl late_start;
  late_start.elems = {{buf_, 4096}, {buf_ + 8 * 4096 + 512, 512}};
  Sgl early_end;
  early_end.elems = {{buf_ + 1024, 1024}, {buf_ + 8 * 4096, 4096}};
  const uint16_t tail = nvme_pcie_qpair(q)->sq_tail;
  for (Sgl* bad : {&late_start, &early_end}) EXPECT_EQ(bad->Submit(q, 4096 + 512, &log), -EINVAL);
  ASSERT_EQ(log.cpls.size(), 2u);
  EXPECT_EQ(log.cpls[1].status.sc, SPDK_NVME_SC_INVALID_FIELD);
  EXPECT_EQ(nvme_pcie_qpair(q)->sq_tail, tail) << "nothing was submitted";
}

TEST_F(QpairTest, HardwareSglMergesContiguousPiecesAndUsesALastSegment)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  ctrlr_->flags |= SPDK_NVME_CTRLR_SGL_SUPPORTED;
  // One element: a single data block descriptor in the command.
  Sgl one;
  one.elems = {{buf_ + 400, 2000}};
  CplLog log;
  ASSERT_EQ(one.Submit(q, 2000, &log), 0);
  spdk_nvme_cmd c = Entry(q, 0);
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_SGL_MPTR_CONTIG);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.type, SPDK_NVME_SGL_TYPE_DATA_BLOCK);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.subtype, SPDK_NVME_SGL_SUBTYPE_ADDRESS);
  EXPECT_EQ(c.dptr.sgl1.address, Phys(buf_ + 400));
  EXPECT_EQ(c.dptr.sgl1.unkeyed.length, 2000u);

  // Three elements, the first two adjacent in bus address space: two descriptors behind a last segment.
  Sgl three;
  three.elems = {{buf_, 4096}, {buf_ + 4096, 1000}, {buf_ + 30 * 4096, 512}};
  ASSERT_EQ(three.Submit(q, 4096 + 1000 + 512, &log), 0);
  nvme_tracker* tr;
  c = Entry(q, 1, &tr);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.type, SPDK_NVME_SGL_TYPE_LAST_SEGMENT);
  EXPECT_EQ(c.dptr.sgl1.address, tr->prp_sgl_bus_addr);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.length, 32u);
  EXPECT_EQ(tr->u.sgl[0].address, Phys(buf_));
  EXPECT_EQ(tr->u.sgl[0].unkeyed.length, 5096u);
  EXPECT_EQ(tr->u.sgl[0].unkeyed.type, SPDK_NVME_SGL_TYPE_DATA_BLOCK);
  EXPECT_EQ(tr->u.sgl[1].address, Phys(buf_ + 30 * 4096));
  EXPECT_EQ(tr->u.sgl[1].unkeyed.length, 512u);
  EXPECT_TRUE(log.cpls.empty());

  // No alignment rule for SGLs; more bytes asked than elements give fails.
  Sgl odd;
  odd.elems = {{buf_ + 3, 10}};
  ASSERT_EQ(odd.Submit(q, 10, &log), 0);
  EXPECT_EQ(odd.Submit(q, 20, &log), -EINVAL);
}

TEST_F(QpairTest, DoorbellsPerCommandDelayedAndStrided)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  spdk_nvme_qpair* delayed = MakeQueue(16, true, 2);
  ASSERT_TRUE(q && delayed);
  CplLog log;
  for (int i = 1; i <= 3; i++) {
    ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);
    EXPECT_EQ(dev_->SqDoorbell(1), (uint32_t)i);
    ASSERT_EQ(Io(delayed, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);
  }
  EXPECT_EQ(dev_->SqDoorbell(0), 0u) << "the admin doorbell is untouched";
  EXPECT_EQ(dev_->SqDoorbell(2), 0u) << "delayed until the next poll";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(delayed, 0), 0);
  EXPECT_EQ(dev_->SqDoorbell(2), 3u);

  // CAP.DSTRD 2: doorbells 16 bytes apart.
  FakeDevice::Options o;
  o.cap = 1023ull | (1ull << 16) | (0x20ull << 24) | (2ull << 32) | (1ull << 37);
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr(ctrlr)->doorbell_stride_u32, 4u);
  spdk_nvme_io_qpair_opts io = IoOpts(16);
  spdk_nvme_qpair* sq = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, 2, &io);
  ASSERT_NE(sq, nullptr);
  uintptr_t regs = (uintptr_t)nvme_pcie_ctrlr(ctrlr)->regs;
  EXPECT_EQ((uintptr_t)nvme_pcie_qpair(sq)->sq_tdbl - regs, 0x1000u + 4 * 16);
  EXPECT_EQ((uintptr_t)nvme_pcie_qpair(sq)->cq_hdbl - regs, 0x1000u + 5 * 16);
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(sq);
}

TEST_F(QpairTest, ShadowDoorbellWritesMmioOnlyWhenTheDeviceAsks)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  static uint32_t shadow[64], eventidx[64];
  memset(shadow, 0, sizeof(shadow));
  memset(eventidx, 0, sizeof(eventidx));
  ctrlr_->shadow_doorbell = shadow;
  ctrlr_->eventidx = eventidx;
  nvme_pcie_ctrlr_set_shadow_doorbell(ctrlr_, q);
  ctrlr_->shadow_doorbell = nullptr;
  ctrlr_->eventidx = nullptr;
  ASSERT_TRUE(nvme_pcie_qpair(q)->flags.has_shadow_doorbell);
  EXPECT_EQ(nvme_pcie_qpair(q)->shadow_doorbell.sq_tdbl, &shadow[2]);
  EXPECT_EQ(nvme_pcie_qpair(q)->shadow_doorbell.cq_hdbl, &shadow[3]);
  EXPECT_EQ(nvme_pcie_qpair(q)->shadow_doorbell.sq_eventidx, &eventidx[2]);

  // (event index, expected MMIO tail) per submission: 0 with tail 0 -> 1 is crossed; 5 is not; 2 with 2 -> 3 is.
  CplLog log;
  struct {
    uint32_t eventidx, mmio;
  } steps[] = {{0, 1}, {5, 1}, {2, 3}};
  for (uint32_t i = 0; i < 3; i++) {
    eventidx[2] = steps[i].eventidx;
    ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);
    EXPECT_EQ(shadow[2], i + 1);
    EXPECT_EQ(dev_->SqDoorbell(1), steps[i].mmio) << i;
  }
  // Completion side: head 0 -> 1 with CQ event index 7 skips the MMIO write.
  eventidx[3] = 7;
  dev_->Post(q, Entry(q, 0).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(shadow[3], 1u);
  EXPECT_EQ(dev_->CqDoorbell(1), 0u);
  // Without a doorbell buffer the flag goes off.
  nvme_pcie_ctrlr_set_shadow_doorbell(ctrlr_, q);
  EXPECT_FALSE(nvme_pcie_qpair(q)->flags.has_shadow_doorbell);
}

TEST_F(QpairTest, CompletionsAreReapedByPhaseWithThePerCallCap)
{
  spdk_nvme_qpair* q = MakeQueue(16);  // cap 4, 12 trackers
  ASSERT_NE(q, nullptr);
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
  CplLog log;
  std::vector<uint16_t> cids;
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_ + i * 4096, 512, &log), 0);
    cids.push_back(Entry(q, i).cid);
    dev_->Post(q, cids.back(), 0, 0, 1000 + i);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 4);
  EXPECT_EQ(dev_->CqDoorbell(1), 4u);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 2), 2);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 100), 4) << "a larger request does not raise the cap";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 2);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 0);
  ASSERT_EQ(log.cpls.size(), 12u);
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(log.cpls[i].cid, cids[i]);
    EXPECT_EQ(log.cpls[i].cdw0, 1000u + i);
  }
  // Four more: the 16th completion wraps the head and inverts the phase once.
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);
    dev_->Post(q, Entry(q, 12 + i).cid);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 4);
  EXPECT_EQ(pq->cq_head, 0);
  EXPECT_EQ(pq->flags.phase, 0);
  EXPECT_EQ(dev_->CqDoorbell(1), 0u);
  EXPECT_EQ(pq->sq_head, 0) << "the device's reported SQ head";
  // An entry with the old phase is not new; one for an unknown command is counted and ignored.
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 0);
  ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);
  dev_->Post(q, Entry(q, 0).cid);
  dev_->Post(q, 5);
  dev_->Post(q, 300);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 3);
  EXPECT_EQ(log.cpls.size(), 17u);
}

TEST_F(QpairTest, ParkedRequestsStartWhenATrackerFrees)
{
  spdk_nvme_qpair* q = MakeQueue(4);  // cap 1, 3 trackers
  ASSERT_NE(q, nullptr);
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
  CplLog log;
  for (int i = 0; i < 5; i++) ASSERT_EQ(Io(q, SPDK_NVME_OPC_READ, buf_ + i * 4096, 512, &log), 0);
  EXPECT_EQ(pq->sq_tail, 3);
  EXPECT_EQ(Count(STAILQ_FIRST(&q->queued_req)), 2);

  spdk_nvme_cmd first = Entry(q, 0);
  dev_->Post(q, first.cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(pq->sq_tail, 0) << "the fourth command went into slot 3";
  spdk_nvme_cmd fourth = Entry(q, 3);
  EXPECT_EQ(fourth.cid, first.cid) << "it took the tracker that just freed";
  EXPECT_EQ(fourth.dptr.prp.prp1, Phys(buf_ + 3 * 4096));

  // While the controller resets, parked requests stay parked.
  ctrlr_->is_resetting = true;
  dev_->Post(q, Entry(q, 1).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(pq->sq_tail, 0);
  EXPECT_FALSE(STAILQ_EMPTY(&q->queued_req));
  ctrlr_->is_resetting = false;
}

// Deleting a queue pair completes every request it holds exactly once with an abort, and resubmits nothing.
TEST_F(QpairTest, DeletionAbortsOutstandingParkedAndHeldRequestsOnce)
{
  spdk_nvme_io_qpair_opts o = IoOpts(4);  // 3 trackers; deleted by the test itself
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 1, &o);
  ASSERT_NE(q, nullptr);
  struct Ctx {
    spdk_nvme_ctrlr* ctrlr;
    spdk_nvme_qpair* q;
    uint8_t* buf;
    std::vector<spdk_nvme_cpl> cpls;
    std::vector<int> resubmit_rc;
    static void Cb(void* arg, const spdk_nvme_cpl* cpl)
    {
      auto* c = static_cast<Ctx*>(arg);
      c->cpls.push_back(*cpl);
      spdk_nvme_cmd cmd{};
      cmd.opc = SPDK_NVME_OPC_READ;
      c->resubmit_rc.push_back(spdk_nvme_ctrlr_cmd_io_raw(c->ctrlr, c->q, &cmd, c->buf, 512, &Ctx::Cb, c));
      nvme_pcie_ctrlr_delete_io_qpair_data_structure(c->q);  // freeing it again from inside does nothing
    }
  } ctx{ctrlr_, q, buf_, {}, {}};

  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q, SPDK_NVME_OPC_FLUSH, true, 10000000, 1, 0, 6), 0);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ;
  for (int i = 0; i < 5; i++) ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, buf_, 512, &Ctx::Cb, &ctx), 0);
  cmd.opc = SPDK_NVME_OPC_FLUSH;
  ASSERT_EQ(spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(ctrlr_, q, &cmd, &Ctx::Cb, &ctx), 0);
  EXPECT_FALSE(STAILQ_EMPTY(&q->err_req_head));

  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
  ASSERT_EQ(ctx.cpls.size(), 6u) << "3 outstanding, 2 parked, 1 held back";
  for (auto& c : ctx.cpls) {
    EXPECT_EQ(c.status.sct, SPDK_NVME_SCT_GENERIC);
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(c.status.dnr, 1);
  }
  for (int rc : ctx.resubmit_rc) EXPECT_EQ(rc, -ENXIO);
}

// Aborting everything outstanding ends each command once, also when a callback completes a command the loop has not
// reached yet.
TEST_F(QpairTest, AbortAllSurvivesACallbackThatCompletesAnotherCommand)
{
  spdk_nvme_qpair* q = MakeQueue(4);  // 3 trackers
  ASSERT_NE(q, nullptr);
  struct Ctx {
    FakeDevice* dev;
    spdk_nvme_qpair* q;
    uint16_t other;
    std::vector<spdk_nvme_cpl> cpls;
    static void Cb(void* arg, const spdk_nvme_cpl* cpl)
    {
      auto* c = static_cast<Ctx*>(arg);
      c->cpls.push_back(*cpl);
      if (c->cpls.size() == 1) {
        c->dev->Post(c->q, c->other);
        spdk_nvme_qpair_process_completions(c->q, 0);
      }
    }
  } ctx{dev_.get(), q, 0, {}};
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ;
  for (int i = 0; i < 3; i++) ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, buf_, 512, &Ctx::Cb, &ctx), 0);
  ctx.other = Entry(q, 1).cid;  // the command after the first
  nvme_pcie_qpair_abort_reqs(q, 1);
  ASSERT_EQ(ctx.cpls.size(), 3u);
  EXPECT_EQ(ctx.cpls[1].cid, ctx.other);
  EXPECT_EQ(ctx.cpls[1].status.sc, 0) << "completed by the device from inside the first abort's callback";
  EXPECT_EQ(ctx.cpls[2].status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
  EXPECT_TRUE(TAILQ_EMPTY(&nvme_pcie_qpair(q)->outstanding_tr));
}

TEST_F(QpairTest, QueueCommandBuildersOnTheAdminQueue)
{
  spdk_nvme_io_qpair_opts o = IoOpts(256);
  o.qprio = SPDK_NVME_QPRIO_MEDIUM;
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 3, &o);
  ASSERT_NE(q, nullptr);
  qpairs_.push_back(q);
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
  CplLog log;
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_create_io_cq(ctrlr_, q, &CplLog::Cb, &log), 0);
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_create_io_sq(ctrlr_, q, &CplLog::Cb, &log), 0);
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_delete_io_sq(ctrlr_, q, &CplLog::Cb, &log), 0);
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_delete_io_cq(ctrlr_, q, &CplLog::Cb, &log), 0);
  struct {
    uint8_t opc;
    uint32_t cdw10, cdw11;
    uint64_t prp1;
  } expect[] = {{SPDK_NVME_OPC_CREATE_IO_CQ, (255u << 16) | 3, 1, pq->cpl_bus_addr},
                {SPDK_NVME_OPC_CREATE_IO_SQ, (255u << 16) | 3, (3u << 16) | (2u << 1) | 1, pq->cmd_bus_addr},
                {SPDK_NVME_OPC_DELETE_IO_SQ, 3, 0, 0},
                {SPDK_NVME_OPC_DELETE_IO_CQ, 3, 0, 0}};
  for (uint16_t i = 0; i < 4; i++) {
    spdk_nvme_cmd c = FakeDevice::SqEntry(ctrlr_->adminq, i);
    EXPECT_EQ(c.opc, expect[i].opc) << i;
    EXPECT_EQ(c.cdw10, expect[i].cdw10) << i;
    EXPECT_EQ(c.cdw11, expect[i].cdw11) << i;
    EXPECT_EQ(c.dptr.prp.prp1, expect[i].prp1) << i;
    dev_->Post(ctrlr_->adminq, c.cid, 0, 0, i);
  }
  EXPECT_EQ(dev_->SqDoorbell(0), 4u);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 4);
  ASSERT_EQ(log.cpls.size(), 4u);
  EXPECT_EQ(log.cpls[3].cdw0, 3u);
}

}  // namespace
}  // namespace kyt::test
