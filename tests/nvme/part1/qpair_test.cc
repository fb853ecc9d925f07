// PCIe queue pairs: memory and trackers, PRP lists and SGLs byte for byte, doorbells, completion harvesting,
// parked requests and deletion.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_device.h"

using kyt::test::CplLog;
using kyt::test::FakeDevice;
using kyt::test::IoOpts;

namespace {

class QpairTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    FakeDevice::Options o;
    o.bus = NextBus();
    dev_.reset(new FakeDevice(o));
    ctrlr_ = dev_->Construct();
    ASSERT_NE(ctrlr_, nullptr);
    buf_ = static_cast<uint8_t*>(spdk_zmalloc(kBufPages * 4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
    ASSERT_NE(buf_, nullptr);
  }
  void TearDown() override
  {
    for (auto* q : qpairs_) {
      q->no_deletion_notification_needed = 1;  // the tests' completion logs are gone by now
      nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
    }
    spdk_free(buf_);
    dev_.reset();
  }
  static uint8_t NextBus()
  {
    static uint8_t bus = 0x60;
    return bus++;
  }
  spdk_nvme_qpair* MakeQueue(uint32_t entries, bool delay = false, uint16_t qid = 1)
  {
    spdk_nvme_io_qpair_opts o = IoOpts(entries, 0, delay);
    spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, qid, &o);
    if (q) qpairs_.push_back(q);
    return q;
  }
  void Drop(spdk_nvme_qpair* q)
  {
    qpairs_.erase(std::find(qpairs_.begin(), qpairs_.end(), q));
    dev_->ForgetQueue(q);
    nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
  }
  int Read(spdk_nvme_qpair* q, void* data, uint32_t len, CplLog* log, uint32_t nsid = 1)
  {
    spdk_nvme_cmd cmd{};
    cmd.opc = SPDK_NVME_OPC_READ;
    cmd.nsid = nsid;
    cmd.cdw10 = 0x1000;
    cmd.cdw12 = len / 512 - 1;
    cmd.cdw15 = 0xCAFEF00D;
    return spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, data, len, &CplLog::Cb, log);
  }
  static uint64_t Phys(void* p) { return spdk_vtophys(p, nullptr); }

  static constexpr uint32_t kBufPages = 520;
  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  uint8_t* buf_ = nullptr;
  std::vector<spdk_nvme_qpair*> qpairs_;
};

TEST_F(QpairTest, TrackerCountIsEntriesMinusCompletionCap)
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
    uint32_t n = 0;
    nvme_tracker* tr;
    TAILQ_FOREACH(tr, &pq->free_tr, tq_list) {
      EXPECT_EQ(tr, &pq->tr[tr->cid]);
      EXPECT_EQ(tr->prp_sgl_bus_addr, Phys(&tr->u));
      n++;
    }
    EXPECT_EQ(n, c.trackers);
    EXPECT_EQ((uintptr_t)pq->tr % 4096, 0u);
    EXPECT_EQ((uintptr_t)pq->cmd % 0x200000, 0u);
    EXPECT_EQ((uintptr_t)pq->cpl % 0x200000, 0u);
    EXPECT_EQ(pq->flags.phase, 1);
    Drop(q);
  }
}

TEST_F(QpairTest, QueueSizesOutsideTheRangeAreRefused)
{
  EXPECT_EQ(MakeQueue(0), nullptr);
  EXPECT_EQ(MakeQueue(1), nullptr);
  EXPECT_EQ(MakeQueue(65536), nullptr);
  EXPECT_EQ(MakeQueue(70000), nullptr);
}

TEST_F(QpairTest, ContiguousBufferAcrossTwoPagesUsesPrp1AndPrp2)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(Read(q, buf_ + 512, 4096, &log), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_READ);
  EXPECT_EQ(c.cid, 11) << "highest free tracker first";
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_PRP);
  EXPECT_EQ(c.nsid, 1u);
  EXPECT_EQ(c.cdw10, 0x1000u);
  EXPECT_EQ(c.cdw12, 7u);
  EXPECT_EQ(c.cdw15, 0xCAFEF00Du) << "the caller's command is copied whole";
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 512));
  EXPECT_EQ(c.dptr.prp.prp2, Phys(buf_ + 4096));
  EXPECT_TRUE(log.cpls.empty());
}

TEST_F(QpairTest, BufferWithinOnePageHasNoPrp2)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(Read(q, buf_ + 8, 512, &log), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 8));
  EXPECT_EQ(c.dptr.prp.prp2, 0u);
}

TEST_F(QpairTest, ThreePagesUseThePrpList)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(Read(q, buf_, 3 * 4096, &log), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  nvme_tracker* tr = &nvme_pcie_qpair(q)->tr[c.cid];
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_));
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  // The device reads the list through its bus address.
  auto* list = static_cast<uint64_t*>(FakeDevice::Dma(c.dptr.prp.prp2, 16));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], Phys(buf_ + 4096));
  EXPECT_EQ(list[1], Phys(buf_ + 8192));
}

TEST_F(QpairTest, Prp506PagesFitAnd507Fail)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog ok, bad;
  ASSERT_EQ(Read(q, buf_, 506 * 4096, &ok), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  nvme_tracker* tr = &nvme_pcie_qpair(q)->tr[c.cid];
  EXPECT_EQ(tr->u.prp[504], Phys(buf_ + 505 * 4096));
  EXPECT_TRUE(ok.cpls.empty());

  uint16_t tail = nvme_pcie_qpair(q)->sq_tail;
  EXPECT_EQ(Read(q, buf_, 507 * 4096, &bad), -EINVAL);
  ASSERT_EQ(bad.cpls.size(), 1u) << "the callback has already run";
  EXPECT_EQ(bad.cpls[0].status.sct, SPDK_NVME_SCT_GENERIC);
  EXPECT_EQ(bad.cpls[0].status.sc, SPDK_NVME_SC_INVALID_FIELD);
  EXPECT_EQ(bad.cpls[0].status.dnr, 1);
  EXPECT_EQ(nvme_pcie_qpair(q)->sq_tail, tail) << "nothing reached the queue";
  EXPECT_EQ(nvme_pcie_qpair(q)->num_trackers - 1, [&] {
    int n = 0;
    nvme_tracker* t;
    TAILQ_FOREACH(t, &nvme_pcie_qpair(q)->free_tr, tq_list) n++;
    return n;
  }()) << "the failed request's tracker is free again";
}

TEST_F(QpairTest, DwordMisalignedBufferFailsWithInvalidField)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  EXPECT_EQ(Read(q, buf_ + 2, 512, &log), -EINVAL);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status.sc, SPDK_NVME_SC_INVALID_FIELD);
  EXPECT_EQ(log.cpls[0].status.dnr, 1);
  EXPECT_EQ(nvme_pcie_qpair(q)->sq_tail, 0);
}

TEST_F(QpairTest, MetadataBufferGoesToMptr)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_WRITE;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw_with_md(ctrlr_, q, &cmd, buf_, 4096, buf_ + 8 * 4096, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  EXPECT_EQ(c.mptr, Phys(buf_ + 8 * 4096));
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_));
}

// A scatter list over fixed (address, length) elements.
struct Sgl {
  std::vector<std::pair<void*, uint32_t>> elems;
  size_t next = 0;
  uint32_t reset_offset = ~0u;
  static void Reset(void* arg, uint32_t offset)
  {
    auto* s = static_cast<Sgl*>(arg);
    s->next = 0;
    s->reset_offset = offset;
  }
  static int Next(void* arg, void** addr, uint32_t* len)
  {
    auto* s = static_cast<Sgl*>(arg);
    if (s->next >= s->elems.size()) return -1;
    *addr = s->elems[s->next].first;
    *len = s->elems[s->next].second;
    s->next++;
    return 0;
  }
};

int SubmitSgl(spdk_nvme_qpair* q, Sgl* sgl, uint32_t size, CplLog* log)
{
  nvme_payload payload{};
  payload.reset_sgl_fn = &Sgl::Reset;
  payload.next_sge_fn = &Sgl::Next;
  payload.contig_or_cb_arg = sgl;
  nvme_request* req = nvme_allocate_request(q, &payload, size, &CplLog::Cb, log);
  if (!req) return -ENOMEM;
  req->cmd.opc = SPDK_NVME_OPC_WRITE;
  return nvme_qpair_submit_request(q, req);
}

TEST_F(QpairTest, ScatteredPayloadWithoutSglSupportBuildsPrps)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  ctrlr_->flags &= ~(uint64_t)SPDK_NVME_CTRLR_SGL_SUPPORTED;
  Sgl sgl;
  sgl.elems = {{buf_ + 1024, 3072}, {buf_ + 8 * 4096, 4096}, {buf_ + 20 * 4096, 8192}};
  CplLog log;
  ASSERT_EQ(SubmitSgl(q, &sgl, 3072 + 4096 + 8192, &log), 0);
  EXPECT_EQ(sgl.reset_offset, 0u);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  nvme_tracker* tr = &nvme_pcie_qpair(q)->tr[c.cid];
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_PRP);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 1024));
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  EXPECT_EQ(tr->u.prp[0], Phys(buf_ + 8 * 4096));
  EXPECT_EQ(tr->u.prp[1], Phys(buf_ + 20 * 4096));
  EXPECT_EQ(tr->u.prp[2], Phys(buf_ + 21 * 4096));

  // A later element that does not start on a page cannot be a PRP entry.
  Sgl bad;
  bad.elems = {{buf_, 4096}, {buf_ + 8 * 4096 + 512, 512}};
  CplLog badlog;
  EXPECT_EQ(SubmitSgl(q, &bad, 4608, &badlog), -EINVAL);
  ASSERT_EQ(badlog.cpls.size(), 1u);
  EXPECT_EQ(badlog.cpls[0].status.sc, SPDK_NVME_SC_INVALID_FIELD);
}

TEST_F(QpairTest, HardwareSglMergesContiguousPiecesAndUsesALastSegment)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  ctrlr_->flags |= SPDK_NVME_CTRLR_SGL_SUPPORTED;

  // One element: a single data block descriptor in the command.
  Sgl one;
  one.elems = {{buf_ + 100 * 4, 2000}};
  CplLog log;
  ASSERT_EQ(SubmitSgl(q, &one, 2000, &log), 0);
  spdk_nvme_cmd c = FakeDevice::SqEntry(q, 0);
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_SGL_MPTR_CONTIG);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.type, SPDK_NVME_SGL_TYPE_DATA_BLOCK);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.subtype, SPDK_NVME_SGL_SUBTYPE_ADDRESS);
  EXPECT_EQ(c.dptr.sgl1.address, Phys(buf_ + 400));
  EXPECT_EQ(c.dptr.sgl1.unkeyed.length, 2000u);

  // Three elements, the first two adjacent in bus address space: two descriptors behind a last segment.
  Sgl three;
  three.elems = {{buf_, 4096}, {buf_ + 4096, 1000}, {buf_ + 30 * 4096, 512}};
  ASSERT_EQ(SubmitSgl(q, &three, 4096 + 1000 + 512, &log), 0);
  c = FakeDevice::SqEntry(q, 1);
  nvme_tracker* tr = &nvme_pcie_qpair(q)->tr[c.cid];
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
  ASSERT_EQ(SubmitSgl(q, &odd, 10, &log), 0);
  EXPECT_EQ(SubmitSgl(q, &odd, 20, &log), -EINVAL);
  ctrlr_->flags &= ~(uint64_t)SPDK_NVME_CTRLR_SGL_SUPPORTED;
}

TEST_F(QpairTest, DoorbellIsRungPerCommand)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  EXPECT_EQ(dev_->SqDoorbell(1), 1u);
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  EXPECT_EQ(dev_->SqDoorbell(1), 2u);
  EXPECT_EQ(dev_->SqDoorbell(0), 0u) << "the admin doorbell is untouched";
}

TEST_F(QpairTest, DelayedDoorbellRingsFromTheNextPoll)
{
  spdk_nvme_qpair* q = MakeQueue(16, true);
  ASSERT_NE(q, nullptr);
  CplLog log;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  }
  EXPECT_EQ(dev_->SqDoorbell(1), 0u);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 0);
  EXPECT_EQ(dev_->SqDoorbell(1), 3u);
  EXPECT_EQ(nvme_pcie_qpair(q)->last_sq_tail, 3);
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

  CplLog log;
  // Event index 0, tail 0 -> 1: the device wants to hear about it.
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  EXPECT_EQ(shadow[2], 1u);
  EXPECT_EQ(dev_->SqDoorbell(1), 1u);
  // Event index 5: tail 1 -> 2 passes nothing the device waits for; only the shadow moves.
  eventidx[2] = 5;
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  EXPECT_EQ(shadow[2], 2u);
  EXPECT_EQ(dev_->SqDoorbell(1), 1u);
  // Event index 2: tail 2 -> 3 crosses it.
  eventidx[2] = 2;
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  EXPECT_EQ(dev_->SqDoorbell(1), 3u);

  // Completion side: head 0 -> 1 with CQ event index 7 skips the MMIO write.
  eventidx[3] = 7;
  dev_->Post(q, FakeDevice::SqEntry(q, 0).cid);
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
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(Read(q, buf_ + i * 4096, 512, &log), 0);
  }
  std::vector<uint16_t> cids;
  for (int i = 0; i < 12; i++) {
    cids.push_back(FakeDevice::SqEntry(q, i).cid);
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
  EXPECT_EQ(pq->cq_head, 12);
  EXPECT_EQ(pq->flags.phase, 1);

  // Four more: the 16th completion wraps the head and inverts the phase once.
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Read(q, buf_, 512, &log), 0);
    dev_->Post(q, FakeDevice::SqEntry(q, 12 + i).cid);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 4);
  EXPECT_EQ(pq->cq_head, 0);
  EXPECT_EQ(pq->flags.phase, 0);
  EXPECT_EQ(dev_->CqDoorbell(1), 0u);
  EXPECT_EQ(pq->sq_head, 0) << "the device's reported SQ head";

  // An entry with the old phase is not new.
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 0);
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  dev_->Post(q, FakeDevice::SqEntry(q, 0).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(log.cpls.size(), 17u);
}

TEST_F(QpairTest, CompletionForAnUnknownCommandIsCountedAndIgnored)
{
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(Read(q, buf_, 512, &log), 0);
  dev_->Post(q, 5);    // no command with this identifier is outstanding
  dev_->Post(q, 300);  // beyond every tracker
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 2);
  EXPECT_TRUE(log.cpls.empty());
}

TEST_F(QpairTest, ParkedRequestsStartWhenATrackerFrees)
{
  spdk_nvme_qpair* q = MakeQueue(4);  // cap 1, 3 trackers
  ASSERT_NE(q, nullptr);
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
  CplLog log;
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(Read(q, buf_ + i * 4096, 512, &log), 0);
  }
  EXPECT_EQ(pq->sq_tail, 3);
  int parked = 0;
  nvme_request* r;
  STAILQ_FOREACH(r, &q->queued_req, stailq) parked++;
  EXPECT_EQ(parked, 2);

  spdk_nvme_cmd first = FakeDevice::SqEntry(q, 0);
  dev_->Post(q, first.cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(pq->sq_tail, 0) << "the fourth command went into slot 3";
  spdk_nvme_cmd fourth = FakeDevice::SqEntry(q, 3);
  EXPECT_EQ(fourth.cid, first.cid) << "it took the tracker that just freed";
  EXPECT_EQ(fourth.dptr.prp.prp1, Phys(buf_ + 3 * 4096));

  // While the controller resets, parked requests stay parked.
  ctrlr_->is_resetting = true;
  dev_->Post(q, FakeDevice::SqEntry(q, 1).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(pq->sq_tail, 0);
  EXPECT_FALSE(STAILQ_EMPTY(&q->queued_req));
  ctrlr_->is_resetting = false;
}

// Deleting a queue pair completes every request it holds exactly once with an abort, and resubmits nothing.
TEST_F(QpairTest, DeletionAbortsOutstandingParkedAndHeldRequestsOnce)
{
  spdk_nvme_qpair* q = MakeQueue(4);  // 3 trackers
  ASSERT_NE(q, nullptr);
  qpairs_.clear();  // deleted by the test itself

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
    }
  } ctx{ctrlr_, q, buf_, {}, {}};

  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q, SPDK_NVME_OPC_FLUSH, true, 10000000, 1, 0, 6), 0);
  spdk_nvme_cmd read{};
  read.opc = SPDK_NVME_OPC_READ;
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &read, buf_, 512, &Ctx::Cb, &ctx), 0);
  }
  spdk_nvme_cmd flush{};
  flush.opc = SPDK_NVME_OPC_FLUSH;
  ASSERT_EQ(spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(ctrlr_, q, &flush, &Ctx::Cb, &ctx), 0);
  EXPECT_FALSE(STAILQ_EMPTY(&q->err_req_head));

  dev_->ForgetQueue(q);
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
  ASSERT_EQ(ctx.cpls.size(), 6u) << "3 outstanding, 2 parked, 1 held back";
  for (auto& c : ctx.cpls) {
    EXPECT_EQ(c.status.sct, SPDK_NVME_SCT_GENERIC);
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(c.status.dnr, 1);
  }
  for (int rc : ctx.resubmit_rc) {
    EXPECT_EQ(rc, -ENXIO);
  }
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

  spdk_nvme_cmd c = FakeDevice::SqEntry(ctrlr_->adminq, 0);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_CREATE_IO_CQ);
  EXPECT_EQ(c.cdw10, (255u << 16) | 3);
  EXPECT_EQ(c.cdw11, 1u);
  EXPECT_EQ(c.dptr.prp.prp1, pq->cpl_bus_addr);
  c = FakeDevice::SqEntry(ctrlr_->adminq, 1);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_CREATE_IO_SQ);
  EXPECT_EQ(c.cdw10, (255u << 16) | 3);
  EXPECT_EQ(c.cdw11, (3u << 16) | (2u << 1) | 1);
  EXPECT_EQ(c.dptr.prp.prp1, pq->cmd_bus_addr);
  c = FakeDevice::SqEntry(ctrlr_->adminq, 2);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_DELETE_IO_SQ);
  EXPECT_EQ(c.cdw10, 3u);
  EXPECT_EQ(c.dptr.prp.prp1, 0u);
  c = FakeDevice::SqEntry(ctrlr_->adminq, 3);
  EXPECT_EQ(c.opc, SPDK_NVME_OPC_DELETE_IO_CQ);
  EXPECT_EQ(c.cdw10, 3u);
  EXPECT_EQ(dev_->SqDoorbell(0), 4u);

  for (int i = 0; i < 4; i++) {
    dev_->Post(ctrlr_->adminq, FakeDevice::SqEntry(ctrlr_->adminq, i).cid, 0, 0, i);
  }
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 4);
  ASSERT_EQ(log.cpls.size(), 4u);
  EXPECT_EQ(log.cpls[3].cdw0, 3u);
}

TEST_F(QpairTest, DoorbellStrideFromCap)
{
  FakeDevice::Options o;
  o.bus = NextBus();
  o.cap = 1023ull | (1ull << 16) | (0x20ull << 24) | (2ull << 32) /* DSTRD 2: 16 bytes */ | (1ull << 37);
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr(ctrlr)->doorbell_stride_u32, 4u);
  spdk_nvme_io_qpair_opts io = IoOpts(16);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, 2, &io);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ((uintptr_t)nvme_pcie_qpair(q)->sq_tdbl - (uintptr_t)nvme_pcie_ctrlr(ctrlr)->regs, 0x1000u + 4 * 16);
  EXPECT_EQ((uintptr_t)nvme_pcie_qpair(q)->cq_hdbl - (uintptr_t)nvme_pcie_ctrlr(ctrlr)->regs, 0x1000u + 5 * 16);
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
}

}  // namespace
